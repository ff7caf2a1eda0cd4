#include "JpegDecoder.h"
#include "JpegEncoder.h"
#include "MessageLog.h"

#include <QImage>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <vector>

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
    if (jpeg.isEmpty())
        qFatal("test picture could not be encoded");
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

} // namespace

class TestJpegDecoder : public QObject
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
        QTest::newRow("unknown JFIF revision")
            << newerJfif << vga << 0 << "JPEG warning: Warning: unknown JFIF revision number 2\\.01";
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
        QTest::newRow("bytes before a restart marker")
            << intervals << withBytesBefore(intervals, restart, 8, '\0') << -1
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
};

QTEST_GUILESS_MAIN(TestJpegDecoder)
#include "tst_jpegdecoder.moc"
