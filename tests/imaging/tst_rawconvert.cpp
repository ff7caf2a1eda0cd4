#include "RawConvert.h"

#include <QRandomGenerator>
#include <QStringList>
#include <QTest>

#include <algorithm>
#include <cstring>
#include <vector>

#ifdef Q_OS_UNIX
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

uint8_t clampReference(int value)
{
    return static_cast<uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// The colour arithmetic exactly as defined: 32-bit ints, arithmetic shift, then the clamp.
void referencePixel(int Y, int U, int V, uint8_t *rgb)
{
    const int y = Y - 16, u = U - 128, v = V - 128;
    rgb[0] = clampReference((298 * y + 409 * v + 128) >> 8);
    rgb[1] = clampReference((298 * y - 100 * u - 208 * v + 128) >> 8);
    rgb[2] = clampReference((298 * y + 516 * u + 128) >> 8);
}

struct Samples
{
    int y, u, v;
};

// Sample positions of pixel (r, c); odd sizes read as if padded to even.
Samples samplesAt(const uint8_t *src, int format, int width, int height, int r, int c)
{
    const size_t chromaWidth = (size_t(width) + 1) / 2, chromaRows = (size_t(height) + 1) / 2;
    const size_t luma = size_t(width) * height, n = size_t(r) * width + c;
    const size_t chroma = size_t(r / 2) * chromaWidth + c / 2;
    switch (format) {
    case RawUyvy: {
        const uint8_t *group = src + size_t(r) * 4 * chromaWidth + 4 * (c / 2);
        return {group[1 + 2 * (c % 2)], group[0], group[2]};
    }
    case RawYuv420:
        return {src[n], src[luma + chroma], src[luma + chromaWidth * chromaRows + chroma]};
    default:
        return {src[n], src[luma + 2 * chroma], src[luma + 2 * chroma + 1]};
    }
}

std::vector<uint8_t> referenceFrame(const uint8_t *src, int format, int width, int height)
{
    std::vector<uint8_t> rgb(size_t(3) * width * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const Samples s = samplesAt(src, format, width, height, r, c);
            referencePixel(s.y, s.u, s.v, &rgb[3 * (size_t(r) * width + c)]);
        }
    return rgb;
}

// Exactly size bytes, ending where an inaccessible page begins: one byte read or written past the
// end stops the test in every build, not only under the sanitizers.
class GuardedBuffer
{
public:
    explicit GuardedBuffer(size_t size) : bytes(size)
    {
#ifdef Q_OS_UNIX
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        const size_t dataPages = (size + page - 1) / page;
        mappedSize = (dataPages + 1) * page;
        mapping = mmap(nullptr, mappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        if (mapping == MAP_FAILED)
            qFatal("mmap failed");
        uint8_t *guard = static_cast<uint8_t *>(mapping) + dataPages * page;
        mprotect(guard, page, PROT_NONE);
        start = guard - size;
#else
        storage.resize(size);
        start = storage.data();
#endif
    }
    ~GuardedBuffer()
    {
#ifdef Q_OS_UNIX
        munmap(mapping, mappedSize);
#endif
    }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

    uint8_t *data() { return start; }
    size_t size() const { return bytes; }
    void fill(uint8_t value) { std::memset(start, value, bytes); }

private:
    size_t bytes;
    uint8_t *start = nullptr;
#ifdef Q_OS_UNIX
    void *mapping = nullptr;
    size_t mappedSize = 0;
#else
    std::vector<uint8_t> storage;
#endif
};

QList<RawConvertPath> availablePaths()
{
    QList<RawConvertPath> paths;
    for (RawConvertPath path : {RawConvertPath::Scalar, RawConvertPath::Sse2,
                                RawConvertPath::Avx2, RawConvertPath::Avx512})
        if (rawConvertPathAvailable(path))
            paths.append(path);
    return paths;
}

const char *formatName(int format)
{
    return format == RawUyvy ? "uyvy" : format == RawYuv420 ? "yuv420" : "nv12";
}

// A frame of one layout whose pixels hold every (Y, U, V) triple exactly once.
std::vector<uint8_t> everyTriple(int format, int &width, int &height)
{
    if (format == RawUyvy) {
        width = 256;
        height = 65536;
        std::vector<uint8_t> frame(size_t(2) * width * height);
        for (int row = 0; row < height; ++row)
            for (int group = 0; group < width / 2; ++group) {
                uint8_t *bytes = &frame[size_t(row) * 2 * width + 4 * group];
                bytes[0] = uint8_t(row >> 8);
                bytes[1] = uint8_t(2 * group);
                bytes[2] = uint8_t(row);
                bytes[3] = uint8_t(2 * group + 1);
            }
        return frame;
    }
    width = 512;
    height = 32768;
    const size_t luma = size_t(width) * height, chromaWidth = size_t(width) / 2;
    std::vector<uint8_t> frame(luma * 3 / 2);
    for (size_t chromaRow = 0; chromaRow < size_t(height) / 2; ++chromaRow)
        for (size_t column = 0; column < chromaWidth; ++column) {
            // Each chroma pair serves 64 blocks of 2 x 2 pixels, whose lumas run through 0..255.
            const size_t sample = chromaRow * chromaWidth + column;
            const uint8_t u = uint8_t(sample >> 14), v = uint8_t(sample >> 6);
            const int firstLuma = int(sample & 63) * 4;
            for (int i = 0; i < 2; ++i)
                for (int j = 0; j < 2; ++j)
                    frame[(2 * chromaRow + i) * width + 2 * column + j] =
                        uint8_t(firstLuma + 2 * i + j);
            if (format == RawYuv420) {
                frame[luma + sample] = u;
                frame[luma + luma / 4 + sample] = v;
            } else {
                frame[luma + 2 * sample] = u;
                frame[luma + 2 * sample + 1] = v;
            }
        }
    return frame;
}

// A frame of one layout whose every pixel has the same Y, U and V.
std::vector<uint8_t> uniformFrame(int format, int width, int height, int y, int u, int v)
{
    std::vector<uint8_t> frame(size_t(rawPayloadSize(format, width, height)));
    const size_t luma = size_t(width) * height, chroma = (frame.size() - luma) / 2;
    for (size_t i = 0; i < frame.size(); ++i) {
        if (format == RawUyvy)
            frame[i] = uint8_t(i % 2 ? y : i % 4 == 0 ? u : v);
        else if (i < luma)
            frame[i] = uint8_t(y);
        else if (format == RawYuv420)
            frame[i] = uint8_t(i < luma + chroma ? u : v);
        else
            frame[i] = uint8_t((i - luma) % 2 ? v : u);
    }
    return frame;
}

// Pixels whose R, G or B differ, as "r,c" texts.
QStringList changedPixels(const std::vector<uint8_t> &before, const std::vector<uint8_t> &after,
                          int width)
{
    QStringList changed;
    for (size_t pixel = 0; pixel < before.size() / 3; ++pixel)
        if (std::memcmp(&before[3 * pixel], &after[3 * pixel], 3) != 0)
            changed.append(QStringLiteral("%1,%2").arg(pixel / width).arg(pixel % width));
    return changed;
}

} // namespace

class TestRawConvert : public QObject
{
    Q_OBJECT

private slots:
    void sizes_data();
    void sizes();
    void cornerValues_data();
    void cornerValues();
    void chromaSharing_data();
    void chromaSharing();
    void wholeFrames_data();
    void wholeFrames();
    void everyTripleMatchesReference_data();
    void everyTripleMatchesReference();
    void refusals_data();
    void refusals();
    void nullPointersRefused();
    void pathsAvailable();
};

void TestRawConvert::sizes_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<qint64>("payload");
    QTest::addColumn<qint64>("picture");

    QTest::newRow("uyvy 640x480") << int(RawUyvy) << 640 << 480 << 614400LL << 921600LL;
    QTest::newRow("yuv420 640x480") << int(RawYuv420) << 640 << 480 << 460800LL << 921600LL;
    QTest::newRow("nv12 640x480") << int(RawNv12) << 640 << 480 << 460800LL << 921600LL;
    QTest::newRow("uyvy 1920x1080") << int(RawUyvy) << 1920 << 1080 << 4147200LL << 6220800LL;
    QTest::newRow("nv12 1920x1080") << int(RawNv12) << 1920 << 1080 << 3110400LL << 6220800LL;
    QTest::newRow("uyvy odd width pads each row") << int(RawUyvy) << 3 << 3 << 24LL << 27LL;
    QTest::newRow("uyvy 1x1") << int(RawUyvy) << 1 << 1 << 4LL << 3LL;
    QTest::newRow("yuv420 odd size rounds chroma up") << int(RawYuv420) << 3 << 3 << 17LL << 27LL;
    QTest::newRow("nv12 odd width") << int(RawNv12) << 5 << 1 << 11LL << 15LL;
    QTest::newRow("largest picture fitting an int")
        << int(RawYuv420) << 1 << 715827882 << 1431655764LL << 2147483646LL;
    QTest::newRow("picture one pixel too big") << int(RawNv12) << 1 << 715827883 << -1LL << -1LL;
    QTest::newRow("product overflows 32 bits") << int(RawUyvy) << 65536 << 65536 << -1LL << -1LL;
    QTest::newRow("int max squared") << int(RawUyvy) << INT_MAX << INT_MAX << -1LL << -1LL;
    QTest::newRow("zero width") << int(RawUyvy) << 0 << 480 << -1LL << -1LL;
    QTest::newRow("zero height") << int(RawNv12) << 640 << 0 << -1LL << -1LL;
    QTest::newRow("negative width") << int(RawYuv420) << -640 << 480 << -1LL << -1LL;
    QTest::newRow("negative both") << int(RawYuv420) << -2 << -2 << -1LL << -1LL;
    QTest::newRow("jpeg is no raw layout") << 0 << 640 << 480 << -1LL << 921600LL;
    QTest::newRow("gray is no raw layout") << 1 << 640 << 480 << -1LL << 921600LL;
    QTest::newRow("unknown code") << 5 << 640 << 480 << -1LL << 921600LL;
}

