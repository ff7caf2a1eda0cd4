#include "TestPattern.h"

#include <QStringList>

#include <algorithm>
#include <cstring>

namespace {

const QStringList FormatNames = [] {
    QStringList names;
    for (const char *name : BoardProtocol::FormatOptionNames)
        names << QLatin1String(name);
    return names;
}();

// 3 x 5 digit glyphs, top row in the highest three bits, leftmost column first.
constexpr quint16 Glyphs[10] = {
    0b111101101101111, 0b010110010010111, 0b111001111100111, 0b111001111001111,
    0b101101111001001, 0b111100111001111, 0b111100111101111, 0b111001010010010,
    0b111101111101111, 0b111101111001111,
};

constexpr uchar White[3] = {255, 255, 255};
constexpr uchar Black[3] = {0, 0, 0};

// Colour bars, left to right.
constexpr uchar Bars[8][3] = {
    {255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0},
};

// Clipped to the picture, so callers may draw partly outside it.
void fillRect(uchar *image, int width, int height, int channels, int left, int top, int rectWidth,
              int rectHeight, const uchar *colour)
{
    const int right = std::min(width, left + rectWidth);
    const int bottom = std::min(height, top + rectHeight);
    for (int y = std::max(0, top); y < bottom; ++y) {
        uchar *row = image + size_t(y) * size_t(width) * size_t(channels);
        for (int x = std::max(0, left); x < right; ++x)
            std::memcpy(row + size_t(x) * size_t(channels), colour, size_t(channels));
    }
}

void drawCounter(uchar *image, int width, int height, int channels, quint32 number)
{
    const QByteArray digits = QByteArray::number(number);
    const int scale = std::max(1, std::min(width, height) / 60);
    const int left = 2 * scale;
    const int top = 2 * scale;
    fillRect(image, width, height, channels, left, top, int(digits.size()) * 4 * scale + scale,
             7 * scale, Black);
    for (int i = 0; i < digits.size(); ++i) {
        const quint16 glyph = Glyphs[digits.at(i) - '0'];
        const int glyphLeft = left + scale + i * 4 * scale;
        for (int row = 0; row < 5; ++row) {
            for (int column = 0; column < 3; ++column) {
                if (glyph & (1u << (14 - (row * 3 + column))))
                    fillRect(image, width, height, channels, glyphLeft + column * scale,
                             top + scale + row * scale, scale, scale, White);
            }
        }
    }
}

void copyFirstRow(uchar *image, size_t rowBytes, int fromRow, int toRow, const uchar *source)
{
    for (int y = fromRow; y < toRow; ++y)
        std::memcpy(image + size_t(y) * rowBytes, source, rowBytes);
}

inline int luma(const uchar *p)
{
    int y, u, v;
    TestPattern::rgbToYuv(p[0], p[1], p[2], y, u, v);
    return y;
}

// Chroma of the mean colour of count pixels.
inline void meanChroma(const uchar *const *pixels, int count, int &u, int &v)
{
    int r = 0, g = 0, b = 0;
    for (int i = 0; i < count; ++i) {
        r += pixels[i][0];
        g += pixels[i][1];
        b += pixels[i][2];
    }
    int y;
    TestPattern::rgbToYuv((r + count / 2) / count, (g + count / 2) / count,
                          (b + count / 2) / count, y, u, v);
}

} // namespace

void TestPattern::setJpegEncoder(JpegEncoder encoder)
{
    jpegEncoder = std::move(encoder);
}

void TestPattern::setJpegQuality(int value)
{
    quality = std::clamp(value, 1, 100);
}

bool TestPattern::canProduce(int format) const
{
    if (format == Jpeg)
        return bool(jpegEncoder);
    return format >= Gray && format <= Nv12;
}

bool TestPattern::isValidSize(int format, int width, int height)
{
    if (width < 1 || height < 1 || width > MaxDimension || height > MaxDimension)
        return false;
    switch (format) {
    case Jpeg:
    case Gray:
        return true;
    case Uyvy:
        return width % 2 == 0;
    case Yuv420:
    case Nv12:
        return width % 2 == 0 && height % 2 == 0;
    default:
        return false;
    }
}

qint64 TestPattern::payloadSize(int format, int width, int height)
{
    if (format == Jpeg || !isValidSize(format, width, height))
        return -1;
    const qint64 pixels = qint64(width) * height;
    switch (format) {
    case Gray:
        return pixels;
    case Uyvy:
        return 2 * pixels;
    default:
        return pixels * 3 / 2;
    }
}

QByteArray TestPattern::payload(int format, int width, int height, quint32 frameNumber)
{
    if (!canProduce(format) || !isValidSize(format, width, height))
        return {};
    if (format == Gray) {
        QByteArray out(qsizetype(width) * height, Qt::Uninitialized);
        renderGray(reinterpret_cast<uchar *>(out.data()), width, height, frameNumber);
        return out;
    }
    rgbScratch.resize(size_t(3) * size_t(width) * size_t(height));
    renderRgb(rgbScratch.data(), width, height, frameNumber);
    if (format == Jpeg)
        return jpegEncoder(rgbScratch.data(), width, height, 3, quality);

    QByteArray out(qsizetype(payloadSize(format, width, height)), Qt::Uninitialized);
    uchar *dst = reinterpret_cast<uchar *>(out.data());
    if (format == Uyvy)
        rgbToUyvy(rgbScratch.data(), width, height, dst);
    else if (format == Yuv420)
        rgbToYuv420(rgbScratch.data(), width, height, dst);
    else
        rgbToNv12(rgbScratch.data(), width, height, dst);
    return out;
}

