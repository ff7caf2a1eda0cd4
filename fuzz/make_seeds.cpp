// Writes the seed corpora of the fuzz targets: small real frame records, JPEG images, raw
// payloads and command replies. Usage: make_seeds <corpus folder>
// The output is the same on every run, so the committed corpus can be checked against it.

#include "JpegEncoder.h"
#include "RecordBuilder.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QtEndian>

#include <cstdio>

namespace {

QByteArray bigEndian(qint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray pattern(qsizetype length, int step)
{
    QByteArray bytes(length, Qt::Uninitialized);
    for (qsizetype i = 0; i < length; ++i)
        bytes[i] = char(16 + (i * step) % 220);
    return bytes;
}

QByteArray jpegImage(int width, int height, int components)
{
    const QByteArray pixels = pattern(qsizetype(width) * height * components, 7);
    return encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), width, height,
                      components, 75);
}

qsizetype rawLength(int format, int width, int height)
{
    return format == 2 ? qsizetype(width) * height * 2 : qsizetype(width) * height * 3 / 2;
}

QByteArray record(int format, int width, int height, const QByteArray &payload, qint32 seconds = 1)
{
    RecordBuilder r;
    r.format = format;
    r.width = width;
    r.height = height;
    r.timestampS = seconds;
    r.timestampUs = 250000;
    r.payload = payload;
    return r.bytes();
}

// A frame-parser input: the stream, then its piece lengths and their count.
QByteArray streamInput(const QByteArray &stream, const QByteArray &pieces = QByteArray())
{
    return stream + pieces + char(pieces.size());
}

class SeedWriter
{
public:
    explicit SeedWriter(const QString &root) : root(root) {}

    void write(const QString &target, const QString &name, const QByteArray &bytes)
    {
        const QString folder = root + QLatin1Char('/') + target;
        QFile file(folder + QLatin1Char('/') + name);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)
            || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            failed = true;
        }
    }

    bool failed = false;

private:
    QString root;
};

void frameParserSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_frameparser");
    const QByteArray gray = record(1, 8, 6, pattern(48, 5));
    const QByteArray jpeg = record(0, 16, 16, jpegImage(16, 16, 3));
    const QByteArray uyvy = record(2, 8, 4, pattern(rawLength(2, 8, 4), 3));
    const QByteArray yuv420 = record(3, 8, 4, pattern(rawLength(3, 8, 4), 3));
    const QByteArray nv12 = record(4, 8, 4, pattern(rawLength(4, 8, 4), 3));

    out.write(target, QStringLiteral("gray_8x6"), streamInput(gray));
    out.write(target, QStringLiteral("gray_8x6_bytewise"), streamInput(gray, QByteArray(1, 1)));
    out.write(target, QStringLiteral("jpeg_16x16"), streamInput(jpeg));
    out.write(target, QStringLiteral("jpeg_gray_8x8"),
              streamInput(record(0, 8, 8, jpegImage(8, 8, 1))));
    out.write(target, QStringLiteral("uyvy_8x4"), streamInput(uyvy));
    out.write(target, QStringLiteral("yuv420_8x4"), streamInput(yuv420));
    out.write(target, QStringLiteral("nv12_8x4"), streamInput(nv12));

    RecordBuilder headerOnly;
    headerOnly.format = 12;
    headerOnly.withSize(1000);
    const QByteArray unshown = record(7, 4, 4, pattern(10, 1));
    RecordBuilder oversized = grayRecord(4, 2);
    oversized.withSize(0x7FFFFFFF);
    out.write(target, QStringLiteral("mixed_stream"),
              streamInput(QByteArray(8, '\x55') + gray + headerOnly.bytes() + unshown + uyvy + jpeg
                              + yuv420 + nv12 + record(1, 8, 6, pattern(48, 9), 2),
                          QByteArray::fromHex("05 40 00")));
    out.write(target, QStringLiteral("misaligned_garbage"),
              streamInput(QByteArray(6, '\x55') + gray + gray));
    out.write(target, QStringLiteral("oversized_then_gray"),
              streamInput(oversized.bytes().left(64) + gray));
}

void jpegDecoderSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_jpegdecoder");
    auto input = [](int width, int height, char calls, const QByteArray &jpeg) {
        return bigEndian(width) + bigEndian(height) + calls + jpeg;
    };
    out.write(target, QStringLiteral("colour_16x16"), input(16, 16, 0, jpegImage(16, 16, 3)));
    out.write(target, QStringLiteral("colour_24x10_twice"), input(24, 10, 3, jpegImage(24, 10, 3)));
    out.write(target, QStringLiteral("gray_8x8"), input(8, 8, 0, jpegImage(8, 8, 1)));
    out.write(target, QStringLiteral("announced_other_size"), input(8, 8, 2, jpegImage(16, 16, 3)));
}

void rawConvertSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_rawconvert");
    auto input = [](int format, int width, int height, qsizetype length) {
        return bigEndian(format) + bigEndian(width) + bigEndian(height) + pattern(length, 3);
    };
    out.write(target, QStringLiteral("uyvy_8x4"), input(2, 8, 4, rawLength(2, 8, 4)));
    out.write(target, QStringLiteral("yuv420_8x4"), input(3, 8, 4, rawLength(3, 8, 4)));
    out.write(target, QStringLiteral("nv12_8x4"), input(4, 8, 4, rawLength(4, 8, 4)));
    out.write(target, QStringLiteral("nv12_6x2_short"), input(4, 6, 2, rawLength(4, 6, 2) - 1));
    out.write(target, QStringLiteral("yuv420_5x3"), input(3, 5, 3, 30));
}

void commandReplySeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_commandreply");
    auto input = [](int pieceLength, int sentBeforeClose, int code, int value, const char *hex) {
        return QByteArray(1, char(pieceLength - 1)) + char(sentBeforeClose) + char(code)
            + char(value >> 8) + char(value & 0xFF) + QByteArray::fromHex(hex);
    };
    out.write(target, QStringLiteral("frame_rate"), input(3, 255, 1, 30, "010000"));
    out.write(target, QStringLiteral("refused"), input(3, 255, 6, 1, "060004"));
    out.write(target, QStringLiteral("long"), input(4, 255, 3, 640, "030000EEEE"));
    out.write(target, QStringLiteral("pieces"), input(1, 255, 4, 480, "040000"));
    out.write(target, QStringLiteral("truncated"), input(2, 2, 0, 0, "000000"));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    SeedWriter out(QString::fromLocal8Bit(argv[1]));
    frameParserSeeds(out);
    jpegDecoderSeeds(out);
    rawConvertSeeds(out);
    commandReplySeeds(out);
    return out.failed ? 1 : 0;
}