void TestRawConvert::sizes()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(qint64, payload);
    QFETCH(qint64, picture);

    QCOMPARE(rawPayloadSize(format, width, height), payload);
    QCOMPARE(rgbPictureSize(width, height), picture);
}

void TestRawConvert::cornerValues_data()
{
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("b");

    QTest::newRow("black") << 16 << 128 << 128 << 0 << 0 << 0;
    QTest::newRow("white") << 235 << 128 << 128 << 255 << 255 << 255;
    QTest::newRow("above white clamps") << 255 << 128 << 128 << 255 << 255 << 255;
    QTest::newRow("below black clamps") << 0 << 128 << 128 << 0 << 0 << 0;
    QTest::newRow("one above black rounds up") << 17 << 128 << 128 << 1 << 1 << 1;
    QTest::newRow("mid grey") << 128 << 128 << 128 << 130 << 130 << 130;
    QTest::newRow("red") << 81 << 90 << 240 << 255 << 0 << 0;
    QTest::newRow("green") << 145 << 54 << 34 << 0 << 255 << 1;
    QTest::newRow("blue") << 41 << 240 << 110 << 0 << 0 << 255;
    QTest::newRow("all zero") << 0 << 0 << 0 << 0 << 135 << 0;
    QTest::newRow("all 255") << 255 << 255 << 255 << 255 << 125 << 255;
    QTest::newRow("chroma extremes") << 255 << 0 << 255 << 255 << 225 << 20;
    QTest::newRow("other chroma extremes") << 0 << 255 << 0 << 0 << 36 << 237;
}

