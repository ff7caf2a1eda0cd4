#include "BoardProtocol.h"
#include "JpegDecoder.h"
#include "JpegEncoder.h"
#include "MessageLog.h"
#include "NearestScale.h"
#include "PixelSamples.h"
#include "PlaneLevels.h"
#include "RawConvert.h"

#include <QImage>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>

using namespace BoardProtocol;

namespace {

// Smooth shading with some fine detail, different for every seed.
QByteArray photo(int width, int height, int components = 3, int seed = 0)
{
    QByteArray pixels(width * height * components, Qt::Uninitialized);
    auto *p = reinterpret_cast<uchar *>(pixels.data());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                *p++ = uchar(x * (c + 1) * 255 / width + y * 255 / height + seed * 37 + ((x ^ y) & 7));
    const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), width, height, components, 90);
    const QImage read = QImage::fromData(jpeg, "JPEG").convertToFormat(components == 3 ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    qint64 error = 0;
    for (int i = 0; i < pixels.size() && read.size() == QSize(width, height); ++i)
        error += qAbs(read.constScanLine(i / (width * components))[i % (width * components)] - uchar(pixels[i]));
    if (read.size() != QSize(width, height) || error > 50 * pixels.size()) // as Qt reads it: up to 36 a sample, rows mixed 75
        qFatal("test picture %dx%dx%d encoded %lld levels off in all", width, height, components, error);
    return jpeg;
}

using Words = std::vector<uint32_t>;

Words wordsOf(const QImage &image)
{
    Words words(size_t(image.width()) * image.height());
    for (int y = 0; y < image.height(); ++y)
        std::memcpy(&words[size_t(y) * image.width()], image.constScanLine(y), 4 * size_t(image.width()));
    return words;
}

// Independent decode by Qt's own JPEG reader, as 0xffRRGGBB words; only for valid data.
Words referenceDecode(const QByteArray &jpeg)
{
    return wordsOf(QImage::fromData(jpeg, "JPEG").convertToFormat(QImage::Format_RGB32));
}

// What the decoder found about its frame, as the viewer logs it: the first warning, the refusal.
QStringList findings(const JpegDecoder &decoder)
{
    QStringList lines;
    if (!decoder.warnings().isEmpty())
        lines << QStringLiteral("JPEG warning: ") + decoder.warnings().first();
    if (!decoder.failure().isEmpty())
        lines << decoder.failure();
    return lines;
}

// The stream client's sequence for one frame, into a picture of exactly its size.
int decodeFrame(JpegDecoder &decoder, const QByteArray &jpeg, int width, int height, Words &picture)
{
    decoder.setSource(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()));
    if (decoder.jpeg_check_header(width, height) < 0)
        return -1;
    picture.assign(size_t(width) * height, 0);
    return decoder.decodeInto(reinterpret_cast<uchar *>(picture.data()), 4 * picture.size(), 4 * size_t(width));
}

int segmentLength(const QByteArray &jpeg, int pos)
{
    return 2 + (uchar(jpeg[pos + 2]) << 8 | uchar(jpeg[pos + 3]));
}

// Offset of the first marker segment with this code, or -1.
int findSegment(const QByteArray &jpeg, uchar marker)
{
    int pos = 2;
    while (pos + 4 <= jpeg.size() && uchar(jpeg[pos]) == 0xff) {
        if (uchar(jpeg[pos + 1]) == marker)
            return pos;
        if (uchar(jpeg[pos + 1]) == 0xda)
            return -1;
        pos += segmentLength(jpeg, pos);
    }
    return -1;
}

// Without the Huffman tables, as motion JPEG leaves them out, or with the symbols of the first
// reversed: still a valid table, but not the standard one.
QByteArray withoutHuffmanTables(QByteArray jpeg)
{
    for (int dht = findSegment(jpeg, 0xc4); dht >= 0; dht = findSegment(jpeg, 0xc4))
        jpeg.remove(dht, segmentLength(jpeg, dht));
    return jpeg;
}

QByteArray withOddHuffmanTable(QByteArray jpeg)
{
    const int counts = findSegment(jpeg, 0xc4) + 5;
    int symbols = 0;
    for (int i = 0; i < 16; ++i)
        symbols += uchar(jpeg[counts + i]);
    std::reverse(jpeg.data() + counts + 16, jpeg.data() + counts + 16 + symbols);
    return jpeg;
}

// Two of its three components kept, in the frame and the scan header: no colour space to show.
QByteArray withTwoComponents(QByteArray jpeg)
{
    const int sof = findSegment(jpeg, 0xc0);
    jpeg[sof + 3] = char(jpeg[sof + 3] - 3);
    jpeg[sof + 9] = 2;
    jpeg.remove(sof + 16, 3);
    const int sos = findSegment(jpeg, 0xda);
    jpeg[sos + 3] = char(jpeg[sos + 3] - 2);
    jpeg[sos + 4] = 2;
    jpeg.remove(sos + 9, 2);
    return jpeg;
}

