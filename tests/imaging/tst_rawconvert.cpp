#include "BoardProtocol.h"
#include "RawConvert.h"

#include <QtTest>

#include <algorithm>
#include <cstring>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

using namespace BoardProtocol;

namespace {

uint32_t clampReference(int value)
{
    return uint32_t(value < 0 ? 0 : value > 255 ? 255 : value);
}

// The colour arithmetic exactly as defined: 32-bit ints, arithmetic shift, then the clamp; as
// the word 0xffRRGGBB.
uint32_t referencePixel(int Y, int U, int V)
{
    const int y = Y - 16, u = U - 128, v = V - 128;
    return 0xff000000u | clampReference((298 * y + 409 * v + 128) >> 8) << 16
        | clampReference((298 * y - 100 * u - 208 * v + 128) >> 8) << 8 | clampReference((298 * y + 516 * u + 128) >> 8);
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
    case FormatUyvy: {
        const uint8_t *group = src + size_t(r) * 4 * chromaWidth + 4 * (c / 2);
        return {group[1 + 2 * (c % 2)], group[0], group[2]};
    }
    case FormatYuv420:
        return {src[n], src[luma + chroma], src[luma + chromaWidth * chromaRows + chroma]};
    default:
        return {src[n], src[luma + 2 * chroma], src[luma + 2 * chroma + 1]};
    }
}

std::vector<uint32_t> referenceFrame(const uint8_t *src, int format, int width, int height)
{
    std::vector<uint32_t> words(size_t(width) * height);
    for (int r = 0; r < height; ++r)
        for (int c = 0; c < width; ++c) {
            const Samples s = samplesAt(src, format, width, height, r, c);
            words[size_t(r) * width + c] = referencePixel(s.y, s.u, s.v);
        }
    return words;
}

// Exactly size bytes, ending where an inaccessible page begins: one byte read or written past the
// end stops the test in every build, not only under the sanitizers.
class GuardedBuffer
{
public:
    explicit GuardedBuffer(size_t size) : bytes(size)
    {
        const size_t page = size_t(sysconf(_SC_PAGESIZE)), dataPages = (size + page - 1) / page;
        mappedSize = (dataPages + 1) * page;
        mapping = mmap(nullptr, mappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping == MAP_FAILED)
            qFatal("mmap failed");
        uint8_t *guard = static_cast<uint8_t *>(mapping) + dataPages * page;
        mprotect(guard, page, PROT_NONE);
        start = guard - size;
    }
    ~GuardedBuffer() { munmap(mapping, mappedSize); }
    GuardedBuffer(const GuardedBuffer &) = delete;

    uint8_t *data() { return start; }
    uint32_t *words() { return reinterpret_cast<uint32_t *>(start); }
    size_t size() const { return bytes; }
    void fill(uint8_t value) { std::memset(start, value, bytes); }

private:
    size_t bytes;
    uint8_t *start = nullptr;
    void *mapping = nullptr;
    size_t mappedSize = 0;
};

// Through one path, each buffer passed with its own length.
template <typename Src>
int convert(RawConvertPath path, Src &src, int format, int width, int height, std::vector<uint32_t> &dst)
{
    return convertRawToXrgb32Using(path, src.data(), src.size(), format, width, height, dst.data(), 4 * dst.size());
}

int convert(RawConvertPath path, GuardedBuffer &src, int format, int width, int height, GuardedBuffer &dst)
{
    return convertRawToXrgb32Using(path, src.data(), src.size(), format, width, height, dst.words(), dst.size());
}

QList<RawConvertPath> availablePaths()
{
    QList<RawConvertPath> paths;
    for (RawConvertPath path : {RawConvertPath::Scalar, RawConvertPath::Sse2, RawConvertPath::Avx2, RawConvertPath::Avx512})
        if (rawConvertPathAvailable(path))
            paths.append(path);
    return paths;
}

const char *formatName(int format)
{
    return format == FormatUyvy ? "uyvy" : format == FormatYuv420 ? "yuv420" : "nv12";
}

// UYVY rows of 256 x 65536 pixels holding every (Y, U, V) triple exactly once. Every layout
// shares the colour arithmetic of its path, so one layout suffices.
constexpr int EveryTripleWidth = 256, EveryTripleHeight = 65536;

std::vector<uint8_t> everyTriple()
{
    std::vector<uint8_t> frame(size_t(2) * EveryTripleWidth * EveryTripleHeight);
    for (int row = 0; row < EveryTripleHeight; ++row)
        for (int group = 0; group < EveryTripleWidth / 2; ++group) {
            uint8_t *bytes = &frame[size_t(row) * 2 * EveryTripleWidth + 4 * group];
            bytes[0] = uint8_t(row >> 8);
            bytes[1] = uint8_t(2 * group);
            bytes[2] = uint8_t(row);
            bytes[3] = uint8_t(2 * group + 1);
        }
    return frame;
}

} // namespace