// Uniform frames wide enough for every path's vector blocks and their scalar tail.
void TestRawConvert::cornerValues()
{
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    QFETCH(int, r);
    QFETCH(int, g);
    QFETCH(int, b);

    const int width = 131, height = 3;
    for (int format : {int(RawUyvy), int(RawYuv420), int(RawNv12)}) {
        const std::vector<uint8_t> frame = uniformFrame(format, width, height, y, u, v);
        for (RawConvertPath path : availablePaths()) {
            std::vector<uint8_t> rgb(size_t(3) * width * height);
            QCOMPARE(convertRawToRgbUsing(path, frame.data(), frame.size(), format, width, height,
                                          rgb.data(), rgb.size()),
                     0);
            for (size_t pixel = 0; pixel < rgb.size() / 3; ++pixel) {
                const QList<int> got{rgb[3 * pixel], rgb[3 * pixel + 1], rgb[3 * pixel + 2]};
                if (got != QList<int>{r, g, b})
                    QFAIL(qPrintable(QStringLiteral("%1 %2: pixel %3 is %4,%5,%6")
                                         .arg(formatName(format), rawConvertPathName(path))
                                         .arg(pixel)
                                         .arg(got[0])
                                         .arg(got[1])
                                         .arg(got[2])));
            }
        }
    }
}

