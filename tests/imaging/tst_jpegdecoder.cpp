#include "JpegDecoder.h"
#include "JpegEncoder.h"

#include <QtTest>

#include <algorithm>
#include <cstdlib>
#include <jpeglib.h>
#include <vector>

namespace {

// Collects debug output while alive, so a test can check exactly what was logged.
class MessageLog
{
public:
    MessageLog()
    {
        messages().clear();
        previous = qInstallMessageHandler(handler);
    }
    ~MessageLog() { qInstallMessageHandler(previous); }
    QStringList take()
    {
        QStringList lines = messages();
        messages().clear();
        return lines;
    }

private:
    static QStringList &messages()
    {
        static QStringList lines;
        return lines;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &text)
    {
        messages().append(text);
    }
    QtMessageHandler previous;
};

// Smooth shading with some fine detail, different for every seed.
QByteArray makePicture(int width, int height, int components, int seed)
{
    QByteArray pixels(width * height * components, Qt::Uninitialized);
    auto *p = reinterpret_cast<uchar *>(pixels.data());
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < components; ++c)
                *p++ = uchar((x * (c + 1) * 255 / width + y * 255 / height + seed * 37 + ((x ^ y) & 7)) & 0xff);
    return pixels;
}

QByteArray encode(const QByteArray &pixels, int width, int height, int components, int quality = 90)
{
    const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), width,
                                       height, components, quality);
    if (jpeg.isEmpty())
        qFatal("test picture could not be encoded");
    return jpeg;
}

QByteArray photo(int width, int height, int components = 3, int seed = 0)
{
    return encode(makePicture(width, height, components, seed), width, height, components);
}