QByteArray withFrameSize(QByteArray jpeg, int width, int height)
{
    const int sof = findSegment(jpeg, 0xc0);
    const char size[4] = {char(height >> 8), char(height), char(width >> 8), char(width)};
    jpeg.replace(sof + 5, 4, QByteArray(size, 4));
    return jpeg;
}

// djpeg's decode of the data, as a 32-bit picture; null if it gives none.
QImage djpegDecode(const QByteArray &jpeg)
{
    QProcess djpeg;
    djpeg.start(QStringLiteral("djpeg"), {QStringLiteral("-pnm")});
    djpeg.write(jpeg);
    djpeg.closeWriteChannel();
    djpeg.waitForFinished(60000);
    return QImage::fromData(djpeg.readAllStandardOutput()).convertToFormat(QImage::Format_RGB32);
}

// The data with count bytes inserted before the marker at the offset.
QByteArray withBytesBefore(QByteArray jpeg, int marker, int count, char byte)
{
    return jpeg.insert(marker, QByteArray(count, byte));
}

constexpr int Width = 640;
constexpr int Height = 480;

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

// A board payload with the format and size it is read by.
struct Payload
{
    int format = 0;
    int width = 0;
    int height = 0;
    QByteArray bytes;

    const uchar *data() const { return reinterpret_cast<const uchar *>(bytes.constData()); }
    QSize size() const { return QSize(width, height); }
    PixelSamples at(int x, int y) const { return pixelSamplesAt(data(), bytes.size(), format, width, height, x, y); }
    std::vector<SamplePlane> planes() const { return SamplePlane::ofPayload(data(), bytes.size(), format, width, height); }
};

QByteArray ramp(int bytes, int seed)
{
    QByteArray payload(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        payload[i] = char((i * 37 + seed * 11 + (i >> 3)) & 0xff);
    return payload;
}

// The samples of a region gathered pixel by pixel through PixelSamples; a chroma sample once for
// all the pixels that share it.
std::vector<std::vector<int>> samplesOf(const Payload &frame, const QRect &region)
{
    if (frame.format == BoardProtocol::FormatGray) {
        std::vector<int> levels;
        for (int y = region.top(); y <= region.bottom(); ++y)
            for (int x = region.left(); x <= region.right(); ++x)
                levels.push_back(frame.at(x, y).level);
        return {levels};
    }
    const int chromaRowShift = frame.format == BoardProtocol::FormatUyvy ? 0 : 1;
    std::vector<int> luma;
    std::map<std::pair<int, int>, std::pair<int, int>> chroma;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const PixelSamples pixel = frame.at(x, y);
            luma.push_back(pixel.y);
            chroma[{y >> chromaRowShift, x >> 1}] = {pixel.u, pixel.v};
        }
    }
    std::vector<int> u, v;
    for (const auto &sample : chroma) {
        u.push_back(sample.second.first);
        v.push_back(sample.second.second);
    }
    return {luma, u, v};
}

std::vector<std::vector<int>> samplesOf(const QImage &picture, const QRect &region)
{
    std::vector<std::vector<int>> rgb(3);
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const QRgb p = picture.pixel(x, y);
            rgb[0].push_back(qRed(p));
            rgb[1].push_back(qGreen(p));
            rgb[2].push_back(qBlue(p));
        }
    }
    return rgb;
}

QImage noise(int width, int height, quint32 seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = 0xff000000u | random.generate();
    }
    return image;
}

// One scaler for every picture, as a view keeps one across resizes.
QImage scaledHere(const QImage &source, int width, int height)
{
    QImage target(width, height, QImage::Format_RGB32);
    target.fill(Qt::magenta);
    static NearestScaler scaler;
    const bool scaled = scaler.setSizes(source.width(), source.height(), width, height)
        && scaler.scale(reinterpret_cast<const uint32_t *>(source.constBits()),
                        size_t(source.bytesPerLine()), reinterpret_cast<uint32_t *>(target.bits()),
                        size_t(target.bytesPerLine()));
    return scaled ? target : QImage();
}

} // namespace

