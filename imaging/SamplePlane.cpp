#include "SamplePlane.h"

#include "BoardProtocol.h"
#include "RawConvert.h"

namespace {

// Byte of each channel in a 32-bit picture's pixel.
constexpr int RedByte = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 2 : 1;
constexpr int GreenByte = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 1 : 2;
constexpr int BlueByte = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 0 : 3;

} // namespace

std::vector<SamplePlane> SamplePlane::ofPayload(const uchar *base, qint64 length, int format, int width, int height)
{
    const qint64 luma = qint64(width) * height;
    if (format == BoardProtocol::FormatGray) {
        if (width <= 0 || height <= 0 || length < luma)
            return {};
        return {{base, width, 1, 0, 0, QStringLiteral("Gray")}};
    }
    const long long needed = rawPayloadSize(format, width, height);
    if (needed < 0 || length < needed)
        return {};
    const qint64 chromaWidth = (qint64(width) + 1) / 2, chromaRows = (qint64(height) + 1) / 2;
    const QString y = QStringLiteral("Y"), u = QStringLiteral("U"), v = QStringLiteral("V");
    switch (format) {
    case BoardProtocol::FormatUyvy: // U Y0 V Y1
        return {{base + 1, 4 * chromaWidth, 2, 0, 0, y},
                {base, 4 * chromaWidth, 4, 1, 0, u},
                {base + 2, 4 * chromaWidth, 4, 1, 0, v}};
    case BoardProtocol::FormatYuv420:
        return {{base, width, 1, 0, 0, y},
                {base + luma, chromaWidth, 1, 1, 1, u},
                {base + luma + chromaWidth * chromaRows, chromaWidth, 1, 1, 1, v}};
    default: // NV12: U and V interleaved after the luma
        return {{base, width, 1, 0, 0, y},
                {base + luma, 2 * chromaWidth, 2, 1, 1, u},
                {base + luma + 1, 2 * chromaWidth, 2, 1, 1, v}};
    }
}

std::vector<SamplePlane> SamplePlane::ofPicture(const QImage &picture)
{
    const QImage::Format format = picture.format();
    if (picture.isNull() || (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32))
        return {};
    const uchar *base = picture.constBits();
    const qint64 row = picture.bytesPerLine();
    return {{base + RedByte, row, 4, 0, 0, QStringLiteral("R")},
            {base + GreenByte, row, 4, 0, 0, QStringLiteral("G")},
            {base + BlueByte, row, 4, 0, 0, QStringLiteral("B")}};
}