// Independent decode, one row at a time, grey expanded to R = G = B; only for valid data.
QByteArray referenceDecode(const QByteArray &jpeg)
{
    jpeg_decompress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    jpeg_start_decompress(&cinfo);
    const int width = int(cinfo.output_width);
    const int components = cinfo.output_components;
    QByteArray rgb(3 * width * int(cinfo.output_height), Qt::Uninitialized);
    QByteArray row(width * components, Qt::Uninitialized);
    while (cinfo.output_scanline < cinfo.output_height) {
        auto *dst = reinterpret_cast<uchar *>(rgb.data()) + 3 * width * int(cinfo.output_scanline);
        JSAMPROW rowPointer = reinterpret_cast<JSAMPROW>(row.data());
        jpeg_read_scanlines(&cinfo, &rowPointer, 1);
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                dst[3 * x + c] = uchar(row[components == 3 ? 3 * x + c : x]);
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

// Offset of the first marker segment with this code, or -1.
int findSegment(const QByteArray &jpeg, uchar marker)
{
    int pos = 2;
    while (pos + 4 <= jpeg.size() && uchar(jpeg[pos]) == 0xff) {
        if (uchar(jpeg[pos + 1]) == marker)
            return pos;
        if (uchar(jpeg[pos + 1]) == 0xda)
            return -1;
        pos += 2 + (uchar(jpeg[pos + 2]) << 8 | uchar(jpeg[pos + 3]));
    }
    return -1;
}

int segmentLength(const QByteArray &jpeg, int pos)
{
    return 2 + (uchar(jpeg[pos + 2]) << 8 | uchar(jpeg[pos + 3]));
}

int scanDataStart(const QByteArray &jpeg)
{
    const int sos = findSegment(jpeg, 0xda);
    return sos + segmentLength(jpeg, sos);
}

QByteArray withSofSize(QByteArray jpeg, int width, int height)
{
    const int sof = findSegment(jpeg, 0xc0);
    jpeg[sof + 5] = char(height >> 8);
    jpeg[sof + 6] = char(height);
    jpeg[sof + 7] = char(width >> 8);
    jpeg[sof + 8] = char(width);
    return jpeg;
}

bool allNear(const QByteArray &bytes, int from, int count, int value, int tolerance)
{
    for (int i = from; i < from + count; ++i)
        if (std::abs(int(uchar(bytes[i])) - value) > tolerance)
            return false;
    return true;
}

constexpr int Width = 640;
constexpr int Height = 480;

} // namespace

class TestJpegDecoder : public QObject
{
    Q_OBJECT

private slots:
    void logsResizeOnlyWhenSizeChanges();
    void refusesMismatchedSize_data();
    void refusesMismatchedSize();
    void refusesSizeBeyondInt();
    void placesFirstAndLastRows_data();
    void placesFirstAndLastRows();
    void followsRowLengthChanges();
    void survivesBadFrame_data();
    void survivesBadFrame();
    void toleratesCallsOutOfOrder();
    void encoderWritesBaseline420_data();
    void encoderWritesBaseline420();
};

void TestJpegDecoder::logsResizeOnlyWhenSizeChanges()
{
    JpegDecoder decoder;
    decoder.init();
    MessageLog log;
    const QByteArray large = photo(640, 480);
    const QByteArray small = photo(320, 240);

    QCOMPARE(decodeFrame(decoder, large, 640, 480), 0);
    QCOMPARE(log.take(), QStringList{"Resizing  JPEG buffer to 921600"});
    QCOMPARE(decoder.outputSize(), 921600);
    const unsigned char *buffer = decoder.outputData();

    QCOMPARE(decodeFrame(decoder, photo(640, 480, 3, 1), 640, 480), 0);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(decoder.outputData(), buffer);

    QCOMPARE(decodeFrame(decoder, small, 320, 240), 0);
    QCOMPARE(log.take(), QStringList{"Resizing  JPEG buffer to 230400"});
    QCOMPARE(decoder.outputSize(), 230400);
    QCOMPARE(decodeFrame(decoder, small, 320, 240), 0);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(outputOf(decoder), referenceDecode(small));

    QCOMPARE(decodeFrame(decoder, large, 640, 480), 0);
    QCOMPARE(log.take(), QStringList{"Resizing  JPEG buffer to 921600"});
    QCOMPARE(outputOf(decoder), referenceDecode(large));
}

void TestJpegDecoder::refusesMismatchedSize_data()
{
    QTest::addColumn<int>("jpegWidth");
    QTest::addColumn<int>("jpegHeight");
    QTest::addColumn<int>("announcedWidth");
    QTest::addColumn<int>("announcedHeight");

    QTest::newRow("smaller JPEG") << 320 << 240 << 640 << 480;
    QTest::newRow("larger JPEG") << 640 << 480 << 320 << 240;
    QTest::newRow("one column more") << 641 << 480 << 640 << 480;
    QTest::newRow("one row less") << 640 << 479 << 640 << 480;
    QTest::newRow("width and height swapped") << 480 << 640 << 640 << 480;
    QTest::newRow("zero announced") << 16 << 16 << 0 << 0;
    QTest::newRow("negative announced") << 16 << 16 << -16 << 16;
}

void TestJpegDecoder::refusesMismatchedSize()
{
    QFETCH(int, jpegWidth);
    QFETCH(int, jpegHeight);
    QFETCH(int, announcedWidth);
    QFETCH(int, announcedHeight);

    JpegDecoder decoder;
    decoder.init();
    const QByteArray good = photo(Width, Height);
    QCOMPARE(decodeFrame(decoder, good, Width, Height), 0);
    const QByteArray before = outputOf(decoder);

    MessageLog log;
    const QByteArray other = photo(jpegWidth, jpegHeight, 3, 2);
    decoder.setSource(reinterpret_cast<const unsigned char *>(other.constData()), int(other.size()));
    QCOMPARE(decoder.jpeg_check_header(announcedWidth, announcedHeight), -1);
    QCOMPARE(log.take(), QStringList{"Error: incompatible jpeg sizes"});
    QCOMPARE(decoder.decode(), -1);
    QCOMPARE(outputOf(decoder), before);

    // The refused header must not stay in the libjpeg object.
    const QByteArray next = photo(Width, Height, 3, 3);
    QCOMPARE(decodeFrame(decoder, next, Width, Height), 0);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(outputOf(decoder), referenceDecode(next));
}

void TestJpegDecoder::refusesSizeBeyondInt()
{
    JpegDecoder decoder;
    decoder.init();
    QCOMPARE(decodeFrame(decoder, photo(64, 48), 64, 48), 0);

    MessageLog log;
    const QByteArray huge = withSofSize(photo(16, 16), 60000, 60000);
    QCOMPARE(decodeFrame(decoder, huge, 60000, 60000), -1);
    QCOMPARE(log.take(), QStringList{"Error: jpeg size too large: 60000 x 60000"});
    QCOMPARE(decoder.outputSize(), 64 * 48 * 3);

    const QByteArray next = photo(64, 48, 3, 1);
    QCOMPARE(decodeFrame(decoder, next, 64, 48), 0);
    QCOMPARE(outputOf(decoder), referenceDecode(next));
}

void TestJpegDecoder::placesFirstAndLastRows_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    QTest::newRow("640x480") << 640 << 480;
    QTest::newRow("320x240") << 320 << 240;
    QTest::newRow("odd 33x17") << 33 << 17;
    QTest::newRow("one row") << 48 << 1;
}

