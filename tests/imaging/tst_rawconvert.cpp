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
        const size_t page = size_t(sysconf(_SC_PAGESIZE)), dataPages = (size + page - 1) / page;
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
    void *mapping = nullptr;
    size_t mappedSize = 0;
    std::vector<uint8_t> storage;
};

// Through one path, each buffer passed with its own length.
template <typename Src, typename Dst>
int convert(RawConvertPath path, Src &src, int format, int width, int height, Dst &dst)
{
    return convertRawToRgbUsing(path, src.data(), src.size(), format, width, height, dst.data(),
                                dst.size());
}

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
    void cornerValues_data();
    void cornerValues();
    void chromaSharing_data();
    void chromaSharing();
    void wholeFrames_data();
    void wholeFrames();
    void wholeFramesAsWords_data() { wholeFrames_data(); }
    void wholeFramesAsWords();
    void wordsRefuseShortBuffers();
    void everyTripleMatchesReference_data();
    void everyTripleMatchesReference();
    void refusals_data();
    void refusals();
    void limits();
};

void TestRawConvert::cornerValues_data()
{
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    QTest::addColumn<QList<int>>("rgb");

    QTest::newRow("black") << 16 << 128 << 128 << QList<int>{0, 0, 0};
    QTest::newRow("white") << 235 << 128 << 128 << QList<int>{255, 255, 255};
    QTest::newRow("above white clamps") << 255 << 128 << 128 << QList<int>{255, 255, 255};
    QTest::newRow("below black clamps") << 0 << 128 << 128 << QList<int>{0, 0, 0};
    QTest::newRow("one above black rounds up") << 17 << 128 << 128 << QList<int>{1, 1, 1};
    QTest::newRow("red") << 81 << 90 << 240 << QList<int>{255, 0, 0};
    QTest::newRow("green") << 145 << 54 << 34 << QList<int>{0, 255, 1};
    QTest::newRow("all zero") << 0 << 0 << 0 << QList<int>{0, 135, 0};
    QTest::newRow("chroma extremes") << 255 << 0 << 255 << QList<int>{255, 225, 20};
    QTest::newRow("other chroma extremes") << 0 << 255 << 0 << QList<int>{0, 36, 237};
}

// Anchors the reference, which the exhaustive test holds every path to.
void TestRawConvert::cornerValues()
{
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    QFETCH(QList<int>, rgb);

    uint8_t got[3];
    referencePixel(y, u, v, got);
    QCOMPARE(QList<int>({got[0], got[1], got[2]}), rgb);
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
    row("uyvy next row", RawUyvy, 70, 2, 140, "1,0 1,1");
    row("uyvy pair in the last block", RawUyvy, 70, 2, 134, "0,66 0,67");
    // UYVY 71 x 2: rows of 36 groups, 144 bytes; the last group's Y1 lies outside the picture.
    row("uyvy odd width last V", RawUyvy, 71, 2, 142, "0,70");
    row("uyvy odd width padding", RawUyvy, 71, 2, 143, "");
    // YUV420 70 x 4: U plane at 280 (35 a row), V plane at 350.
    row("yuv420 first U", RawYuv420, 70, 4, 280, "0,0 0,1 1,0 1,1");
    row("yuv420 V in the last block", RawYuv420, 70, 4, 384, "0,68 0,69 1,68 1,69");
    // YUV420 71 x 3: lumas 213 bytes, chroma planes of 36 x 2 at 213 and 285.
    row("yuv420 odd last column", RawYuv420, 71, 3, 248, "0,70 1,70");
    row("yuv420 odd last row", RawYuv420, 71, 3, 249, "2,0 2,1");
    // NV12 70 x 4: chroma rows of 70 bytes at 280.
    row("nv12 first V", RawNv12, 70, 4, 281, "0,0 0,1 1,0 1,1");
    row("nv12 next chroma row", RawNv12, 70, 4, 350, "2,0 2,1 3,0 3,1");
    row("nv12 in the last block", RawNv12, 70, 4, 349, "0,68 0,69 1,68 1,69");
    // NV12 71 x 3: chroma rows of 72 bytes at 213.
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
        QCOMPARE(convert(path, frame, format, width, height, before), 0);
        frame.data()[offset] = 40;
        QCOMPARE(convert(path, frame, format, width, height, after), 0);
        QCOMPARE(changedPixels(before, after, width), pixels);
    }
}

