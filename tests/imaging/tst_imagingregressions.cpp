#include "JpegDecoder.h"
#include "JpegEncoder.h"

#include <QtTest>

#include <algorithm>

namespace {

QByteArray testImage(int width, int height, int seed)
{
    QByteArray pixels(width * height * 3, Qt::Uninitialized);
    for (int i = 0; i < pixels.size(); ++i)
        pixels[i] = char((i * seed + i / 7) & 0xFF);
    return encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), width, height, 3, 80);
}

struct Segment
{
    int marker;
    int start;  // of the marker bytes
    int length; // marker bytes included
};

// The marker segments before the scan data.
QList<Segment> headerSegments(const QByteArray &jpeg)
{
    QList<Segment> segments;
    int at = 2; // after SOI
    while (at + 4 <= jpeg.size() && quint8(jpeg[at]) == 0xFF) {
        const int marker = quint8(jpeg[at + 1]);
        const int length = 2 + (quint8(jpeg[at + 2]) << 8 | quint8(jpeg[at + 3]));
        segments.append({marker, at, length});
        if (marker == 0xDA)
            break;
        at += length;
    }
    return segments;
}

constexpr int Dht = 0xC4;

QByteArray withoutHuffmanTables(const QByteArray &jpeg)
{
    QByteArray out = jpeg;
    const QList<Segment> segments = headerSegments(jpeg);
    for (auto it = segments.crbegin(); it != segments.crend(); ++it) {
        if (it->marker == Dht)
            out.remove(it->start, it->length);
    }
    return out;
}

// Reverses the symbols of the first Huffman table: still a valid table, but not the standard one.
QByteArray withOddHuffmanTable(const QByteArray &jpeg)
{
    QByteArray out = jpeg;
    for (const Segment &s : headerSegments(jpeg)) {
        if (s.marker != Dht)
            continue;
        const int counts = s.start + 5;
        int symbols = 0;
        for (int i = 0; i < 16; ++i)
            symbols += quint8(out[counts + i]);
        char *first = out.data() + counts + 16;
        std::reverse(first, first + symbols);
        return out;
    }
    return QByteArray();
}

QByteArray withFrameSize(const QByteArray &jpeg, int width, int height)
{
    QByteArray out = jpeg;
    for (const Segment &s : headerSegments(jpeg)) {
        if (s.marker != 0xC0)
            continue;
        out[s.start + 5] = char(height >> 8);
        out[s.start + 6] = char(height & 0xFF);
        out[s.start + 7] = char(width >> 8);
        out[s.start + 8] = char(width & 0xFF);
        return out;
    }
    return QByteArray();
}

QByteArray decodeFresh(const QByteArray &jpeg, int width, int height)
{
    JpegDecoder decoder;
    decoder.init();
    decoder.setSource(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()));
    if (decoder.jpeg_check_header(width, height) != 0 || decoder.decode() != 0)
        return QByteArray();
    return QByteArray(reinterpret_cast<const char *>(decoder.outputData()), decoder.outputSize());
}

} // namespace

// Faults found by the fuzzers, kept so they stay fixed.
class tst_ImagingRegressions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void earlierFrameTablesAreNotUsed_data();
    void earlierFrameTablesAreNotUsed();
    void announcedPictureSizeIsBounded_data();
    void announcedPictureSizeIsBounded();
};

void tst_ImagingRegressions::initTestCase()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

void tst_ImagingRegressions::earlierFrameTablesAreNotUsed_data()
{
    QTest::addColumn<int>("announcedWidth");
    QTest::addColumn<int>("expectedFirstResult");
    QTest::newRow("earlier frame decoded") << 32 << 0;
    QTest::newRow("earlier frame refused for its size") << 16 << -1;
}

// libjpeg keeps Huffman tables from image to image; streams that leave out the standard tables
// (as motion JPEG does) used to be decoded with whatever tables an earlier frame had defined.
void tst_ImagingRegressions::earlierFrameTablesAreNotUsed()
{
    QFETCH(int, announcedWidth);
    QFETCH(int, expectedFirstResult);
    const QByteArray odd = withOddHuffmanTable(testImage(32, 16, 3));
    const QByteArray standard = testImage(32, 16, 11);
    const QByteArray bare = withoutHuffmanTables(standard);
    QVERIFY(!odd.isEmpty());
    QVERIFY(bare.size() < standard.size());
    const QByteArray expected = decodeFresh(standard, 32, 16);
    QCOMPARE(expected.size(), 32 * 16 * 3);
    QCOMPARE(decodeFresh(bare, 32, 16), expected);

    JpegDecoder decoder;
    decoder.init();
    decoder.setSource(reinterpret_cast<const unsigned char *>(odd.constData()), int(odd.size()));
    int first = decoder.jpeg_check_header(announcedWidth, 16);
    if (first == 0)
        first = decoder.decode();
    QCOMPARE(first, expectedFirstResult);

    for (int repeat = 0; repeat < 2; ++repeat) {
        decoder.setSource(reinterpret_cast<const unsigned char *>(bare.constData()), int(bare.size()));
        QCOMPARE(decoder.jpeg_check_header(32, 16), 0);
        QCOMPARE(decoder.decode(), 0);
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(decoder.outputData()), decoder.outputSize()),
                 expected);
    }
}

void tst_ImagingRegressions::announcedPictureSizeIsBounded_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("expected");
    QTest::newRow("largest") << 4096 << 4096 << 0;
    QTest::newRow("wide and low") << 65500 << 256 << 0;
    QTest::newRow("one row too many") << 4096 << 4097 << -1;
    QTest::newRow("gigabyte picture") << 20000 << 20000 << -1;
    QTest::newRow("largest JPEG") << 65500 << 65500 << -1;
}

// An 800-byte frame announcing 20000 x 20000 pixels used to cost 1.2 GB and seconds of decoding.
void tst_ImagingRegressions::announcedPictureSizeIsBounded()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, expected);
    const QByteArray jpeg = withFrameSize(testImage(16, 16, 5), width, height);
    QVERIFY(!jpeg.isEmpty());

    JpegDecoder decoder;
    decoder.init();
    decoder.setSource(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()));
    QCOMPARE(decoder.jpeg_check_header(width, height), expected);
    QCOMPARE(decoder.outputSize(), expected == 0 ? 3 * width * height : 0);

    // The next frame that fits is decoded.
    const QByteArray next = testImage(32, 16, 7);
    decoder.setSource(reinterpret_cast<const unsigned char *>(next.constData()), int(next.size()));
    QCOMPARE(decoder.jpeg_check_header(32, 16), 0);
    QCOMPARE(decoder.decode(), 0);
    QCOMPARE(QByteArray(reinterpret_cast<const char *>(decoder.outputData()), decoder.outputSize()),
             decodeFresh(next, 32, 16));
}

QTEST_GUILESS_MAIN(tst_ImagingRegressions)
#include "tst_imagingregressions.moc"
