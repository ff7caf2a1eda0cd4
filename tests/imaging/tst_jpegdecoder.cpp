#include "JpegDecoder.h"
#include "JpegEncoder.h"

#include <QtTest>

#include <algorithm>
#include <utility>
#include <jpeglib.h>
#include <vector>

namespace {

// Collects debug output while alive, so a test can check exactly what was logged.
class MessageLog
{
public:
    MessageLog() : previous(qInstallMessageHandler(handler)) { lines().clear(); }
    ~MessageLog() { qInstallMessageHandler(previous); }
    QStringList take() { return std::exchange(lines(), {}); }

private:
    static QStringList &lines()
    {
        static QStringList collected;
        return collected;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &text)
    {
        lines() << text;
    }
    QtMessageHandler previous;
};

// Smooth shading with some fine detail, different for every seed.
QByteArray photo(int width, int height, int components = 3, int seed = 0)
{
    QByteArray pixels(width * height * components, Qt::Uninitialized);
    auto *p = reinterpret_cast<uchar *>(pixels.data());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                *p++ = uchar(x * (c + 1) * 255 / width + y * 255 / height + seed * 37
                             + ((x ^ y) & 7));
    const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), width,
                                       height, components, 90);
    if (jpeg.isEmpty())
        qFatal("test picture could not be encoded");
    return jpeg;
}

// Independent decode by libjpeg itself, grey expanded to R = G = B; only for valid data.
QByteArray referenceDecode(const QByteArray &jpeg)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    QByteArray rgb(3 * int(cinfo.output_width * cinfo.output_height), Qt::Uninitialized);
    const int stride = 3 * int(cinfo.output_width);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(rgb.data()) + stride * int(cinfo.output_scanline);
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

// The stream client's sequence for one frame.
int decodeFrame(JpegDecoder &decoder, const QByteArray &jpeg, int width, int height)
{
    decoder.setSource(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()));
    if (decoder.jpeg_check_header(width, height) < 0)
        return -1;
    return decoder.decode();
}

QByteArray outputOf(JpegDecoder &decoder)
{
    return QByteArray(reinterpret_cast<const char *>(decoder.outputData()), decoder.outputSize());
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

constexpr int Width = 640;
constexpr int Height = 480;

} // namespace

class TestJpegDecoder : public QObject
{
    Q_OBJECT

private slots:
    void followsSizeAndRowLengthChanges();
    void refusals_data();
    void refusals();
    void survivesBadFrame_data();
    void survivesBadFrame();
    void toleratesCallsOutOfOrder();
};

// Every row in its place, after pictures of other sizes and row lengths (grey rows are a third of
// colour ones); the buffer is resized, and that logged, only when the picture's size changes.
void TestJpegDecoder::followsSizeAndRowLengthChanges()
{
    const int frames[][3] = {{640, 480, 3}, {640, 480, 3}, {640, 480, 1}, {320, 240, 3},
                             {320, 240, 1}, {33, 17, 1},   {33, 17, 3},   {48, 1, 3},
                             {640, 480, 3}, {1, 1, 1}};
    JpegDecoder decoder;
    decoder.init();
    MessageLog log;
    int seed = 0, previousSize = 0;
    for (const auto &[width, height, components] : frames) {
        const QByteArray jpeg = photo(width, height, components, ++seed);
        QCOMPARE(decodeFrame(decoder, jpeg, width, height), 0);
        const int size = 3 * width * height;
        const QString resized = QStringLiteral("Resizing  JPEG buffer to %1").arg(size);
        QCOMPARE(log.take(), size == previousSize ? QStringList() : QStringList{resized});
        QCOMPARE(outputOf(decoder), referenceDecode(jpeg));
        previousSize = size;
    }
}

void TestJpegDecoder::refusals_data()
{
    QTest::addColumn<QByteArray>("jpeg");
    QTest::addColumn<int>("announcedWidth");
    QTest::addColumn<int>("announcedHeight");
    QTest::addColumn<QString>("logged");

    const QString mismatch = QStringLiteral("Error: incompatible jpeg sizes");
    QTest::newRow("one column more") << photo(65, 48, 3, 2) << 64 << 48 << mismatch;
    QTest::newRow("width and height swapped") << photo(48, 64, 3, 2) << 64 << 48 << mismatch;
    QTest::newRow("zero announced") << photo(16, 16) << 0 << 0 << mismatch;
    QTest::newRow("negative announced") << photo(16, 16) << -16 << 16 << mismatch;
    QByteArray huge = photo(16, 16);
    const int sof = findSegment(huge, 0xc0);
    huge.replace(sof + 5, 4, QByteArray::fromHex("ea60ea60"));
    QTest::newRow("3wh beyond int") << huge << 60000 << 60000
                                    << "Error: jpeg size too large: 60000 x 60000";
}

