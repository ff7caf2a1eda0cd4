#include "FeedDevice.h"
#include "FrameParser.h"
#include "RecordBuilder.h"

#include <QCryptographicHash>
#include <QtTest>

// Records every event of the parser as text, so whole runs can be compared.
class ParserProbe
{
public:
    ParserProbe()
    {
        parser.setDevice(&device);
        parser.onStatistics = [this](const FrameStatistics &s) {
            events << "fps:" + s.fps << "size:" + s.size;
            if (!s.format.isEmpty())
                events << "format:" + s.format;
        };
        parser.onFrameReady = [this] {
            const FrameSlot &f = parser.completedSlot();
            events << QStringLiteral("ready:%1:%2x%3:%4:%5")
                          .arg(f.format)
                          .arg(f.width)
                          .arg(f.height)
                          .arg(f.payload.size())
                          .arg(QString::fromLatin1(
                              QCryptographicHash::hash(f.payload, QCryptographicHash::Md5).toHex()));
        };
    }

    void feed(const QByteArray &bytes)
    {
        device.feed(bytes);
        parser.process();
    }

    FeedDevice device;
    FrameParser parser;
    QStringList events;
};

class tst_FrameParser : public QObject
{
    Q_OBJECT

private slots:
    void exampleGrayRecord();
    void anySplitGivesSameEvents_data();
    void anySplitGivesSameEvents();
    void zeroSizeNeedsOneMoreByte();
    void resynchronisesWordWise_data();
    void resynchronisesWordWise();
    void headerOnlyAndUnshownCodes_data();
    void headerOnlyAndUnshownCodes();
    void statisticsTexts_data();
    void statisticsTexts();
    void oversizedRecordIsDroppedAndStreamGoesOn_data();
    void oversizedRecordIsDroppedAndStreamGoesOn();
};

static QByteArray hexBytes(const char *hex)
{
    return QByteArray::fromHex(hex);
}

void tst_FrameParser::exampleGrayRecord()
{
    // 4 x 2 Gray at 5 s 250000 us: the 72-byte record a board sends.
    QByteArray record = hexBytes("AD1A15EE 00000001 00000000 00000004 00000002 00000008 00000005 0003D090");
    record += QByteArray(32, '\x01');
    record += hexBytes("00 55 AA FF 00 55 AA FF");
    QCOMPARE(record.size(), 72);

    ParserProbe probe;
    probe.feed(record);
    QCOMPARE(probe.events.size(), 4);
    QCOMPARE(probe.events.at(0), QStringLiteral("fps:1.905"));
    QCOMPARE(probe.events.at(1), QStringLiteral("size:4x2"));
    QCOMPARE(probe.events.at(2), QStringLiteral("format:Gray"));
    QVERIFY(probe.events.at(3).startsWith("ready:1:4x2:8:"));
    QCOMPARE(probe.parser.completedSlot().payload, hexBytes("00 55 AA FF 00 55 AA FF"));
    QCOMPARE(QByteArray(probe.parser.completedSlot().CLum, 16), QByteArray(16, '\x01'));
    QCOMPARE(probe.parser.fillSlotIndex(), 1);
    QCOMPARE(probe.parser.state(), FrameParser::WaitMagic);
}

void tst_FrameParser::anySplitGivesSameEvents_data()
{
    QTest::addColumn<QByteArray>("stream");

    RecordBuilder headerOnly;
    headerOnly.format = 12;
    headerOnly.withSize(1000);
    RecordBuilder unshown;
    unshown.format = 7;
    unshown.payload = QByteArray(100, 'x');

    QByteArray mixed;
    for (int i = 0; i < 12; ++i)
        mixed += grayRecord(4 + i % 3, 2, 10 + i, 1000 * i).bytes();
    QTest::newRow("twelve gray frames") << mixed;
    QTest::newRow("header-only between frames")
        << grayRecord(4, 2, 1).bytes() + headerOnly.bytes() + grayRecord(2, 2, 2).bytes();
    QTest::newRow("code 7 and garbage") << QByteArray(8, '\x55') + unshown.bytes()
            + grayRecord(3, 3, 4).bytes();
}

// The same byte stream cut anywhere (or fed byte by byte) yields the same frames and signals.
void tst_FrameParser::anySplitGivesSameEvents()
{
    QFETCH(QByteArray, stream);
    ParserProbe whole;
    whole.feed(stream);
    QVERIFY(!whole.events.isEmpty());

    for (int cut = 1; cut < stream.size(); ++cut) {
        ParserProbe split;
        split.feed(stream.left(cut));
        split.feed(stream.mid(cut));
        QVERIFY2(split.events == whole.events, qPrintable(QString("cut at %1").arg(cut)));
    }

    ParserProbe bytewise;
    for (char c : stream)
        bytewise.feed(QByteArray(1, c));
    QCOMPARE(bytewise.events, whole.events);
}

void tst_FrameParser::zeroSizeNeedsOneMoreByte()
{
    RecordBuilder empty;
    empty.format = 1;
    ParserProbe probe;
    probe.feed(empty.bytes());
    QCOMPARE(probe.events.size(), 0);
    QCOMPARE(probe.parser.state(), FrameParser::WaitPayload);
    probe.feed(QByteArray(1, '\0'));
    QCOMPARE(probe.parser.framesCompleted(), 1);
    QCOMPARE(probe.parser.completedSlot().payload.size(), 0);
}

void tst_FrameParser::resynchronisesWordWise_data()
{
    QTest::addColumn<int>("garbage");
    QTest::addColumn<int>("framesSeen");
    QTest::newRow("8 bytes: first magic on a word boundary") << 8 << 2;
    QTest::newRow("6 bytes: first magic passed over") << 6 << 1;
    QTest::newRow("no garbage") << 0 << 2;
}