// Pixels: JPEG decoding, raw colour conversion, levels and samples of pixel planes, scaling.
class tst_Imaging : public QObject
{
    Q_OBJECT

private slots:
    // Every row in its place, after pictures of other sizes and row lengths (grey rows are a third of
    // colour ones), in rows with and without padding, which is left alone.
    void followsSizeAndRowLengthChanges()
    {
        const int frames[][3] = {{640, 480, 3}, {640, 480, 3}, {640, 480, 1}, {320, 240, 3},
                                 {320, 240, 1}, {33, 17, 1},   {33, 17, 3},   {48, 1, 3},
                                 {45, 30, 3},   {1, 1, 1}};
        JpegDecoder decoder;
        decoder.init();
        int seed = 0;
        for (const auto &[width, height, components] : frames) {
            const QByteArray jpeg = photo(width, height, components, ++seed);
            const size_t padding = 4 * (seed % 3), stride = 4 * size_t(width) + padding;
            std::vector<uchar> picture(stride * height, 0x5a);
            decoder.setSource(reinterpret_cast<const uchar *>(jpeg.constData()), int(jpeg.size()));
            QCOMPARE(decoder.jpeg_check_header(width, height), 0);
            if (seed % 2) // checked again: the frame is read from its start once more
                QCOMPARE(decoder.jpeg_check_header(width, height), 0);
            QCOMPARE(decoder.decodeInto(picture.data(), picture.size(), stride), 0);
            const Words expected = referenceDecode(jpeg);
            for (int y = 0; y < height; ++y) {
                const uchar *row = picture.data() + y * stride;
                QVERIFY(std::memcmp(row, &expected[size_t(y) * width], 4 * size_t(width)) == 0);
                QVERIFY(std::all_of(row + 4 * width, row + stride, [](uchar b) { return b == 0x5a; }));
            }
        }
    }

    void badFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QSize>("announced");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("logged"); // what the decoder found, the first warning and the refusal, as a pattern
        const QSize vga(Width, Height);
        const QString mismatch = QStringLiteral("Error: incompatible jpeg sizes");
        QTest::newRow("one column more") << photo(65, 48, 3, 2) << QSize(64, 48) << -1 << mismatch;
        QTest::newRow("width and height swapped") << photo(48, 64, 3, 2) << QSize(64, 48) << -1 << mismatch;
        QTest::newRow("zero announced") << photo(16, 16) << QSize(0, 0) << -1 << mismatch;
        QTest::newRow("negative announced") << photo(16, 16) << QSize(-16, 16) << -1 << mismatch;
        QTest::newRow("two components") << withTwoComponents(photo(16, 16)) << QSize(16, 16) << -1
                                        << "Error: unsupported jpeg colour space with 2 components";
        // The largest accepted: the header passes, the decode fails only for want of pixels.
        const QString premature = QStringLiteral("JPEG error: Premature end of JPEG file");
        const QString segmentEnded = QStringLiteral("JPEG error: Corrupt JPEG data: premature end of data segment");
        for (const auto &[width, height] : {std::pair{4096, 4096}, {65500, 256}})
            QTest::addRow("largest %d x %d", width, height)
                << withFrameSize(photo(16, 16), width, height) << QSize(width, height) << -1 << segmentEnded;
        // An 800-byte frame announcing 20000 x 20000 pixels used to cost 1.2 GB and seconds; the last
        // has more bytes than an int counts.
        for (const auto &[width, height] : {std::pair{4096, 4097}, {20000, 20000}, {65500, 65500}})
            QTest::addRow("%d x %d", width, height) << withFrameSize(photo(16, 16), width, height) << QSize(width, height) << -1
                << QStringLiteral("Error: jpeg size too large: %1 x %2").arg(width).arg(height);