void TestRawConvert::chromaSharing_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("offset");
    QTest::addColumn<QStringList>("pixels");

    const auto row = [](const char *name, int format, int width, int height, int offset,
                        const char *pixels) {
        QTest::newRow(name) << format << width << height << offset
                            << (*pixels ? QString::fromLatin1(pixels).split(' ') : QStringList());
    };
    // UYVY 70 x 2: a row is 140 bytes.
    row("uyvy U of the first pair", RawUyvy, 70, 2, 0, "0,0 0,1");
    row("uyvy V of the first pair", RawUyvy, 70, 2, 2, "0,0 0,1");
    row("uyvy Y0", RawUyvy, 70, 2, 1, "0,0");
    row("uyvy Y1", RawUyvy, 70, 2, 3, "0,1");
    row("uyvy next row", RawUyvy, 70, 2, 140, "1,0 1,1");
    row("uyvy pair in the last block", RawUyvy, 70, 2, 132, "0,66 0,67");
    // UYVY 71 x 2: rows of 36 groups, 144 bytes; the last group's Y1 lies outside the picture.
    row("uyvy odd width last U", RawUyvy, 71, 2, 140, "0,70");
    row("uyvy odd width last Y0", RawUyvy, 71, 2, 141, "0,70");
    row("uyvy odd width padding", RawUyvy, 71, 2, 143, "");
    row("uyvy odd width second row", RawUyvy, 71, 2, 144, "1,0 1,1");
    // YUV420 70 x 4: U plane at 280 (35 a row), V plane at 350.
    row("yuv420 luma", RawYuv420, 70, 4, 70, "1,0");
    row("yuv420 first U", RawYuv420, 70, 4, 280, "0,0 0,1 1,0 1,1");
    row("yuv420 first V", RawYuv420, 70, 4, 350, "0,0 0,1 1,0 1,1");
    row("yuv420 next chroma row", RawYuv420, 70, 4, 315, "2,0 2,1 3,0 3,1");
    row("yuv420 in the last block", RawYuv420, 70, 4, 314, "0,68 0,69 1,68 1,69");
    // YUV420 71 x 3: lumas 213 bytes, chroma planes of 36 x 2 at 213 and 285.
    row("yuv420 odd last column", RawYuv420, 71, 3, 248, "0,70 1,70");
    row("yuv420 odd last row", RawYuv420, 71, 3, 249, "2,0 2,1");
    row("yuv420 odd last V", RawYuv420, 71, 3, 356, "2,70");
    // NV12 70 x 4: chroma rows of 70 bytes at 280.
    row("nv12 first U", RawNv12, 70, 4, 280, "0,0 0,1 1,0 1,1");
    row("nv12 first V", RawNv12, 70, 4, 281, "0,0 0,1 1,0 1,1");
    row("nv12 next chroma row", RawNv12, 70, 4, 350, "2,0 2,1 3,0 3,1");
    row("nv12 in the last block", RawNv12, 70, 4, 349, "0,68 0,69 1,68 1,69");
    // NV12 71 x 3: chroma rows of 72 bytes at 213.
    row("nv12 odd last column", RawNv12, 71, 3, 283, "0,70 1,70");
    row("nv12 odd last row", RawNv12, 71, 3, 285, "2,0 2,1");
    row("nv12 odd last V", RawNv12, 71, 3, 356, "2,70");
}

// Changing one payload byte changes exactly the pixels that sample it.
void TestRawConvert::chromaSharing()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, offset);
    QFETCH(QStringList, pixels);

    GuardedBuffer frame(size_t(rawPayloadSize(format, width, height)));
    QVERIFY(size_t(offset) < frame.size());
    for (RawConvertPath path : availablePaths()) {
        std::vector<uint8_t> before(size_t(3) * width * height), after(before.size());
        frame.fill(128);
        QCOMPARE(convertRawToRgbUsing(path, frame.data(), frame.size(), format, width, height,
                                      before.data(), before.size()),
                 0);
        frame.data()[offset] = 40;
        QCOMPARE(convertRawToRgbUsing(path, frame.data(), frame.size(), format, width, height,
                                      after.data(), after.size()),
                 0);
        QCOMPARE(changedPixels(before, after, width), pixels);
    }
}