void TestPattern::renderGray(uchar *dst, int width, int height, quint32 frameNumber)
{
    const int span = std::max(1, width - 1);
    for (int x = 0; x < width; ++x)
        dst[x] = uchar(x * 255 / span);
    copyFirstRow(dst, size_t(width), 1, height, dst);

    const int barWidth = std::max(1, width / 16);
    const int step = std::max(1, width / 128);
    const int barLeft = int(quint64(frameNumber) * quint64(step) % quint64(width));
    const int barRight = std::min(width, barLeft + barWidth);
    for (int y = 0; y < height; ++y) {
        uchar *row = dst + size_t(y) * size_t(width);
        // Bright over the dark half, dark over the bright half: visible everywhere.
        for (int x = barLeft; x < barRight; ++x)
            row[x] = row[x] < 128 ? 255 : 0;
    }
    drawCounter(dst, width, height, 1, frameNumber);
}

void TestPattern::renderRgb(uchar *dst, int width, int height, quint32 frameNumber)
{
    const size_t rowBytes = size_t(3) * size_t(width);
    const int barsHeight = height * 3 / 4;
    for (int x = 0; x < width; ++x)
        std::memcpy(dst + 3 * size_t(x), Bars[x * 8 / width], 3);
    copyFirstRow(dst, rowBytes, 1, barsHeight, dst);

    uchar *ramp = dst + size_t(barsHeight) * rowBytes;
    if (barsHeight < height) {
        const int span = std::max(1, width - 1);
        for (int x = 0; x < width; ++x)
            std::memset(ramp + 3 * size_t(x), x * 255 / span, 3);
        copyFirstRow(dst, rowBytes, barsHeight + 1, height, ramp);
    }

    const int side = std::max(2, std::min(width, height) / 5);
    const int border = std::max(1, side / 8);
    const int step = std::max(1, width / 128);
    const int left = int(quint64(frameNumber) * quint64(step) % quint64(width));
    const int top = std::max(0, (barsHeight - side) / 2);
    fillRect(dst, width, height, 3, left, top, side, side, White);
    fillRect(dst, width, height, 3, left + border, top + border, side - 2 * border,
             side - 2 * border, Black);
    drawCounter(dst, width, height, 3, frameNumber);
}

void TestPattern::rgbToYuv(int r, int g, int b, int &y, int &u, int &v)
{
    // The chroma sums are offset by 128 << 8 before the shift so that it never shifts a
    // negative number.
    y = ((66 * r + 129 * g + 25 * b + 128) >> 8) + 16;
    u = (-38 * r - 74 * g + 112 * b + 128 + (128 << 8)) >> 8;
    v = (112 * r - 94 * g - 18 * b + 128 + (128 << 8)) >> 8;
}

void TestPattern::rgbToUyvy(const uchar *rgb, int width, int height, uchar *dst)
{
    for (int y = 0; y < height; ++y) {
        const uchar *source = rgb + size_t(y) * 3 * size_t(width);
        uchar *out = dst + size_t(y) * 2 * size_t(width);
        for (int x = 0; x + 1 < width; x += 2, source += 6, out += 4) {
            const uchar *pair[2] = {source, source + 3};
            int u, v;
            meanChroma(pair, 2, u, v);
            out[0] = uchar(u);
            out[1] = uchar(luma(source));
            out[2] = uchar(v);
            out[3] = uchar(luma(source + 3));
        }
    }
}

namespace {

// Luma plane plus one chroma pair per 2 x 2 block, stored by store(column, row, u, v).
template<typename StoreChroma>
void rgbTo420(const uchar *rgb, int width, int height, uchar *lumaPlane, StoreChroma store)
{
    const size_t pixels = size_t(width) * size_t(height);
    for (size_t n = 0; n < pixels; ++n)
        lumaPlane[n] = uchar(luma(rgb + 3 * n));
    const size_t rowBytes = 3 * size_t(width);
    for (int row = 0; row + 1 < height; row += 2) {
        const uchar *upper = rgb + size_t(row) * rowBytes;
        const uchar *lower = upper + rowBytes;
        for (int column = 0; column + 1 < width; column += 2) {
            const size_t at = 3 * size_t(column);
            const uchar *block[4] = {upper + at, upper + at + 3, lower + at, lower + at + 3};
            int u, v;
            meanChroma(block, 4, u, v);
            store(column / 2, row / 2, uchar(u), uchar(v));
        }
    }
}

} // namespace

void TestPattern::rgbToYuv420(const uchar *rgb, int width, int height, uchar *dst)
{
    const size_t chromaWidth = size_t(width) / 2;
    uchar *uPlane = dst + size_t(width) * size_t(height);
    uchar *vPlane = uPlane + chromaWidth * (size_t(height) / 2);
    rgbTo420(rgb, width, height, dst, [&](int column, int row, uchar u, uchar v) {
        uPlane[size_t(row) * chromaWidth + size_t(column)] = u;
        vPlane[size_t(row) * chromaWidth + size_t(column)] = v;
    });
}

void TestPattern::rgbToNv12(const uchar *rgb, int width, int height, uchar *dst)
{
    uchar *chroma = dst + size_t(width) * size_t(height);
    rgbTo420(rgb, width, height, dst, [&](int column, int row, uchar u, uchar v) {
        uchar *pair = chroma + size_t(row) * size_t(width) + 2 * size_t(column);
        pair[0] = u;
        pair[1] = v;
    });
}

QString TestPattern::formatName(int format)
{
    return format >= 0 && format < FormatNames.size() ? FormatNames.at(format) : QString();
}

int TestPattern::formatCode(const QString &name)
{
    return int(FormatNames.indexOf(name.toLower()));
}
