#include "FeedDevice.h"
#include "FrameParser.h"
#include "Records.h"

#include <QtTest>

// The parser's reports as texts, so that whole runs can be compared.
struct ParserProbe
{
    ParserProbe()
    {
        parser.setDevice(&device);
        parser.onStatistics = [this](const FrameStatistics &s) { fps << s.fps; sizes << s.size; formats << s.format; };
        parser.onFrameReady = [this] {
            const FrameSlot &f = parser.completedSlot();
            ready << QStringLiteral("%1:%2x%3:%4:%5").arg(f.format).arg(f.width).arg(f.height).arg(f.payload.size())
                         .arg(QCryptographicHash::hash(f.payload, QCryptographicHash::Md5).toHex());
        };
    }
    void feed(const QByteArray &bytes)
    {
        device.feed(bytes);
        parser.process();
    }
    QStringList all() const { return fps + sizes + formats + ready; }

    FeedDevice device;
    FrameParser parser;
    QStringList fps, sizes, formats, ready;
};

class tst_FrameParser : public QObject
{
    Q_OBJECT

private slots:
    void exampleGrayRecord()
    {
        // 4 x 2 Gray at 5 s 250000 us, as a board sends it.
        const QByteArray record = QByteArray::fromHex("AD1A15EE 00000001 00000000 00000004 00000002"
                                                      "00000008 00000005 0003D090")
            + QByteArray(32, '\x01') + QByteArray::fromHex("0055AAFF0055AAFF");
        QCOMPARE(record.size(), 72);

        ParserProbe probe;
        probe.feed(record);
        QCOMPARE(probe.all().mid(0, 3), (QStringList { "1.905", "4x2", "Gray" }));
        QCOMPARE(probe.ready.size(), 1);
        const FrameSlot &frame = probe.parser.completedSlot();
        QCOMPARE(frame.payload, QByteArray::fromHex("0055AAFF0055AAFF"));
        QCOMPARE(QByteArray(frame.CLum, 16), QByteArray(16, '\x01'));
        // The frame handed out stays whole while the next record's header and payload arrive.
        probe.feed(grayRecord(2, 2, 6).toBytes().chopped(1));
        QCOMPARE(frame.width, 4);
        QCOMPARE(frame.payload, QByteArray::fromHex("0055AAFF0055AAFF"));
    }

    void anySplitGivesSameEvents_data()
    {
        QTest::addColumn<QByteArray>("stream");
        QTest::addColumn<int>("frames");
        FrameRecord headerOnly = makeRecord(12, 4, 2);
        headerOnly.size = 1000;
        QByteArray mixed;
        for (int i = 0; i < 12; ++i)
            mixed += grayRecord(4 + i % 3, 2, 10 + i).toBytes();
        QTest::newRow("twelve gray frames") << mixed << 12;
        QTest::newRow("header-only between frames")
            << grayRecord(4, 2, 1).toBytes() + headerOnly.toBytes() + grayRecord(2, 2, 2).toBytes() << 2;
        QTest::newRow("code 7 and garbage") << QByteArray(8, '\x55')
                + makeRecord(7, 4, 2, QByteArray(100, 'x')).toBytes() + grayRecord(3, 3, 4).toBytes() << 2;
        // Garbage is passed over a word at a time: after 6 bytes the first magic is missed, and a
        // 2-byte pad puts the second record's magic back on a word boundary.
        const QByteArray second = QByteArray(2, '\0') + grayRecord(2, 2, 2).toBytes();
        QTest::newRow("6 bytes of garbage") << QByteArray(6, '\x33') + grayRecord(4, 2, 1).toBytes() + second << 1;
    }

    // The same stream cut anywhere, or fed byte by byte, gives the same frames and signals.
    void anySplitGivesSameEvents()
    {
        QFETCH(QByteArray, stream);
        QFETCH(int, frames);
        ParserProbe whole;
        whole.feed(stream);
        QCOMPARE(whole.parser.framesCompleted(), frames);
        for (int cut = 1; cut < stream.size(); ++cut) {
            ParserProbe split;
            split.feed(stream.left(cut));
            split.feed(stream.mid(cut));
            QVERIFY2(split.all() == whole.all(), qPrintable(QString("cut at %1").arg(cut)));
        }
        ParserProbe bytewise;
        for (char c : stream)
            bytewise.feed(QByteArray(1, c));
        QCOMPARE(bytewise.all(), whole.all());
    }