void TestRawConvert::wholeFrames_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    // Around the vector widths of each path, so every block size and tail is taken.
    const QList<QPair<int, int>> sizes{{1, 1},   {1, 3},   {3, 1},   {5, 3},   {15, 2},
                                       {17, 3},  {33, 3},  {63, 2},  {65, 5},  {127, 3},
                                       {129, 4}, {191, 1}, {641, 7}, {640, 480}};
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

    // Odd sizes as if padded to even: whole UYVY groups, chroma planes rounded up.
    const qint64 groups = (width + 1) / 2, chromaRows = (height + 1) / 2;
    const qint64 payload = format == RawUyvy ? 4 * groups * height
                                             : qint64(width) * height + 2 * groups * chromaRows;
    QCOMPARE(rawPayloadSize(format, width, height), payload);
    GuardedBuffer frame{size_t(payload)};
    QRandomGenerator random(uint(width * 7919 + height * 31 + format));
    for (size_t i = 0; i < frame.size(); ++i)
        frame.data()[i] = uint8_t(random.bounded(256));
    const std::vector<uint8_t> expected = referenceFrame(frame.data(), format, width, height);

    for (RawConvertPath path : availablePaths()) {
        GuardedBuffer rgb(size_t(rgbPictureSize(width, height)));
        rgb.fill(0xa5);
        QCOMPARE(convert(path, frame, format, width, height, rgb), 0);
        QVERIFY2(std::memcmp(rgb.data(), expected.data(), expected.size()) == 0,
                 rawConvertPathName(path));
    }
}

// The 32-bit pictures hold the reference colours as 0xffRRGGBB words, and nothing outside them
// is touched (the guard pages of the source and destination).
void TestRawConvert::wholeFramesAsWords()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);

    GuardedBuffer frame(size_t(rawPayloadSize(format, width, height)));
    QRandomGenerator random(uint(width * 7919 + height * 31 + format));
    for (size_t i = 0; i < frame.size(); ++i)
        frame.data()[i] = uint8_t(random.bounded(256));
    const std::vector<uint8_t> rgb = referenceFrame(frame.data(), format, width, height);
    std::vector<uint32_t> expected(size_t(width) * height);
    for (size_t n = 0; n < expected.size(); ++n)
        expected[n] = 0xff000000u | uint32_t(rgb[3 * n]) << 16 | uint32_t(rgb[3 * n + 1]) << 8
            | rgb[3 * n + 2];

    for (RawConvertPath path : availablePaths()) {
        GuardedBuffer words(size_t(xrgbPictureSize(width, height)));
        words.fill(0xa5);
        QCOMPARE(convertRawToXrgb32Using(path, frame.data(), frame.size(), format, width, height,
                                         reinterpret_cast<uint32_t *>(words.data()), words.size()),
                 0);
        QVERIFY2(std::memcmp(words.data(), expected.data(), words.size()) == 0,
                 rawConvertPathName(path));
    }
}