void TestRawConvert::wholeFrames_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    const QList<QPair<int, int>> sizes{{1, 1},   {2, 2},   {1, 3},    {3, 1},   {5, 3},
                                       {15, 2},  {16, 2},  {17, 3},   {31, 5},  {32, 4},
                                       {33, 3},  {63, 2},  {64, 2},   {65, 5},  {66, 4},
                                       {67, 3},  {95, 2},  {127, 3},  {128, 2}, {129, 4},
                                       {130, 5}, {191, 1}, {320, 240}, {641, 7}, {640, 480}};
    for (int format : {int(RawUyvy), int(RawYuv420), int(RawNv12)})
        for (const auto &size : sizes)
            QTest::addRow("%s %dx%d", formatName(format), size.first, size.second)
                << format << size.first << size.second;
}

// Random frames of every path against the reference, in buffers of exactly the needed size.
void TestRawConvert::wholeFrames()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);

    GuardedBuffer frame(size_t(rawPayloadSize(format, width, height)));
    QRandomGenerator random(uint(width * 7919 + height * 31 + format));
    for (size_t i = 0; i < frame.size(); ++i)
        frame.data()[i] = uint8_t(random.bounded(256));
    const std::vector<uint8_t> expected = referenceFrame(frame.data(), format, width, height);

    for (RawConvertPath path : availablePaths()) {
        GuardedBuffer rgb(size_t(rgbPictureSize(width, height)));
        rgb.fill(0xa5);
        QCOMPARE(convertRawToRgbUsing(path, frame.data(), frame.size(), format, width, height,
                                      rgb.data(), rgb.size()),
                 0);
        QVERIFY2(std::memcmp(rgb.data(), expected.data(), expected.size()) == 0,
                 rawConvertPathName(path));
    }
}

void TestRawConvert::everyTripleMatchesReference_data()
{
    QTest::addColumn<int>("format");
    for (int format : {int(RawUyvy), int(RawYuv420), int(RawNv12)})
        QTest::newRow(formatName(format)) << format;
}

void TestRawConvert::everyTripleMatchesReference()
{
    QFETCH(int, format);

    int width = 0, height = 0;
    const std::vector<uint8_t> frame = everyTriple(format, width, height);
    QCOMPARE(qint64(frame.size()), rawPayloadSize(format, width, height));

    std::vector<bool> seen(size_t(1) << 24);
    std::vector<uint8_t> expected(size_t(rgbPictureSize(width, height)));
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const Samples s = samplesAt(frame.data(), format, width, height, r, c);
            seen[size_t(s.y) << 16 | size_t(s.u) << 8 | size_t(s.v)] = true;
            referencePixel(s.y, s.u, s.v, &expected[3 * (size_t(r) * width + c)]);
        }
    QVERIFY(std::find(seen.begin(), seen.end(), false) == seen.end());

    std::vector<uint8_t> rgb(expected.size());
    for (RawConvertPath path : availablePaths()) {
        std::fill(rgb.begin(), rgb.end(), uint8_t(0xa5));
        QCOMPARE(convertRawToRgbUsing(path, frame.data(), frame.size(), format, width, height,
                                      rgb.data(), rgb.size()),
                 0);
        const auto mismatch = std::mismatch(rgb.begin(), rgb.end(), expected.begin());
        if (mismatch.first != rgb.end()) {
            const size_t pixel = size_t(mismatch.first - rgb.begin()) / 3;
            const Samples s = samplesAt(frame.data(), format, width, height,
                                        int(pixel / width), int(pixel % width));
            QFAIL(qPrintable(QStringLiteral("%1: Y %2 U %3 V %4 gives %5,%6,%7")
                                 .arg(rawConvertPathName(path))
                                 .arg(s.y)
                                 .arg(s.u)
                                 .arg(s.v)
                                 .arg(rgb[3 * pixel])
                                 .arg(rgb[3 * pixel + 1])
                                 .arg(rgb[3 * pixel + 2])));
        }
    }
}