void TestJpegDecoder::placesFirstAndLastRows()
{
    QFETCH(int, width);
    QFETCH(int, height);

    // Grey rows in a colour JPEG: light first row, dark last row, mid grey between.
    auto stripes = [&](int first, int middle, int last) {
        QByteArray pixels(3 * width * height, char(middle));
        pixels.replace(0, 3 * width, QByteArray(3 * width, char(first)));
        pixels.replace(3 * width * (height - 1), 3 * width, QByteArray(3 * width, char(last)));
        return encode(pixels, width, height, 3, 100);
    };
    JpegDecoder decoder;
    decoder.init();
    // Leave the opposite picture behind, so a misplaced row shows.
    QCOMPARE(decodeFrame(decoder, stripes(16, 200, 240), width, height), 0);

    const QByteArray jpeg = stripes(240, 128, 16);
    QCOMPARE(decodeFrame(decoder, jpeg, width, height), 0);
    const QByteArray rgb = outputOf(decoder);
    QCOMPARE(rgb.size(), 3 * width * height);
    if (height > 1) {
        QVERIFY(allNear(rgb, 0, 3 * width, 240, 24));
        QVERIFY(allNear(rgb, rgb.size() - 3 * width, 3 * width, 16, 24));
    }
    if (height > 2)
        QVERIFY(allNear(rgb, 3 * width, 3 * width, 128, 24));
    QCOMPARE(rgb, referenceDecode(jpeg));
}

void TestJpegDecoder::followsRowLengthChanges()
{
    struct Frame
    {
        int width;
        int height;
        int components;
    };
    // Grey frames have a third of the row length of colour frames of the same size.
    const Frame frames[] = {{640, 480, 3}, {640, 480, 1}, {320, 240, 3}, {320, 240, 1}, {33, 17, 1},
                            {33, 17, 3},   {640, 480, 1}, {640, 480, 3}, {1, 1, 1},     {2, 3, 3}};
    JpegDecoder decoder;
    decoder.init();
    int seed = 0;
    for (const Frame &frame : frames) {
        const QByteArray jpeg = photo(frame.width, frame.height, frame.components, ++seed);
        QCOMPARE(decodeFrame(decoder, jpeg, frame.width, frame.height), 0);
        QCOMPARE(decoder.outputSize(), 3 * frame.width * frame.height);
        const QByteArray rgb = outputOf(decoder);
        QCOMPARE(rgb, referenceDecode(jpeg));
        if (frame.components == 1)
            for (int i = 0; i < rgb.size(); i += 3)
                QVERIFY(rgb[i] == rgb[i + 1] && rgb[i] == rgb[i + 2]);
    }
}

void TestJpegDecoder::survivesBadFrame_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("logged");

    const QByteArray jpeg = photo(Width, Height, 3, 4);
    const int scan = scanDataStart(jpeg);
    const int scanLength = int(jpeg.size()) - 2 - scan;

    QTest::newRow("empty payload") << QByteArray() << -1 << "JPEG error: Empty input file";
    QTest::newRow("text") << QByteArray("this is no picture at all, only words") << -1
                          << "JPEG error: Not a JPEG file: starts with 0x74 0x68";
    QByteArray noise(4096, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 24);
    QTest::newRow("noise") << noise << -1 << "JPEG error: Not a JPEG file: starts with 0x00 0x9e";
    QTest::newRow("only SOI") << jpeg.left(2) << -1 << "JPEG error:";
    QTest::newRow("cut in tables") << jpeg.left(findSegment(jpeg, 0xc4) + 10) << -1 << "JPEG error:";
    QTest::newRow("cut before scan data") << jpeg.left(scan) << 0 << "JPEG warning: Premature end of JPEG file";
    QTest::newRow("cut early in scan") << jpeg.left(scan + 100) << 0 << "JPEG warning: Premature end of JPEG file";
    QTest::newRow("cut mid scan") << jpeg.left(scan + scanLength / 2) << 0
                                  << "JPEG warning: Premature end of JPEG file";
    QTest::newRow("cut in end marker") << jpeg.left(jpeg.size() - 1) << 0
                                       << "JPEG warning: Premature end of JPEG file";
    // Tables persist in libjpeg between images, so point at one that no frame defines.
    QByteArray undefinedTable = jpeg;
    undefinedTable[findSegment(jpeg, 0xc0) + 12] = 3;
    QTest::newRow("undefined quantisation table") << undefinedTable << -1
                                                  << "JPEG error: Quantization table 0x03 was not defined";
    QByteArray garbled = jpeg;
    for (int i = scan + scanLength / 3; i < scan + scanLength / 3 + 2000; ++i)
        garbled[i] = char(((i * 131) & 0xff) == 0xff ? 0 : (i * 131) & 0xff);
    QTest::newRow("garbled scan data") << garbled << 0 << "JPEG warning: Corrupt JPEG data:";
    QByteArray everywhere = jpeg;
    for (int i = scan; i < scan + scanLength; i += 97)
        everywhere[i] = char(0xff);
    everywhere[scan + 1] = char(0x88);
    QTest::newRow("markers all over the scan") << everywhere << -1 << "JPEG error: Unsupported marker type";
    QByteArray secondFrame = jpeg;
    const int sof = findSegment(jpeg, 0xc0);
    secondFrame.insert(scan + scanLength / 2, jpeg.mid(sof, segmentLength(jpeg, sof)));
    QTest::newRow("second frame header in scan") << secondFrame << -1
                                                 << "JPEG error: Invalid JPEG file structure: two SOF markers";
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
    QVERIFY2(startingWith(logged) == 1, qPrintable(lines.join('|')));
    // However much is damaged: one warning line and one error line at most.
    QVERIFY2(startingWith("JPEG warning:") <= 1 && startingWith("JPEG error:") == (result < 0 ? 1 : 0),
             qPrintable(lines.join('|')));
    QCOMPARE(startingWith("JPEG "), int(lines.size()));
    QCOMPARE(decoder.outputSize(), 3 * Width * Height);

    const QByteArray good = photo(Width, Height, 3, 6);
    QCOMPARE(decodeFrame(decoder, good, Width, Height), 0);
    QCOMPARE(log.take(), QStringList());
    QCOMPARE(outputOf(decoder), referenceDecode(good));
}