void TestRawConvert::wordsRefuseShortBuffers()
{
    const int width = 64, height = 4;
    std::vector<uint8_t> frame(size_t(rawPayloadSize(RawNv12, width, height)), 128);
    std::vector<uint32_t> words(size_t(width) * height, 7);
    const size_t bytes = words.size() * 4;
    QCOMPARE(convertRawToXrgb32(frame.data(), frame.size() - 1, RawNv12, width, height,
                                words.data(), bytes),
             -1);
    QCOMPARE(convertRawToXrgb32(frame.data(), frame.size(), RawNv12, width, height, words.data(),
                                bytes - 1),
             -1);
    QCOMPARE(convertRawToXrgb32(frame.data(), frame.size(), 7, width, height, words.data(), bytes),
             -1);
    QVERIFY(std::all_of(words.begin(), words.end(), [](uint32_t w) { return w == 7; }));
    QCOMPARE(xrgbPictureSize(40000, 40000), -1LL);
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
    for (int n = 0; n < width * height; ++n) {
        const Samples s = samplesAt(frame.data(), format, width, height, n / width, n % width);
        seen[size_t(s.y) << 16 | size_t(s.u) << 8 | size_t(s.v)] = true;
    }
    QVERIFY(std::find(seen.begin(), seen.end(), false) == seen.end());
    const std::vector<uint8_t> expected = referenceFrame(frame.data(), format, width, height);

    const auto report = [&](RawConvertPath path, size_t pixel, const char *output) {
        const Samples s = samplesAt(frame.data(), format, width, height, int(pixel / width),
                                    int(pixel % width));
        return QStringLiteral("%1 %2: Y %3 U %4 V %5")
            .arg(rawConvertPathName(path), output)
            .arg(s.y)
            .arg(s.u)
            .arg(s.v);
    };
    std::vector<uint8_t> rgb(expected.size());
    std::vector<uint32_t> words(expected.size() / 3);
    for (RawConvertPath path : availablePaths()) {
        std::fill(rgb.begin(), rgb.end(), uint8_t(0xa5));
        QCOMPARE(convert(path, frame, format, width, height, rgb), 0);
        const auto mismatch = std::mismatch(rgb.begin(), rgb.end(), expected.begin());
        if (mismatch.first != rgb.end())
            QFAIL(qPrintable(report(path, size_t(mismatch.first - rgb.begin()) / 3, "R,G,B")));

        QCOMPARE(convertRawToXrgb32Using(path, frame.data(), frame.size(), format, width, height,
                                         words.data(), 4 * words.size()),
                 0);
        for (size_t n = 0; n < words.size(); ++n) {
            const uint32_t word = 0xff000000u | uint32_t(expected[3 * n]) << 16
                | uint32_t(expected[3 * n + 1]) << 8 | expected[3 * n + 2];
            if (words[n] != word)
                QFAIL(qPrintable(report(path, n, "words")));
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
    QTest::newRow("picture one byte short") << int(RawYuv420) << 64 << 2 << 192 << 383;
    QTest::newRow("zero width") << int(RawUyvy) << 0 << 2 << 64 << 64;
    QTest::newRow("negative height") << int(RawNv12) << 4 << -2 << 64 << 64;
    QTest::newRow("picture overflows int") << int(RawYuv420) << 65536 << 65536 << 64 << 64;
    QTest::newRow("picture just over int") << int(RawUyvy) << 1 << 715827883 << 64 << 64;
    QTest::newRow("gray") << 1 << 4 << 2 << 64 << 64;
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
        QCOMPARE(convert(path, frame, format, width, height, rgb), -1);
        const std::vector<uint8_t> untouched(rgb.size(), 0xa5);
        QVERIFY(std::memcmp(rgb.data(), untouched.data(), untouched.size()) == 0);
    }
}

void TestRawConvert::limits()
{
    QCOMPARE(rgbPictureSize(1, 715827882), 2147483646LL);
    QCOMPARE(rawPayloadSize(RawYuv420, 1, 715827882), 1431655764LL);
    QCOMPARE(rgbPictureSize(1, 715827883), -1LL);
    QCOMPARE(rawPayloadSize(RawNv12, 1, 715827883), -1LL);

    std::vector<uint8_t> frame(16, 128), rgb(24, 0xa5);
    QCOMPARE(convertRawToRgb(nullptr, frame.size(), RawUyvy, 4, 2, rgb.data(), rgb.size()), -1);
    QCOMPARE(rgb, std::vector<uint8_t>(24, 0xa5));
    QCOMPARE(convertRawToRgb(frame.data(), frame.size(), RawUyvy, 4, 2, nullptr, rgb.size()), -1);
    QCOMPARE(convertRawToRgb(frame.data(), frame.size(), RawUyvy, 4, 2, rgb.data(), rgb.size()), 0);

    // A path this processor lacks is refused rather than run.
    if (rawConvertDefaultPath() != RawConvertPath::Avx512) {
        const auto above = RawConvertPath(int(rawConvertDefaultPath()) + 1);
        QVERIFY(!rawConvertPathAvailable(above));
        QCOMPARE(convert(above, frame, RawUyvy, 4, 2, rgb), -1);
    }
}

QTEST_GUILESS_MAIN(TestRawConvert)
#include "tst_rawconvert.moc"
