#include "FrameConverter.h"
#include "JpegEncoder.h"

#include <QtTest>

static FrameSlot frame(int format, int width, int height, int payloadBytes = -1)
{
    FrameSlot f;
    f.format = format;
    f.width = width;
    f.height = height;
    if (payloadBytes < 0)
        payloadBytes = format == 1 ? width * height : format == 2 ? 2 * width * height : width * height * 3 / 2;
    f.payload = QByteArray(payloadBytes, char(128));
    return f;
}

static QStringList logged;

class tst_FrameConverter : public QObject
{
    Q_OBJECT

private slots:
    void buffersAlternateAndFollowSize();
    void refusedFramesLeavePreviousPicture_data();
    void refusedFramesLeavePreviousPicture();
    void directCallsRefuseBadArguments();
    void grayIsWrappedWithoutCopy();
    void heldPicturesAreNeverOverwritten_data();
    void heldPicturesAreNeverOverwritten();
};

void tst_FrameConverter::buffersAlternateAndFollowSize()
{
    FrameConverter converter;
    FrameSlot vga = frame(2, 640, 480), small = frame(4, 8, 8), shortSmall = small;
    shortSmall.payload.chop(1);
    QTest::ignoreMessage(QtDebugMsg, "Allocating space for color image: 921600");
    QVERIFY(converter.convert(vga));
    QTest::ignoreMessage(QtDebugMsg, "Re-Allocating space for color image: 192");
    QVERIFY(converter.convert(small));
    const uchar *first = converter.image().constBits();

    // Same size: nothing more allocated or logged but the refusal, which keeps the last picture.
    logged.clear();
    const QtMessageHandler previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext &, const QString &text) { logged << text; });
    QList<bool> converted;
    QList<const uchar *> bits;
    for (FrameSlot *f : { &small, &shortSmall, &small }) {
        converted << converter.convert(*f);
        bits << converter.image().constBits();
    }
    qInstallMessageHandler(previous);
    QCOMPARE(converted, (QList<bool> { true, false, true }));
    QCOMPARE(logged.size(), 2);
    QCOMPARE(logged.at(1), QStringLiteral("Problem in image conversion"));
    QVERIFY(bits.at(0) != first && bits.at(1) == bits.at(0) && bits.at(2) == first);
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
    QTest::newRow("code 7") << 7 << 4 << 4 << 16;
}

void tst_FrameConverter::refusedFramesLeavePreviousPicture()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, payloadBytes);
    FrameConverter converter;
    FrameSlot good = frame(2, 4, 2);
    QVERIFY(converter.convert(good));
    const QImage before = converter.image().copy();
    FrameSlot bad = frame(format, width, height, payloadBytes);
    if (format != 7)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("refused"));
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
    FrameSlot gray = frame(1, 4, 2);
    QVERIFY(converter.convert(gray));
    QCOMPARE(converter.image().constBits(), reinterpret_cast<const uchar *>(gray.payload.constData()));
}

void tst_FrameConverter::heldPicturesAreNeverOverwritten_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("JPEG") << 0;
    QTest::newRow("UYVY") << 2;
    QTest::newRow("YUV420") << 3;
    QTest::newRow("NV12") << 4;
}

// A picture still referred to (as the pixmap on screen does) keeps its pixels while later frames
// are converted; the buffers nobody holds take turns.
void tst_FrameConverter::heldPicturesAreNeverOverwritten()
{
    QFETCH(int, format);
    auto frameOf = [format](char level) {
        FrameSlot f = frame(format == 0 ? 2 : format, 32, 16);
        f.payload.fill(level);
        if (format == 0) {
            const QByteArray grey(32 * 16, level);
            f.format = 0;
            f.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(grey.constData()), 32, 16, 1, 100);
        }
        return f;
    };
    FrameConverter converter;
    FrameSlot dark = frameOf(40), light = frameOf(char(200));
    QVERIFY(converter.convert(dark));
    const QImage held = converter.image();
    const QImage expected = held.copy();
    QSet<const uchar *> buffers;
    for (int i = 0; i < 6; ++i) {
        QVERIFY(converter.convert(i % 2 ? dark : light));
        buffers << converter.image().constBits();
    }
    QCOMPARE(held, expected);
    QVERIFY(!buffers.contains(held.constBits()));
    QCOMPARE(buffers.size(), 2);
}

QTEST_GUILESS_MAIN(tst_FrameConverter)
#include "tst_frameconverter.moc"