        const QByteArray jpeg = photo(Width, Height, 3, 4);
        const int sos = findSegment(jpeg, 0xda), sof = findSegment(jpeg, 0xc0);
        const int scan = sos + segmentLength(jpeg, sos);
        const int scanLength = int(jpeg.size()) - 2 - scan;
        QTest::newRow("empty payload") << QByteArray() << vga << -1 << "JPEG error: Empty input file";
        QTest::newRow("text") << QByteArray("this is no picture at all, only words") << vga << -1
                              << "JPEG error: Not a JPEG file: starts with 0x74 0x68";
        QTest::newRow("cut in tables") << jpeg.left(findSegment(jpeg, 0xc4) + 10) << vga << -1 << premature;
        // Cut off or corrupt: libjpeg would fill the rest grey or garble it, which is not the frame.
        QTest::newRow("cut mid scan") << jpeg.left(scan + scanLength / 2) << vga << -1 << premature;
        QTest::newRow("cut before the end marker") << jpeg.left(jpeg.size() - 2) << vga << -1 << premature;
        // Tables persist in libjpeg between images, so point at one that no frame defines.
        QByteArray undefinedTable = jpeg;
        undefinedTable[sof + 12] = 3;
        QTest::newRow("undefined quantisation table")
            << undefinedTable << vga << -1 << "JPEG error: Quantization table 0x03 was not defined";
        QByteArray garbled = jpeg;
        for (int i = scan + scanLength / 3; i < scan + scanLength / 3 + 2000; ++i)
            garbled[i] = char(((i * 131) & 0xff) == 0xff ? 0 : (i * 131) & 0xff);
        QTest::newRow("garbled scan data")
            << garbled << vga << -1 << "JPEG error: Corrupt JPEG data: \\d+ extraneous bytes before marker 0xd9";
        QByteArray newerJfif = jpeg;
        newerJfif[2 + 9] = 2; // APP0 "JFIF" major version
        QTest::newRow("unknown JFIF revision") << newerJfif << vga << 0 << "JPEG warning: Warning: unknown JFIF revision number 2\\.01";
        QByteArray secondFrame = jpeg;
        secondFrame.insert(scan + scanLength / 2, jpeg.mid(sof, segmentLength(jpeg, sof)));
        QTest::newRow("second frame header in scan") << secondFrame << vga << -1 << segmentEnded;
    }

    // However much is damaged, one warning line and one refusal at most, and the libjpeg object ready
    // for the next frame; a frame refused by its header leaves the picture alone. Judged without a
    // picture, the frame fares as it does decoded. The decoder reports; it never prints.
    void badFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QSize, announced);
        QFETCH(int, result);
        QFETCH(QString, logged);
        JpegDecoder decoder;
        decoder.init();
        Words picture;
        QCOMPARE(decodeFrame(decoder, photo(Width, Height, 3, 5), Width, Height, picture), 0);
        const Words before = picture;

        MessageLog log;
        // Exactly the payload's bytes on the heap, so the sanitizers catch any read beyond them.
        const QByteArray payload(frame.constData(), frame.size());
        decoder.setSource(reinterpret_cast<const unsigned char *>(payload.constData()), int(payload.size()));
        const bool headerRefused = decoder.jpeg_check_header(announced.width(), announced.height()) < 0;
        QCOMPARE(decodeFrame(decoder, payload, announced.width(), announced.height(), picture), result);
        const QStringList lines = findings(decoder);
        QVERIFY2(QRegularExpression(QRegularExpression::anchoredPattern(logged)).match(lines.join('\n')).hasMatch(),
                 qPrintable(lines.join('|')));
        // A failure leaves the decoder at its start: the frame is not read on, nor refused again.
        if (result < 0) {
            const size_t stride = 4 * size_t(headerRefused ? Width : announced.width());
            QCOMPARE(decoder.decodeInto(reinterpret_cast<uchar *>(picture.data()), 4 * picture.size(), stride), -1);
            QCOMPARE(findings(decoder), lines);
        }
        if (headerRefused)
            QCOMPARE(picture, before);
        decoder.setSource(reinterpret_cast<const unsigned char *>(payload.constData()), int(payload.size()));
        QCOMPARE(decoder.jpeg_check_header(announced.width(), announced.height()) < 0 ? -1 : decoder.verifyData(), result);

        const QByteArray good = photo(Width, Height, 3, 6);
        QCOMPARE(decodeFrame(decoder, good, Width, Height, picture), 0);
        QCOMPARE(findings(decoder), QStringList());
        QCOMPARE(log.take(), QStringList());
        QCOMPARE(picture, referenceDecode(good));
    }

    void earlierFrameTablesAreNotUsed_data()
    {
        QTest::addColumn<int>("announcedWidth");
        // Its own tables do not fit its scan: decoding fails part way, with the tables loaded.
        QTest::newRow("earlier frame failed in its scan") << 32;
        QTest::newRow("earlier frame refused for its size") << 16;
    }

    // libjpeg keeps Huffman tables from image to image; streams that leave out the standard tables
    // used to be decoded with whatever tables an earlier frame had defined.
    void earlierFrameTablesAreNotUsed()
    {
        QFETCH(int, announcedWidth);
        const QByteArray standard = photo(32, 16, 3, 11);
        const QByteArray bare = withoutHuffmanTables(standard);
        QVERIFY(bare.size() < standard.size());
        const Words expected = referenceDecode(standard);

        JpegDecoder decoder;
        decoder.init();
        Words picture;
        QCOMPARE(decodeFrame(decoder, withOddHuffmanTable(photo(32, 16, 3, 3)), announcedWidth, 16, picture), -1);
        for (int repeat = 0; repeat < 2; ++repeat) {
            QCOMPARE(decodeFrame(decoder, bare, 32, 16, picture), 0);
            QCOMPARE(picture, expected);
        }
    }

    // One byte short, or rows longer than the stride: refused untouched; the next frame decodes.
    void refusesBufferTooSmall()
    {
        const QByteArray jpeg = photo(16, 8);
        JpegDecoder decoder;
        decoder.init();
        // Out of order: no header to check before a source, no data to verify before its header.
        QCOMPARE(QList<int>({ decoder.jpeg_check_header(16, 8), decoder.verifyData() }), QList<int>({ -1, -1 }));
        for (const auto &[length, stride] : {std::pair{16 * 8 * 4 - 1, 64}, {16 * 8 * 4, 63}}) {
            std::vector<uchar> words(size_t(length), 0);
            decoder.setSource(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()));
            QCOMPARE(decoder.jpeg_check_header(16, 8), 0);
            QCOMPARE(decoder.decodeInto(words.data(), words.size(), size_t(stride)), -1);
            QCOMPARE(decoder.failure(), QStringLiteral("JPEG error: the picture does not fit its buffer"));
            QVERIFY(std::all_of(words.begin(), words.end(), [](uchar b) { return b == 0; }));
            Words picture;
            QCOMPARE(decodeFrame(decoder, jpeg, 16, 8, picture), 0);
            QCOMPARE(picture, referenceDecode(jpeg));
        }
    }

    void warningsJudgedByThePicture_data()
    {
        QTest::addColumn<QByteArray>("original");
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("logged"); // the one line, a pattern
        // Short runs are swallowed by the bit reader without a word, so the runs here are long
        // enough to be warned of; 0xff bytes are fill that libjpeg skips silently.
        const QString leftover = QStringLiteral("^JPEG warning: Corrupt JPEG data: \\d+ extraneous bytes before marker 0xd9$");
        const QByteArray colour = photo(Width, Height, 3, 7), grey = photo(Width, Height, 1, 8);
        QFile file(QFINDTESTDATA("data/restart-interval-32x32.jpg"));
        QVERIFY(file.open(QIODevice::ReadOnly));
        // Another encoder's frame in two restart intervals.
        const QByteArray intervals = file.readAll();
        const auto end = [](const QByteArray &jpeg) { return int(jpeg.size()) - 2; };
        for (const auto &[name, jpeg] : {std::pair{"colour", colour}, {"grey", grey}, {"other encoder's", intervals}})
            for (const auto &[count, byte] : {std::pair{8, '\0'}, {64, '\0'}, {8, 'Z'}, {64, 'Z'}})
                QTest::addRow("%s, %d bytes 0x%02x before the end", name, count, byte)
                    << jpeg << withBytesBefore(jpeg, end(jpeg), count, byte) << 0 << leftover;
        QTest::newRow("colour, 64 bytes 0x5a and fill before the end")
            << colour << withBytesBefore(withBytesBefore(colour, end(colour), 2, '\xff'), end(colour), 64, 'Z') << 0 << leftover;
        QTest::newRow("colour, 64 bytes 0x5a before the end, bytes after it")
            << colour << withBytesBefore(colour, end(colour), 64, 'Z') + "after" << 0 << leftover;
        QByteArray anySos = colour;
        const int sos = findSegment(colour, 0xda);
        anySos.replace(sos + 4 + 2 * 3 + 1, 3, QByteArray(3, '\0'));
        QTest::newRow("scan parameters a sequential image ignores")
            << colour << anySos << 0 << "^JPEG warning: Invalid SOS parameters for sequential JPEG$";

        // Before a restart marker, leftover bytes mostly mean the interval's data was damaged.
        const int restart = int(intervals.indexOf("\xFF\xD0"));
        QTest::newRow("bytes before a restart marker") << intervals << withBytesBefore(intervals, restart, 8, '\0') << -1
            << "^JPEG error: Corrupt JPEG data: 8 extraneous bytes before marker 0xd0$";
        QByteArray damaged = intervals;
        damaged[findSegment(intervals, 0xda) + segmentLength(intervals, findSegment(intervals, 0xda)) + 203] = 0;
        QTest::newRow("one byte damaged in an interval") << intervals << damaged << -1
            << "^JPEG error: Corrupt JPEG data: 161 extraneous bytes before marker 0xd0$";
    }

    // A frame is shown exactly as djpeg shows the data it was made from, or refused; judging without
    // a picture agrees.
    void warningsJudgedByThePicture()
    {
        QFETCH(QByteArray, original);
        QFETCH(QByteArray, frame);
        QFETCH(int, result);
        QFETCH(QString, logged);
        if (QStandardPaths::findExecutable(QStringLiteral("djpeg")).isEmpty())
            QSKIP("djpeg is not installed");
        const QImage expected = djpegDecode(original);
        QVERIFY(!expected.isNull());

        JpegDecoder decoder;
        Words picture;
        QCOMPARE(decodeFrame(decoder, frame, expected.width(), expected.height(), picture), result);
        const QStringList lines = findings(decoder);
        QVERIFY2(lines.size() == 1 && QRegularExpression(logged).match(lines[0]).hasMatch(), qPrintable(lines.join('|')));
        if (result == 0)
            QCOMPARE(picture, wordsOf(expected));
        decoder.setSource(reinterpret_cast<const unsigned char *>(frame.constData()), int(frame.size()));
        QCOMPARE(decoder.jpeg_check_header(expected.width(), expected.height()), 0);
        QCOMPARE(decoder.verifyData(), result);
    }

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

    void levels_data()
    {
        QTest::addColumn<int>("format"); // -1: the picture, -2: the picture with an alpha channel
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QRect>("region");
        QTest::addColumn<QList<double>>("means"); // known beforehand; empty: the frame has no samples
        using M = QList<double>;
        const QByteArray gray("\x00\x07\x40\xff\x10\x20\x30\x80", 8);
        const QByteArray uyvy("\x5a\x51\xf0\x52\x10\x60\x20\x61" "\x80\x10\x80\xeb\x80\x70\x80\x71", 16);
        QTest::newRow("gray clipped both ways") << 1 << QSize(4, 2) << gray << QRect() << M{68.75};
        QTest::newRow("gray region") << 1 << QSize(4, 2) << gray << QRect(1, 0, 2, 2) << M{37.75};
        QTest::newRow("gray region past the edge") << 1 << QSize(4, 2) << gray << QRect(3, 1, 5, 5) << M{128};
        QTest::newRow("gray region off the frame") << 1 << QSize(4, 2) << gray << QRect(4, 0, 2, 2) << M{};
        QTest::newRow("picture region off it") << -1 << QSize(2, 1) << QByteArray(6, '\x10') << QRect(-3, -3, 2, 2) << M{};
        QTest::newRow("uyvy") << 2 << QSize(4, 2) << uyvy << QRect() << M{104, 90.5, 132};
        // Pixels 1 and 2 of the first row: two pairs, so two chroma samples each.
        QTest::newRow("uyvy region across pairs") << 2 << QSize(4, 2) << uyvy << QRect(1, 0, 2, 1) << M{89, 53, 136};
        QTest::newRow("uyvy flat white") << 2 << QSize(2, 1) << QByteArray("\x80\xff\x80\xff", 4) << QRect() << M{255, 128, 128};
        QTest::newRow("uyvy odd width") << 2 << QSize(3, 3) << ramp(24, 1) << QRect() << M{};
        QTest::newRow("yuv420 odd size") << 3 << QSize(5, 3) << ramp(15 + 2 * 6, 2) << QRect() << M{};
        QTest::newRow("yuv420 odd region") << 3 << QSize(6, 4) << ramp(24 + 2 * 6, 3) << QRect(1, 1, 3, 2) << M{};
        QTest::newRow("nv12 region") << 4 << QSize(6, 4) << ramp(24 + 12, 4) << QRect(3, 0, 3, 3) << M{};
        QTest::newRow("nv12 odd size") << 4 << QSize(7, 5) << ramp(35 + 2 * 12, 5) << QRect() << M{};
        QTest::newRow("gray big") << 1 << QSize(333, 97) << ramp(333 * 97, 6) << QRect(5, 7, 300, 80) << M{};
        QTest::newRow("picture big, in two bands") << -1 << QSize(300, 240) << ramp(300 * 240 * 3, 8) << QRect(1, 3, 297, 230) << M{};
        QTest::newRow("gray without a width") << 1 << QSize(0, 2) << gray << QRect() << M();
        QTest::newRow("gray without a height") << 1 << QSize(4, 0) << gray << QRect() << M();
        QTest::newRow("gray payload short") << 1 << QSize(4, 2) << gray.left(7) << QRect() << M();
        QTest::newRow("uyvy payload short") << 2 << QSize(4, 2) << uyvy.left(15) << QRect() << M();
        QTest::newRow("nv12 payload short") << 4 << QSize(6, 4) << ramp(35, 4) << QRect() << M();
        QTest::newRow("jpeg carries no samples") << 0 << QSize(6, 4) << ramp(100, 4) << QRect() << M();
        QTest::newRow("picture") << -1 << QSize(3, 2) << QByteArray("\xff\x00\x0a" "\x00\xff\x0a" "\x14\x1e\xff" "\x01\x02\x03" "\x04\x05\x06" "\x07\x08\x09", 18)
                                 << QRect() << M{287.0 / 6, 50, 293.0 / 6};
        QTest::newRow("picture with alpha") << -2 << QSize(2, 1) << QByteArray("\x10\x20\x30\x40\x50\x60", 6) << QRect() << M{40, 56, 72};
    }

    void levels()
    {
        QFETCH(int, format);
        QFETCH(QSize, size);
        QFETCH(QByteArray, payload);
        QFETCH(QRect, region);
        QFETCH(QList<double>, means);
        const Payload frame{format, size.width(), size.height(), payload};
        const QImage picture = format < 0 ? QImage(reinterpret_cast<const uchar *>(payload.constData()), size.width(),
                                                   size.height(), 3 * size.width(), QImage::Format_RGB888)
                                                .convertToFormat(format == -2 ? QImage::Format_ARGB32 : QImage::Format_RGB888)
                                          : QImage();
        PlaneLevels levels;
        levels.measure(QImage(3, 1, QImage::Format_RGB32)); // replaced by what follows
        const bool measured = format < 0 ? levels.measure(picture, region)
                                         : levels.measure(frame.data(), payload.size(), format, size.width(), size.height(), region);
        const qint64 needed = format == BoardProtocol::FormatGray ? qint64(size.width()) * size.height()
                                                                  : rawPayloadSize(format, size.width(), size.height());
        const bool hasSamples = format < 0
            || (format >= BoardProtocol::FormatGray && !size.isEmpty() && needed >= 0 && payload.size() >= needed);
        QCOMPARE(measured, hasSamples);
        if (!hasSamples) {
            // A short raw payload still gives the pixels it holds, and not the last, whose samples it lacks.
            if (format > BoardProtocol::FormatGray)
                QCOMPARE(QList<int>({ frame.at(0, 0).kind, frame.at(size.width() - 1, size.height() - 1).kind,
                                      frame.at(size.width(), 0).kind }),
                         QList<int>({ PixelSamples::Yuv, PixelSamples::None, PixelSamples::None }));
            return;
        }
        const QRect area = region.isNull() ? QRect(QPoint(0, 0), size) : region.intersected(QRect(QPoint(0, 0), size));
        QCOMPARE(levels.region(), area);
        const std::vector<std::vector<int>> samples = area.isEmpty() ? std::vector<std::vector<int>>()
                                                      : format < 0   ? samplesOf(picture, area)
                                                                     : samplesOf(frame, area);
        QCOMPARE(levels.channels().size(), samples.size());
        for (size_t c = 0; c < samples.size(); ++c) {
            const ChannelLevels &channel = levels.channels()[c];
            const std::vector<int> &values = samples[c];
            std::array<quint64, 256> bins{};
            double sum = 0;
            for (int value : values) {
                ++bins[value];
                sum += value;
            }
            const double mean = sum / double(values.size());
            double squares = 0;
            for (int value : values)
                squares += (value - mean) * (value - mean);
            const double sigma = std::sqrt(squares / double(values.size()));
            QVERIFY(channel.bins == bins);
            QCOMPARE(channel.count, quint64(values.size()));
            QCOMPARE(channel.min, *std::min_element(values.begin(), values.end()));
            QCOMPARE(channel.max, *std::max_element(values.begin(), values.end()));
            QVERIFY2(std::abs(channel.mean - mean) < 1e-9, qPrintable(QString::number(channel.mean)));
            QVERIFY2(std::abs(channel.sigma - sigma) < 1e-9, qPrintable(QString::number(channel.sigma)));
            if (sigma > 0)
                QVERIFY(std::abs(channel.snrDb() - 20 * std::log10(mean / sigma)) < 1e-9);
            else
                QVERIFY(std::isinf(channel.snr()));
            if (!means.isEmpty())
                QCOMPARE(channel.mean, means[qsizetype(c)]);
        }
    }

    void profile_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QList<QList<int>>>("channels"); // each channel's samples along the line
        QTest::newRow("gray diagonal") << 1 << QPoint(0, 0) << QPoint(3, 1) << QList<QList<int>>{{0, 7, 48, 128}};
        QTest::newRow("gray backwards") << 1 << QPoint(3, 0) << QPoint(0, 0) << QList<QList<int>>{{255, 64, 7, 0}};
        QTest::newRow("gray one pixel") << 1 << QPoint(2, 1) << QPoint(2, 1) << QList<QList<int>>{{48}};
        QTest::newRow("uyvy down") << 2 << QPoint(3, 0) << QPoint(3, 1) << QList<QList<int>>{{97, 113}, {16, 128}, {32, 128}};
        QTest::newRow("off the frame") << 1 << QPoint(0, 0) << QPoint(4, 1) << QList<QList<int>>{};
        QTest::newRow("no picture") << -2 << QPoint(0, 0) << QPoint(0, 0) << QList<QList<int>>{};
        QTest::newRow("picture across") << -1 << QPoint(0, 1) << QPoint(3, 1)
                                        << QList<QList<int>>{{16, 32, 48, 128}, {4, 5, 6, 7}, {239, 223, 207, 127}};
    }

    void profile()
    {
        QFETCH(int, format);
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        const QByteArray payload = format <= 1 ? QByteArray("\x00\x07\x40\xff\x10\x20\x30\x80", 8)
                                               : QByteArray("\x5a\x51\xf0\x52\x10\x60\x20\x61" "\x80\x10\x80\xeb\x80\x70\x80\x71", 16);
        // A picture: the Gray frame's levels in red, the pixel's number in green, red's complement in blue.
        QImage picture(4, 2, QImage::Format_RGB32);
        for (int i = 0; i < 8; ++i)
            picture.setPixel(i % 4, i / 4, qRgb(quint8(payload[i]), i, 255 - quint8(payload[i])));
        const Payload frame{format, 4, 2, payload};
        const std::vector<std::vector<int>> samples = format < 0 ? PlaneLevels::profile(format == -1 ? picture : QImage(), from, to)
                                                                 : PlaneLevels::profile(frame.planes(), frame.size(), from, to);
        QList<QList<int>> got;
        for (const std::vector<int> &channel : samples)
            got << QList<int>(channel.begin(), channel.end());
        QTEST(got, "channels");
    }

    void clipMask_data()
    {
        QTest::addColumn<int>("format"); // -1: a picture, clipped where any of R, G, B is
        QTest::addColumn<int>("channel");
        QTest::newRow("gray") << 1 << 0; QTest::newRow("uyvy Y") << 2 << 0;
        QTest::newRow("uyvy V") << 2 << 2; QTest::newRow("yuv420 U") << 3 << 1;
        QTest::newRow("nv12 V") << 4 << 2; QTest::newRow("picture") << -1 << 0;
    }

    // Every pixel whose sample is 0 painted low, 255 high, the rest left clear.
    void clipMask()
    {
        QFETCH(int, format);
        QFETCH(int, channel);
        constexpr int W = 6, H = 4;
        QByteArray payload = ramp(3 * W * H, 9);
        for (int i = 0; i < payload.size(); i += 5)
            payload[i] = char(i % 2 ? 0 : 255);
        const Payload frame{format, W, H, payload};
        const QImage picture = QImage(reinterpret_cast<const uchar *>(payload.constData()), W, H, 3 * W,
                                      QImage::Format_RGB888).copy();
        const QRgb low = qRgb(0, 0, 255), high = qRgb(255, 0, 0);
        const QImage mask = format < 0 ? PlaneLevels::clipMask(picture, low, high)
                                       : PlaneLevels::clipMask(frame.planes()[size_t(channel)], frame.size(), low, high);
        QCOMPARE(mask.size(), QSize(W, H));
        QVERIFY(PlaneLevels::clipMask(QImage(), low, high).isNull());
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x) {
                const PixelSamples p = frame.at(x, y);
                const QRgb rgb = picture.pixel(x, y);
                const QList<int> samples = format < 0 ? QList<int>{qRed(rgb), qGreen(rgb), qBlue(rgb)}
                                         : QList<int>{format == 1 ? p.level : QList<int>{p.y, p.u, p.v}[channel]};
                const QRgb want = samples.contains(255) ? high : samples.contains(0) ? low : qRgba(0, 0, 0, 0);
                QVERIFY2(mask.pixel(x, y) == want, qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
            }
        }
    }

    void pickSamePixelsAsQt_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("target");
        QTest::newRow("VGA into a 500 square view") << QSize(640, 480) << QSize(500, 375);
        QTest::newRow("view then only lower") << QSize(640, 480) << QSize(500, 300);
        QTest::newRow("then only narrower") << QSize(640, 480) << QSize(400, 300);
        QTest::newRow("1080p into a 500 square view") << QSize(1920, 1080) << QSize(500, 281);
        QTest::newRow("one pixel enlarged") << QSize(1, 1) << QSize(37, 41);
        QTest::newRow("odd sizes") << QSize(1281, 719) << QSize(97, 54);
        QTest::newRow("one row kept") << QSize(4095, 7) << QSize(502, 1);
        QTest::newRow("largest JPEG side") << QSize(4096, 4096) << QSize(1000, 1000);
        QTest::newRow("same size") << QSize(333, 17) << QSize(333, 17);
        QTest::newRow("short row shrunk") << QSize(47, 1) << QSize(13, 1);
        QTest::newRow("short column stretched") << QSize(1, 13) << QSize(1, 47);
    }

    void pickSamePixelsAsQt()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, target);
        const QImage image = noise(source.width(), source.height(), 7);
        const QImage ours = scaledHere(image, target.width(), target.height());
        const QImage qt = image.scaled(target, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        QCOMPARE(ours.size(), target);
        QVERIFY(ours == qt);
    }

    void refusesWithoutWriting()
    {
        std::vector<uint32_t> src(64, 1), dst(64, 0xabcdef);
        NearestScaler scaler;
        QVERIFY(!scaler.scale(src.data(), 16, dst.data(), 16)); // no sizes yet
        const int tooLong = NearestScaler::MaxSide + 1;
        const int sizes[][4] = {{0, 0, 0, 0}, {0, 4, 4, 4}, {4, -1, 4, 4}, {4, 4, 0, 4}, {4, 4, 4, tooLong}, {tooLong, 1, 4, 4}};
        for (const auto &s : sizes) {
            QVERIFY(!scaler.setSizes(s[0], s[1], s[2], s[3]));
            QVERIFY(!scaler.scale(src.data(), 4 * size_t(tooLong), dst.data(), 4 * size_t(tooLong)));
        }
        // Nor is a source pixel named along a side it refuses.
        QCOMPARE(QList<int>({NearestScaler::sourceIndex(0, 4, tooLong), NearestScaler::sourceIndex(0, tooLong, 4),
                             NearestScaler::sourceIndex(1, 0, 4), NearestScaler::sourceIndex(0, 4, 4)}),
                 QList<int>({-1, -1, -1, 0}));
        QVERIFY(scaler.setSizes(4, 4, 4, 4));
        QVERIFY(!scaler.scale(nullptr, 16, dst.data(), 16));
        QVERIFY(!scaler.scale(src.data(), 16, nullptr, 16));
        QVERIFY(!scaler.scale(src.data(), 15, dst.data(), 16));
        QVERIFY(!scaler.scale(src.data(), 16, dst.data(), 12));
        QVERIFY(std::all_of(dst.begin(), dst.end(), [](uint32_t v) { return v == 0xabcdef; }));
        QVERIFY(scaler.scale(src.data(), 16, dst.data(), 16));
        QCOMPARE(dst[15], 1u);
    }
};

QTEST_MAIN(tst_Imaging)
#include "tst_imaging.moc"
