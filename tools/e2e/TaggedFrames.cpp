#include "TaggedFrames.h"

#include "JpegEncoder.h"
#include "TestPattern.h"

#include <QColor>
#include <QImage>

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr int FirstLevel = 24;
constexpr int LevelStep = 24;
constexpr int JpegQuality = 85;

int levelOf(int tag)
{
    return FirstLevel + LevelStep * tag;
}

void fillBlock(uchar *pixels, int width, int height, int channels, int level)
{
    const int side = std::min({TaggedFrames::BlockSide, width, height});
    for (int y = 0; y < side; ++y)
        std::memset(pixels + (size_t(y) * width) * channels, level, size_t(side) * channels);
}

} // namespace

QByteArray TaggedFrames::payload(int format, int width, int height, int tag)
{
    if (!TestPattern::isValidSize(format, width, height) || tag < 0 || tag >= TagCount)
        return {};
    const quint32 frameNumber = quint32(tag) * 7;
    if (format == TestPattern::Gray) {
        QByteArray gray(qsizetype(width) * height, Qt::Uninitialized);
        uchar *pixels = reinterpret_cast<uchar *>(gray.data());
        TestPattern::renderGray(pixels, width, height, frameNumber);
        fillBlock(pixels, width, height, 1, levelOf(tag));
        return gray;
    }
    std::vector<uchar> rgb(size_t(3) * width * height);
    TestPattern::renderRgb(rgb.data(), width, height, frameNumber);
    fillBlock(rgb.data(), width, height, 3, levelOf(tag));
    if (format == TestPattern::Jpeg)
        return encodeJpeg(rgb.data(), width, height, 3, JpegQuality);

    QByteArray raw(qsizetype(TestPattern::payloadSize(format, width, height)), Qt::Uninitialized);
    uchar *dst = reinterpret_cast<uchar *>(raw.data());
    if (format == TestPattern::Uyvy)
        TestPattern::rgbToUyvy(rgb.data(), width, height, dst);
    else if (format == TestPattern::Yuv420)
        TestPattern::rgbToYuv420(rgb.data(), width, height, dst);
    else
        TestPattern::rgbToNv12(rgb.data(), width, height, dst);
    return raw;
}

int TaggedFrames::tagOf(const QImage &picture)
{
    // Inside the block even when a 1920 wide picture is scaled to a few hundred pixels.
    constexpr int Probe = 2;
    if (picture.width() <= Probe || picture.height() <= Probe)
        return -1;
    const QColor colour = picture.pixelColor(Probe, Probe);
    const int level = colour.green();
    const int tag = (level - FirstLevel + LevelStep / 2) / LevelStep;
    if (level < FirstLevel - LevelStep / 2 || tag >= TagCount
        || std::abs(colour.red() - level) > LevelStep / 3 || std::abs(colour.blue() - level) > LevelStep / 3)
        return -1;
    return tag;
}
