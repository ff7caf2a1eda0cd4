#include "FrameConverter.h"
#include "JpegEncoder.h"

#include <QtTest>

static FrameSlot rawFrame(int format, int width, int height, quint8 y = 235, quint8 u = 128,
                          quint8 v = 128)
{
    FrameSlot f;
    f.format = format;
    f.width = width;
    f.height = height;
    const int pixels = width * height;
    if (format == 2) {
        f.payload.resize(2 * pixels);
        for (int i = 0; i + 3 < f.payload.size(); i += 4) {
            f.payload[i] = char(u);
            f.payload[i + 1] = char(y);
            f.payload[i + 2] = char(v);
            f.payload[i + 3] = char(y);
        }
    } else {
        f.payload = QByteArray(pixels, char(y));
        const QByteArray chroma = format == 3
            ? QByteArray(pixels / 4, char(u)) + QByteArray(pixels / 4, char(v))
            : QByteArray(pixels / 2, char(u));
        if (format == 4)
            for (int i = 1; i < pixels / 2; i += 2)
                const_cast<char *>(chroma.constData())[i] = char(v);
        f.payload += chroma;
    }
    f.size = int(f.payload.size());
    return f;
}

class tst_FrameConverter : public QObject
{
    Q_OBJECT

private slots:
    void colourFramesConvert_data();
    void colourFramesConvert();
    void buffersAreAllocatedOnSizeChangeOnly();
    void buffersAlternate();
    void refusedFramesLeavePreviousPicture_data();
    void refusedFramesLeavePreviousPicture();
    void directCallsRefuseBadArguments();
    void grayIsWrappedWithoutCopy();
    void grayJpegShownAsGrey();
};

void tst_FrameConverter::colourFramesConvert_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    QTest::addColumn<QColor>("colour");
    for (int format : { 2, 3, 4 }) {
        const QByteArray name = QByteArray::number(format);
        QTest::newRow(name + " white") << format << 235 << 128 << 128 << QColor(255, 255, 255);
        QTest::newRow(name + " black") << format << 16 << 128 << 128 << QColor(0, 0, 0);
        // 298*(81-16) = 19370; R: +409*112 → (19370+45808+128)>>8 = 255; G: -100*(-38)-208*112
        QTest::newRow(name + " red") << format << 81 << 90 << 240 << QColor(255, 0, 0);
    }
}

void tst_FrameConverter::colourFramesConvert()
{
    QFETCH(int, format);
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    QFETCH(QColor, colour);
    FrameConverter converter;
    FrameSlot frame = rawFrame(format, 4, 2, quint8(y), quint8(u), quint8(v));
    QVERIFY(converter.convert(frame));
    const QImage &image = converter.image();
    QCOMPARE(image.size(), QSize(4, 2));
    QCOMPARE(image.format(), QImage::Format_RGB888);
    QCOMPARE(image.bytesPerLine(), 12);
    QCOMPARE(image.pixelColor(3, 1), colour);
}

void tst_FrameConverter::buffersAreAllocatedOnSizeChangeOnly()
{
    FrameConverter converter;
    FrameSlot vga = rawFrame(2, 640, 480);
    FrameSlot qvga = rawFrame(3, 320, 240);
    QTest::ignoreMessage(QtDebugMsg, "Allocating space for color image: 921600");
    QVERIFY(converter.convert(vga));
    QTest::ignoreMessage(QtDebugMsg, "Re-Allocating space for color image: 230400");
    QVERIFY(converter.convert(qvga));
    const uchar *before = converter.image().constBits();
    static QStringList logged;
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    const bool converted = converter.convert(qvga) && converter.convert(qvga);
    qInstallMessageHandler(previous);
    QVERIFY(converted);
    QCOMPARE(logged, QStringList()); // same size: nothing logged, nothing allocated
    QCOMPARE(converter.image().constBits(), before);
}