void TestRawConvert::refusals_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("srcLength");
    QTest::addColumn<int>("dstLength");

    QTest::newRow("uyvy payload one byte short") << int(RawUyvy) << 64 << 2 << 255 << 384;
    QTest::newRow("yuv420 payload one byte short") << int(RawYuv420) << 64 << 2 << 191 << 384;
    QTest::newRow("nv12 payload one byte short") << int(RawNv12) << 64 << 2 << 191 << 384;
    QTest::newRow("uyvy odd width payload short") << int(RawUyvy) << 3 << 2 << 15 << 18;
    QTest::newRow("yuv420 odd size payload short") << int(RawYuv420) << 3 << 3 << 16 << 27;
    QTest::newRow("nv12 odd size payload short") << int(RawNv12) << 3 << 3 << 16 << 27;
    QTest::newRow("empty payload") << int(RawNv12) << 640 << 480 << 1 << 921600;
    QTest::newRow("picture one byte short") << int(RawYuv420) << 64 << 2 << 192 << 383;
    QTest::newRow("zero width") << int(RawUyvy) << 0 << 2 << 64 << 64;
    QTest::newRow("zero height") << int(RawYuv420) << 4 << 0 << 64 << 64;
    QTest::newRow("negative width") << int(RawNv12) << -4 << 2 << 64 << 64;
    QTest::newRow("negative height") << int(RawUyvy) << 4 << -2 << 64 << 64;
    QTest::newRow("picture overflows int") << int(RawYuv420) << 65536 << 65536 << 64 << 64;
    QTest::newRow("picture just over int") << int(RawUyvy) << 1 << 715827883 << 64 << 64;
    QTest::newRow("jpeg") << 0 << 4 << 2 << 64 << 64;
    QTest::newRow("gray") << 1 << 4 << 2 << 64 << 64;
    QTest::newRow("code 5") << 5 << 4 << 2 << 64 << 64;
    QTest::newRow("negative code") << -1 << 4 << 2 << 64 << 64;
}

// Refused calls return -1 and leave the picture untouched; the guard page catches any read.
void TestRawConvert::refusals()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, srcLength);
    QFETCH(int, dstLength);

    GuardedBuffer frame{size_t(srcLength)}, rgb{size_t(dstLength)};
    frame.fill(200);
    for (RawConvertPath path : availablePaths()) {
        rgb.fill(0xa5);
        QCOMPARE(convertRawToRgbUsing(path, frame.data(), frame.size(), format, width, height,
                                      rgb.data(), rgb.size()),
                 -1);
        const std::vector<uint8_t> untouched(rgb.size(), 0xa5);
        QVERIFY(std::memcmp(rgb.data(), untouched.data(), untouched.size()) == 0);
    }
    rgb.fill(0xa5);
    QCOMPARE(convertRawToRgb(frame.data(), frame.size(), format, width, height, rgb.data(),
                             rgb.size()),
             -1);
}

void TestRawConvert::nullPointersRefused()
{
    std::vector<uint8_t> frame(16, 128), rgb(24, 0xa5);
    QCOMPARE(convertRawToRgb(nullptr, frame.size(), RawUyvy, 4, 2, rgb.data(), rgb.size()), -1);
    QCOMPARE(rgb, std::vector<uint8_t>(24, 0xa5));
    QCOMPARE(convertRawToRgb(frame.data(), frame.size(), RawUyvy, 4, 2, nullptr, rgb.size()), -1);
    QCOMPARE(convertRawToRgb(frame.data(), frame.size(), RawUyvy, 4, 2, rgb.data(), rgb.size()), 0);
}

void TestRawConvert::pathsAvailable()
{
    QVERIFY(rawConvertPathAvailable(RawConvertPath::Scalar));
    QVERIFY(rawConvertPathAvailable(rawConvertDefaultPath()));
#if defined(__x86_64__) || defined(_M_X64)
    // SSE2 belongs to every x86-64 processor.
    QVERIFY(rawConvertPathAvailable(RawConvertPath::Sse2));
#endif
    qInfo("Default path: %s", rawConvertPathName(rawConvertDefaultPath()));

    // A path above the default is refused rather than run on a processor that lacks it.
    if (rawConvertDefaultPath() != RawConvertPath::Avx512) {
        const auto above = RawConvertPath(int(rawConvertDefaultPath()) + 1);
        std::vector<uint8_t> frame(16, 128), rgb(24);
        QVERIFY(!rawConvertPathAvailable(above));
        QCOMPARE(convertRawToRgbUsing(above, frame.data(), frame.size(), RawUyvy, 4, 2,
                                      rgb.data(), rgb.size()),
                 -1);
    }
}

QTEST_GUILESS_MAIN(TestRawConvert)
#include "tst_rawconvert.moc"