class TestRawConvert : public QObject
{
    Q_OBJECT

private slots:
    void wholeFrames_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        // Every width to past two blocks of the widest path, so every block count and tail length is
        // taken at odd and even widths, with heights of 1 to 4; then a whole VGA frame.
        for (int format : {int(FormatUyvy), int(FormatYuv420), int(FormatNv12)}) {
            for (int width = 1; width <= 130; ++width)
                QTest::addRow("%s %dx%d", formatName(format), width, 1 + width % 4) << format << width << 1 + width % 4;
            QTest::addRow("%s 640x480", formatName(format)) << format << 640 << 480;
        }
    }

    // Random frames of every path against the reference, in buffers of exactly the needed size:
    // the guard pages catch any read or write past the frame or the picture.
    void wholeFrames()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(int, height);
        // Odd sizes as if padded to even: whole UYVY groups, chroma planes rounded up.
        const qint64 groups = (width + 1) / 2, chromaRows = (height + 1) / 2;
        const qint64 payload = format == FormatUyvy ? 4 * groups * height : qint64(width) * height + 2 * groups * chromaRows;
        QCOMPARE(rawPayloadSize(format, width, height), payload);
        GuardedBuffer frame{size_t(payload)};
        QRandomGenerator random(uint(width * 7919 + height * 31 + format));
        for (size_t i = 0; i < frame.size(); ++i)
            frame.data()[i] = uint8_t(random.bounded(256));
        const std::vector<uint32_t> expected = referenceFrame(frame.data(), format, width, height);

        for (RawConvertPath path : availablePaths()) {
            GuardedBuffer words(size_t(xrgbPictureSize(width, height)));
            words.fill(0xa5);
            QCOMPARE(convert(path, frame, format, width, height, words), 0);
            QVERIFY2(std::memcmp(words.data(), expected.data(), words.size()) == 0, rawConvertPathName(path));
        }
    }

    void everyTripleMatchesReference()
    {
        const std::vector<uint8_t> frame = everyTriple();
        const std::vector<uint32_t> expected = referenceFrame(frame.data(), FormatUyvy, EveryTripleWidth, EveryTripleHeight);
        std::vector<uint32_t> words(expected.size());
        for (RawConvertPath path : availablePaths()) {
            std::fill(words.begin(), words.end(), 0xa5a5a5a5u);
            QCOMPARE(convert(path, frame, FormatUyvy, EveryTripleWidth, EveryTripleHeight, words), 0);
            QVERIFY2(words == expected, rawConvertPathName(path));
        }
        // Pixel (Y, U * 256 + V) holds that triple: black, white, white clamped, black clamped, red.
        const auto at = [&words](int y, int u, int v) { return words[(size_t(u) * 256 + size_t(v)) * EveryTripleWidth + size_t(y)]; };
        QCOMPARE((QList<uint32_t>{at(16, 128, 128), at(235, 128, 128), at(255, 128, 128), at(0, 128, 128), at(81, 90, 240)}),
                 (QList<uint32_t>{0xff000000u, 0xffffffffu, 0xffffffffu, 0xff000000u, 0xffff0000u}));
    }

    void refusals_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("srcLength");
        QTest::addColumn<int>("dstLength");
        QTest::newRow("uyvy payload one byte short") << int(FormatUyvy) << 64 << 2 << 255 << 512;
        QTest::newRow("uyvy odd width payload short") << int(FormatUyvy) << 3 << 2 << 15 << 24;
        QTest::newRow("yuv420 odd size payload short") << int(FormatYuv420) << 3 << 3 << 16 << 36;
        QTest::newRow("nv12 odd size payload short") << int(FormatNv12) << 3 << 3 << 16 << 36;
        QTest::newRow("picture one word short") << int(FormatYuv420) << 64 << 2 << 192 << 508;
        QTest::newRow("zero width") << int(FormatUyvy) << 0 << 2 << 64 << 64;
        QTest::newRow("negative height") << int(FormatNv12) << 4 << -2 << 64 << 64;
        QTest::newRow("picture overflows int") << int(FormatYuv420) << 65536 << 65536 << 64 << 64;
        QTest::newRow("picture just over int") << int(FormatUyvy) << 1 << 536870912 << 64 << 64;
        QTest::newRow("gray") << 1 << 4 << 2 << 64 << 64;
    }

    // Refused calls return -1 and leave the picture untouched; the guard page catches any read.
    void refusals()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, srcLength);
        QFETCH(int, dstLength);
        GuardedBuffer frame{size_t(srcLength)}, words{size_t(dstLength)};
        frame.fill(200);
        const std::vector<uint8_t> untouched(words.size(), 0xa5);
        for (RawConvertPath path : availablePaths()) {
            words.fill(0xa5);
            QCOMPARE(convert(path, frame, format, width, height, words), -1);
            QVERIFY(std::memcmp(words.data(), untouched.data(), untouched.size()) == 0);
        }
    }

    void limits()
    {
        QCOMPARE(xrgbPictureSize(1, 536870911), 2147483644LL);
        QCOMPARE(rawPayloadSize(FormatYuv420, 1, 536870911), 1073741823LL);
        QCOMPARE(xrgbPictureSize(1, 536870912), -1LL);
        QCOMPARE(rawPayloadSize(FormatNv12, 1, 536870912), -1LL);

        std::vector<uint8_t> frame(16, 128);
        std::vector<uint32_t> words(8, 0xa5u);
        QCOMPARE(convertRawToXrgb32(nullptr, frame.size(), FormatUyvy, 4, 2, words.data(), 32), -1);
        QCOMPARE(words, std::vector<uint32_t>(8, 0xa5u));
        QCOMPARE(convertRawToXrgb32(frame.data(), frame.size(), FormatUyvy, 4, 2, nullptr, 32), -1);
        QCOMPARE(convertRawToXrgb32(frame.data(), frame.size(), FormatUyvy, 4, 2, words.data(), 32), 0);

        // The portable path runs on every processor; a path this processor lacks is refused rather than run.
        QVERIFY(rawConvertPathAvailable(RawConvertPath::Scalar));
        if (rawConvertDefaultPath() != RawConvertPath::Avx512) {
            const auto above = RawConvertPath(int(rawConvertDefaultPath()) + 1);
            QVERIFY(!rawConvertPathAvailable(above));
            QCOMPARE(convert(above, frame, FormatUyvy, 4, 2, words), -1);
        }
    }
};

QTEST_GUILESS_MAIN(TestRawConvert)
#include "tst_rawconvert.moc"