void tst_FrameConverter::buffersAlternate()
{
    FrameConverter converter;
    FrameSlot frame = rawFrame(4, 8, 8);
    FrameSlot shortFrame = frame;
    shortFrame.payload.chop(1);

    QVERIFY(converter.convert(frame));
    const uchar *first = converter.image().constBits();
    QVERIFY(converter.convert(frame));
    const uchar *second = converter.image().constBits();
    QVERIFY(first != second);

    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("refused"));
    QTest::ignoreMessage(QtDebugMsg, "Problem in image conversion");
    QVERIFY(!converter.convert(shortFrame));
    QCOMPARE(converter.image().constBits(), second); // the last good picture stays

    QVERIFY(converter.convert(frame));
    QCOMPARE(converter.image().constBits(), first);
}

void tst_FrameConverter::refusedFramesLeavePreviousPicture_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("payloadBytes");
    QTest::newRow("UYVY one byte short") << 2 << 16 << 16 << 511;
    QTest::newRow("YUV420 without chroma") << 3 << 16 << 16 << 256;
    QTest::newRow("NV12 empty") << 4 << 16 << 16 << 0;
    QTest::newRow("zero width") << 2 << 0 << 16 << 64;
    QTest::newRow("negative height") << 3 << 16 << -16 << 64;
    QTest::newRow("3 x w x h overflows") << 4 << 40000 << 40000 << 64;
    QTest::newRow("gray too short") << 1 << 16 << 16 << 255;
    QTest::newRow("code 7") << 7 << 4 << 4 << 16;
}

void tst_FrameConverter::refusedFramesLeavePreviousPicture()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, payloadBytes);
    FrameConverter converter;
    FrameSlot good = rawFrame(2, 4, 2);
    QVERIFY(converter.convert(good));
    const QImage before = converter.image().copy();

    FrameSlot bad;
    bad.format = format;
    bad.width = width;
    bad.height = height;
    bad.payload = QByteArray(payloadBytes, '\x7f');
    if (format != 7)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("refused|not shown"));
    QVERIFY(!converter.convert(bad));
    QCOMPARE(converter.image(), before);
}

void tst_FrameConverter::directCallsRefuseBadArguments()
{
    FrameConverter converter;
    const unsigned char payload[8] = {};
    QCOMPARE(converter.bvtCvtRawImage(nullptr, 8, 2, 2, 2), -1);
    QCOMPARE(converter.bvtCvtRawImage(payload, 8, 2, 2, 2), -1); // no buffer yet
    converter.allocColorImage(2, 2);
    QCOMPARE(converter.bvtCvtRawImage(payload, 8, 7, 2, 2), -1);
    QCOMPARE(converter.bvtCvtRawImage(payload, 8, 2, 2, 2), 0);
}

void tst_FrameConverter::grayIsWrappedWithoutCopy()
{
    FrameConverter converter;
    FrameSlot frame;
    frame.format = 1;
    frame.width = 4;
    frame.height = 2;
    frame.payload = QByteArray::fromHex("0055AAFF0055AAFF");
    QVERIFY(converter.convert(frame));
    QCOMPARE(converter.image().constBits(), reinterpret_cast<const uchar *>(frame.payload.constData()));
    QCOMPARE(converter.image().pixelColor(2, 1), QColor(170, 170, 170));
}

void tst_FrameConverter::grayJpegShownAsGrey()
{
    QByteArray gray(16 * 8, char(200));
    FrameSlot frame;
    frame.format = 0;
    frame.width = 16;
    frame.height = 8;
    frame.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(gray.constData()), 16, 8, 1, 100);
    FrameConverter converter;
    QVERIFY(converter.convert(frame));
    const QColor c = converter.image().pixelColor(15, 7);
    QVERIFY(qAbs(c.red() - 200) <= 2);
    QCOMPARE(c.red(), c.green());
    QCOMPARE(c.green(), c.blue());
}

QTEST_GUILESS_MAIN(tst_FrameConverter)
#include "tst_frameconverter.moc"