    void payloadByFormatCode_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QString>("ready"); // empty: header only
        for (int code : { 5, 7, 9 })
            QTest::addRow("code %d reads its payload, no name", code) << code << QString("%1:4x2:100").arg(code);
        QTest::newRow("code 10 has no payload") << 10 << QString();
        QTest::newRow("code -1 has no payload") << -1 << QString();
    }

    void payloadByFormatCode()
    {
        QFETCH(int, format);
        QFETCH(QString, ready);
        FrameRecord r = makeRecord(format, 4, 2, QByteArray(100, 'p'), 100);
        if (ready.isEmpty())
            r.size = 5000; // ignored: nothing follows the sensor blocks
        ParserProbe probe;
        probe.feed(r.toBytes());
        QCOMPARE(probe.formats.join(QString()), QString());
        QCOMPARE(probe.ready.join(',').section(':', 0, 2), ready);

        probe.feed(grayRecord(2, 2, 200).toBytes());
        QCOMPARE(probe.parser.framesCompleted(), ready.isEmpty() ? 1 : 2);
    }

    void statisticsTexts_data()
    {
        QTest::addColumn<QList<qint64>>("timestamps"); // microseconds, one per report
        QTest::addColumn<int>("width");
        QTest::addColumn<QStringList>("fps");
        QTest::addColumn<QString>("size");
        using T = QList<qint64>;
        using S = QStringList;
        QTest::newRow("from zero, then 0.4 s") << T { 100400000, 100800000 } << 640 << S { "0.0996", "25" } << "640x2";
        QTest::newRow("same time gives inf") << T { 3000000, 3000000 } << 1920 << S { "3.333", "inf" } << "1920x2";
        QTest::newRow("exponent form") << T { 1000000 } << 10000 << S { "10" } << "1e+04x2";
        QTest::newRow("seconds wrap in 32 bits") << T { 4294968LL * 1000000 } << 4 << S { "14.2" } << "4x2";
        QTest::newRow("time going backwards") << T { 2000000, 1000000 } << 4 << S { "5", "-10" } << "4x2";
    }

    // Reports come with the first frame and every tenth; zero-size frames complete on the next byte.
    void statisticsTexts()
    {
        QFETCH(QList<qint64>, timestamps);
        QFETCH(int, width);
        QFETCH(QStringList, fps);
        QFETCH(QString, size);
        ParserProbe probe;
        for (qint64 t : timestamps) {
            for (int i = 0; i < 10; ++i) {
                FrameRecord r = makeRecord(1, width, 2, {}, qint32(t / 1000000));
                r.timestamp_us = qint32(t % 1000000);
                probe.feed(r.toBytes());
            }
        }
        QCOMPARE(probe.parser.framesCompleted(), 10 * int(timestamps.size()) - 1);
        probe.feed(QByteArray(1, '\0'));
        QCOMPARE(probe.parser.framesCompleted(), 10 * int(timestamps.size()));
        QCOMPARE(probe.fps, fps);
        QCOMPARE(probe.sizes.value(0), size);
    }

    void oversizedRecordIsDropped_data()
    {
        QTest::addColumn<qint32>("size");
        QTest::newRow("just over 64 MiB") << qint32(64 * 1024 * 1024 + 1);
        QTest::newRow("negative") << qint32(-5);
    }

    // Nothing is held back waiting for the announced length, and the stream goes on.
    void oversizedRecordIsDropped()
    {
        QFETCH(qint32, size);
        FrameRecord bad = grayRecord(640, 480, 1);
        bad.size = size;
        ParserProbe probe;
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("out of bounds"));
        probe.feed(bad.toBytes());
        probe.feed(QByteArray(1 << 20, '\x5a'));
        QVERIFY(probe.device.bytesAvailable() < 4);
        probe.feed(grayRecord(4, 2, 2).toBytes());
        QCOMPARE(probe.parser.framesCompleted(), 1);
        QCOMPARE(probe.parser.completedSlot().width, 4);
    }
};

QTEST_GUILESS_MAIN(tst_FrameParser)
#include "tst_frameparser.moc"