void TestJpegDecoder::toleratesCallsOutOfOrder()
{
    const QByteArray first = photo(64, 48, 3, 7);
    const QByteArray second = photo(64, 48, 1, 8);
    const auto *firstBytes = reinterpret_cast<const unsigned char *>(first.constData());
    const auto *secondBytes = reinterpret_cast<const unsigned char *>(second.constData());

    JpegDecoder uninitialised;
    uninitialised.setSource(firstBytes, int(first.size()));
    QCOMPARE(uninitialised.jpeg_check_header(64, 48), -1);
    QCOMPARE(uninitialised.decode(), -1);

    JpegDecoder decoder;
    decoder.init();
    QCOMPARE(decoder.jpeg_check_header(64, 48), -1);
    QCOMPARE(decoder.decode(), -1);

    // A header checked twice, then decoded.
    decoder.setSource(firstBytes, int(first.size()));
    QCOMPARE(decoder.jpeg_check_header(64, 48), 0);
    QCOMPARE(decoder.jpeg_check_header(64, 48), 0);
    QCOMPARE(decoder.decode(), 0);
    QCOMPARE(outputOf(decoder), referenceDecode(first));
    QCOMPARE(decoder.decode(), -1);

    // A checked frame abandoned for the next one.
    decoder.setSource(firstBytes, int(first.size()));
    QCOMPARE(decoder.jpeg_check_header(64, 48), 0);
    decoder.setSource(secondBytes, int(second.size()));
    QCOMPARE(decoder.jpeg_check_header(64, 48), 0);
    QCOMPARE(decoder.decode(), 0);
    QCOMPARE(outputOf(decoder), referenceDecode(second));

    MessageLog log;
    decoder.setSource(firstBytes, -5);
    QCOMPARE(decoder.jpeg_check_header(64, 48), -1);
    QCOMPARE(log.take(), QStringList{"JPEG error: Empty input file"});
    decoder.setSource(nullptr, 100);
    QCOMPARE(decoder.jpeg_check_header(64, 48), -1);
    QCOMPARE(log.take(), QStringList{"JPEG error: Empty input file"});
}

void TestJpegDecoder::encoderWritesBaseline420_data()
{
    QTest::addColumn<int>("components");
    QTest::addColumn<int>("quality");

    QTest::newRow("colour q85") << 3 << 85;
    QTest::newRow("grey q85") << 1 << 85;
    QTest::newRow("colour, quality below range") << 3 << 0;
    QTest::newRow("colour, quality above range") << 3 << 150;
}

void TestJpegDecoder::encoderWritesBaseline420()
{
    QFETCH(int, components);
    QFETCH(int, quality);

    const QByteArray jpeg = encode(makePicture(50, 30, components, 9), 50, 30, components, quality);
    const int sof = findSegment(jpeg, 0xc0);
    QVERIFY(sof > 0);
    QCOMPARE(int(uchar(jpeg[sof + 9])), components);
    if (components == 3) {
        QCOMPARE(int(uchar(jpeg[sof + 11])), 0x22);
        QCOMPARE(int(uchar(jpeg[sof + 14])), 0x11);
        QCOMPARE(int(uchar(jpeg[sof + 17])), 0x11);
    }
    QVERIFY(jpeg.endsWith("\xff\xd9"));
    QCOMPARE(referenceDecode(jpeg).size(), 50 * 30 * 3);
}

QTEST_APPLESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