// A refusal leaves the picture alone and the libjpeg object ready for the next frame.
void TestJpegDecoder::refusals()
{
    QFETCH(QByteArray, jpeg);
    QFETCH(int, announcedWidth);
    QFETCH(int, announcedHeight);
    QFETCH(QString, logged);

    JpegDecoder decoder;
    decoder.init();
    QCOMPARE(decodeFrame(decoder, photo(64, 48), 64, 48), 0);
    const QByteArray before = outputOf(decoder);

    MessageLog log;
    decoder.setSource(reinterpret_cast<const unsigned char *>(jpeg.constData()), int(jpeg.size()));
    QCOMPARE(decoder.jpeg_check_header(announcedWidth, announcedHeight), -1);
    QCOMPARE(log.take(), QStringList{logged});
    QCOMPARE(decoder.decode(), -1);
    QCOMPARE(outputOf(decoder), before);

    const QByteArray next = photo(64, 48, 3, 3);
    QCOMPARE(decodeFrame(decoder, next, 64, 48), 0);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(outputOf(decoder), referenceDecode(next));
}

void TestJpegDecoder::survivesBadFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("logged");

    const QByteArray jpeg = photo(Width, Height, 3, 4);
    const int sos = findSegment(jpeg, 0xda), sof = findSegment(jpeg, 0xc0);
    const int scan = sos + segmentLength(jpeg, sos);
    const int scanLength = int(jpeg.size()) - 2 - scan;
    const QString premature = QStringLiteral("JPEG warning: Premature end of JPEG file");

    QTest::newRow("empty payload") << QByteArray() << -1 << "JPEG error: Empty input file";
    QTest::newRow("text") << QByteArray("this is no picture at all, only words") << -1
                          << "JPEG error: Not a JPEG file: starts with 0x74 0x68";
    const int dht = findSegment(jpeg, 0xc4);
    QTest::newRow("cut in tables") << jpeg.left(dht + 10) << -1 << "JPEG error:";
    QTest::newRow("cut before scan data") << jpeg.left(scan) << 0 << premature;
    QTest::newRow("cut mid scan") << jpeg.left(scan + scanLength / 2) << 0 << premature;
    // Tables persist in libjpeg between images, so point at one that no frame defines.
    QByteArray undefinedTable = jpeg;
    undefinedTable[sof + 12] = 3;
    QTest::newRow("undefined quantisation table")
        << undefinedTable << -1 << "JPEG error: Quantization table 0x03 was not defined";
    QByteArray garbled = jpeg;
    for (int i = scan + scanLength / 3; i < scan + scanLength / 3 + 2000; ++i)
        garbled[i] = char(((i * 131) & 0xff) == 0xff ? 0 : (i * 131) & 0xff);
    QTest::newRow("garbled scan data") << garbled << 0 << "JPEG warning: Corrupt JPEG data:";
    QByteArray everywhere = jpeg;
    for (int i = scan; i < scan + scanLength; i += 97)
        everywhere[i] = char(0xff);
    everywhere[scan + 1] = char(0x88);
    QTest::newRow("markers all over the scan")
        << everywhere << -1 << "JPEG error: Unsupported marker type";
    QByteArray secondFrame = jpeg;
    secondFrame.insert(scan + scanLength / 2, jpeg.mid(sof, segmentLength(jpeg, sof)));
    QTest::newRow("second frame header in scan")
        << secondFrame << -1 << "JPEG error: Invalid JPEG file structure: two SOF markers";
}

void TestJpegDecoder::survivesBadFrame()
{
    QFETCH(QByteArray, frame);
    QFETCH(int, result);
    QFETCH(QString, logged);

    JpegDecoder decoder;
    decoder.init();
    QCOMPARE(decodeFrame(decoder, photo(Width, Height, 3, 5), Width, Height), 0);

    MessageLog log;
    // Exactly the payload's bytes on the heap, so the sanitizers catch any read beyond them.
    const std::vector<unsigned char> payload(frame.begin(), frame.end());
    decoder.setSource(payload.data(), int(payload.size()));
    int decoded = decoder.jpeg_check_header(Width, Height);
    if (decoded == 0)
        decoded = decoder.decode();
    QCOMPARE(decoded, result);
    const QStringList lines = log.take();
    const auto startingWith = [&](const QString &prefix) {
        return int(std::count_if(lines.begin(), lines.end(),
                                 [&](const QString &line) { return line.startsWith(prefix); }));
    };
    // However much is damaged: one warning line and one error line at most.
    QVERIFY2(startingWith(logged) == 1 && startingWith("JPEG warning:") <= 1
                 && startingWith("JPEG error:") == (result < 0 ? 1 : 0)
                 && startingWith("JPEG ") == lines.size(),
             qPrintable(lines.join('|')));

    const QByteArray good = photo(Width, Height, 3, 6);
    QCOMPARE(decodeFrame(decoder, good, Width, Height), 0);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(outputOf(decoder), referenceDecode(good));
}

void TestJpegDecoder::toleratesCallsOutOfOrder()
{
    const QByteArray jpeg = photo(64, 48, 3, 7);
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    JpegDecoder decoder;
    decoder.init();
    QCOMPARE(decoder.jpeg_check_header(64, 48), -1);
    QCOMPARE(decoder.decode(), -1);

    QCOMPARE(decodeFrame(decoder, jpeg, 64, 48), 0);
    QCOMPARE(decoder.decode(), -1);

    MessageLog log;
    decoder.setSource(bytes, -5);
    QCOMPARE(decoder.jpeg_check_header(64, 48), -1);
    decoder.setSource(nullptr, 100);
    QCOMPARE(decoder.jpeg_check_header(64, 48), -1);
    QCOMPARE(log.take(), QStringList(2, QStringLiteral("JPEG error: Empty input file")));
}

QTEST_APPLESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