void tst_FrameParser::resynchronisesWordWise()
{
    QFETCH(int, garbage);
    QFETCH(int, framesSeen);
    // The first record (size 8, 72 bytes) keeps the second one's magic 2 bytes off a word boundary
    // from the start of a 6-byte-garbage stream; a 2-byte pad realigns it.
    const QByteArray stream = QByteArray(garbage, '\x33') + grayRecord(4, 2, 1).bytes()
        + QByteArray(garbage % 4, '\0') + grayRecord(2, 2, 2).bytes();
    ParserProbe probe;
    probe.feed(stream);
    QCOMPARE(probe.parser.framesCompleted(), framesSeen);
}

void tst_FrameParser::headerOnlyAndUnshownCodes_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("payloadBytes");
    QTest::addColumn<QStringList>("events");
    QTest::newRow("code 7 reads its payload, no format name")
        << 7 << 100 << QStringList { "fps:0.1", "size:4x2", "ready:7:4x2:100" };
    QTest::newRow("code 12 has no payload") << 12 << 0 << QStringList {};
    QTest::newRow("code -1 has no payload") << -1 << 0 << QStringList {};
}

void tst_FrameParser::headerOnlyAndUnshownCodes()
{
    QFETCH(int, format);
    QFETCH(int, payloadBytes);
    QFETCH(QStringList, events);
    RecordBuilder r;
    r.format = format;
    r.width = 4;
    r.height = 2;
    r.timestampS = 100;
    r.payload = QByteArray(payloadBytes, 'p');
    if (payloadBytes == 0)
        r.withSize(5000); // ignored for header-only records
    ParserProbe probe;
    probe.feed(r.bytes());
    for (QString &e : probe.events) {
        if (e.startsWith("ready"))
            e = e.section(':', 0, 3);
    }
    QCOMPARE(probe.events, events);
    QCOMPARE(probe.parser.state(), FrameParser::WaitMagic);

    // The next record's magic is expected right after the sensor blocks (or payload).
    probe.events.clear();
    probe.feed(grayRecord(2, 2, 200).bytes());
    QCOMPARE(probe.parser.framesCompleted(), format == 7 ? 2 : 1);
}

void tst_FrameParser::statisticsTexts_data()
{
    QTest::addColumn<QList<qint64>>("timestamps"); // seconds * 1000000 + micros, one per report
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QStringList>("fps");
    QTest::addColumn<QString>("size");

    QTest::newRow("first report measures from zero, then 0.4 s")
        << QList<qint64> { 100000000, 100400000 } << 640 << 480 << QStringList { "0.1", "25" }
        << "640x480";
    QTest::newRow("identical timestamps give inf")
        << QList<qint64> { 3000000, 3000000 } << 1920 << 1080 << QStringList { "3.333", "inf" }
        << "1920x1080";
    QTest::newRow("wide frames in exponent form")
        << QList<qint64> { 1000000 } << 10000 << 480 << QStringList { "10" } << "1e+04x480";
    QTest::newRow("seconds wrap in 32 bits")
        << QList<qint64> { 4294968LL * 1000000 } << 4 << 2 << QStringList { "14.2" } << "4x2";
    QTest::newRow("time going backwards")
        << QList<qint64> { 2000000, 1000000 } << 4 << 2 << QStringList { "5", "-10" } << "4x2";
}

void tst_FrameParser::statisticsTexts()
{
    QFETCH(QList<qint64>, timestamps);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QStringList, fps);
    QFETCH(QString, size);

    ParserProbe probe;
    for (qint64 t : timestamps) {
        // One reporting frame, then nine that report nothing.
        for (int i = 0; i < 10; ++i) {
            RecordBuilder r;
            r.format = 1;
            r.width = width;
            r.height = height;
            r.timestampS = qint32(t / 1000000);
            r.timestampUs = qint32(t % 1000000);
            r.withSize(0);
            probe.feed(r.bytes());
        }
    }
    probe.feed(QByteArray(1, '\0'));
    QStringList seenFps, seenSizes;
    for (const QString &e : probe.events) {
        if (e.startsWith("fps:"))
            seenFps << e.mid(4);
        else if (e.startsWith("size:"))
            seenSizes << e.mid(5);
    }
    QCOMPARE(seenFps, fps);
    QCOMPARE(seenSizes.value(0), size);
    QCOMPARE(probe.parser.framesCompleted(), 10 * int(timestamps.size()));
}

void tst_FrameParser::oversizedRecordIsDroppedAndStreamGoesOn_data()
{
    QTest::addColumn<qint32>("size");
    QTest::newRow("just over the bound") << qint32(FrameParser::MaxPayloadBytes + 1);
    QTest::newRow("top bit set") << qint32(0x80000000);
    QTest::newRow("negative") << qint32(-5);
}

void tst_FrameParser::oversizedRecordIsDroppedAndStreamGoesOn()
{
    QFETCH(qint32, size);
    RecordBuilder bad = grayRecord(640, 480, 1);
    bad.withSize(size);

    ParserProbe probe;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("out of bounds"));
    probe.feed(bad.bytes());
    QCOMPARE(probe.parser.state(), FrameParser::WaitMagic);
    // Nothing is held back waiting for the announced length.
    QVERIFY(probe.device.bytesAvailable() < 4);

    probe.feed(QByteArray(1 << 20, '\x5a'));
    QVERIFY(probe.device.bytesAvailable() < 4);
    probe.feed(grayRecord(4, 2, 2).bytes());
    QCOMPARE(probe.parser.framesCompleted(), 1);
    QCOMPARE(probe.parser.completedSlot().width, 4);
}

QTEST_GUILESS_MAIN(tst_FrameParser)
#include "tst_frameparser.moc"
