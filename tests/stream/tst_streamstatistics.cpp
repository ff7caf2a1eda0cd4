#include "StreamStatistics.h"

#include <QtTest>

using Intervals = QList<qint64>; // microseconds between consecutive records

static Intervals steady(int count)
{
    return Intervals(count, 100000);
}

// Steady 100 ms intervals around one other.
static Intervals withGap(qint64 gapUs, int before = 4, int after = 2)
{
    return steady(before) + Intervals{gapUs} + steady(after);
}

class tst_StreamStatistics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLocale::setDefault(QLocale(QLocale::German)); }

    void lostAtBoard_data()
    {
        QTest::addColumn<qint64>("startUs");
        QTest::addColumn<Intervals>("intervalsUs");
        QTest::addColumn<QString>("event"); // "ms clock": the board counts milliseconds in 32 bits
        QTest::addColumn<int>("eventAt"); // the record the event comes before, or replaces
        QTest::addColumn<quint64>("lost");
        const qint64 t0 = 1000000000;
        // Eight steady intervals, then the gap across the wrap.
        const qint64 msWrap = (qint64(1000) << 32) - 850000;
        const qint64 secondsSign = (qint64(1000000) << 31) - 850000;
        QTest::newRow("gap 1.4") << t0 << withGap(140000) << "" << 0 << 0ull;
        QTest::newRow("gap 1.5") << t0 << withGap(150000) << "" << 0 << 1ull;
        QTest::newRow("gap 2.6") << t0 << withGap(260000) << "" << 0 << 2ull;
        QTest::newRow("median despite an outlier") << t0 << withGap(1000000, 3, 3) + Intervals{200000} << "" << 0 << 10ull;
        QTest::newRow("gap among the first intervals") << t0 << withGap(200000, 0) << "" << 0 << 1ull;
        // Of four intervals the nominal lies between the middle two: 120 ms, and 300 ms is 2.5 of them.
        QTest::newRow("median of an even count") << t0 << Intervals{100000, 100000, 140000, 300000} << "" << 0 << 2ull;
        QTest::newRow("too few to judge") << t0 << Intervals{100000, 400000} << "" << 0 << 0ull;
        QTest::newRow("stamps left at zero") << 0ll << Intervals(6, 0) << "" << 0 << 0ull;
        QTest::newRow("backwards") << t0 << withGap(-5000000) << "" << 0 << 0ull;
        QTest::newRow("gap after going backwards") << t0 << withGap(-5000000, 4, 3) + Intervals{200000} << "" << 0 << 1ull;
        QTest::newRow("across the 32-bit millisecond wrap") << msWrap << withGap(200000, 8, 0) << "ms clock" << -1 << 1ull;
        QTest::newRow("across the sign of the seconds") << secondsSign << withGap(200000, 8, 0) << "" << 0 << 1ull;
        QTest::newRow("clock set a day forward counts a minute") << t0 << withGap(86400000000) << "" << 0 << 599ull;
        const Intervals pause = withGap(1000000, 4, 3);
        QTest::newRow("pause, same stream") << t0 << pause << "" << 0 << 9ull;
        QTest::newRow("pause, new connection") << t0 << pause << "connection" << 5 << 0ull;
        QTest::newRow("pause, new format") << t0 << pause << "format" << 5 << 0ull;
        QTest::newRow("pause, new width") << t0 << pause << "width" << 5 << 0ull;
        QTest::newRow("pause, new height") << t0 << pause << "height" << 5 << 0ull;
        QTest::newRow("dropped record is not lost") << t0 << steady(8) << "dropped" << 4 << 0ull;
        QTest::newRow("JPEG records of no size, from the first") << t0 << steady(8) << "no size" << 0 << 0ull;
    }

    void lostAtBoard()
    {
        QFETCH(qint64, startUs);
        QFETCH(Intervals, intervalsUs);
        QFETCH(QString, event);
        QFETCH(int, eventAt);
        QFETCH(quint64, lost);
        StreamStatistics stats;
        const bool sized = event != "no size";
        FrameStamp stamp{0, sized ? 640 : 0, sized ? 480 : 0, 0, 0};
        qint64 timeUs = startUs;
        for (int i = 0; i <= intervalsUs.size(); ++i) {
            timeUs += i > 0 ? intervalsUs.at(i - 1) : 0;
            const qint64 boardUs = event == "ms clock" ? timeUs % (qint64(1000) << 32) : timeUs;
            stamp.timestamp_s = qint32(quint32(boardUs / 1000000));
            stamp.timestamp_us = qint32(boardUs % 1000000);
            const bool here = i == eventAt;
            if (here && event == "connection")
                stats.connectionStarted();
            stamp.format = here && event == "format" ? 1 : stamp.format;
            stamp.width = here && event == "width" ? 320 : stamp.width;
            stamp.height = here && event == "height" ? 240 : stamp.height;
            if (here && event == "dropped")
                stats.recordDropped(stamp, i * 1000);
            else
                stats.frameReceived(stamp, 1000, i * 1000);
        }
        QCOMPARE(stats.counters().framesLostAtBoard, lost);
    }

    void throughput_data()
    {
        QTest::addColumn<qint64>("paceMs"); // a record every paceMs from 0 until lastRecordMs
        QTest::addColumn<qint64>("recordBytes");
        QTest::addColumn<qint64>("lastRecordMs");
        QTest::addColumn<qint64>("lateRecordMs"); // 7 bytes after a pause, or none
        QTest::addColumn<qint64>("nowMs");
        QTest::addColumn<qint64>("bytesPerSecond");
        // 5 MB/s, then nothing after 1990 ms.
        QTest::newRow("the first second") << 10ll << 50000ll << 990ll << -1ll << 1000ll << 5000000ll;
        QTest::newRow("the last whole second") << 10ll << 50000ll << 1990ll << -1ll << 2000ll << 5000000ll;
        QTest::newRow("late in the same slot") << 10ll << 50000ll << 1990ll << -1ll << 2049ll << 5000000ll;
        QTest::newRow("half a second later") << 10ll << 50000ll << 1990ll << -1ll << 2500ll << 2500000ll;
        QTest::newRow("a second later") << 10ll << 50000ll << 1990ll << -1ll << 3000ll << 0ll;
        QTest::newRow("after a pause, old slots gone") << 10ll << 50000ll << 1990ll << 5010ll << 5050ll << 7ll;
        QTest::newRow("after a pause, read as it arrives") << 10ll << 50000ll << 1990ll << 5010ll << 5010ll << 0ll;
        // Read while records still arrive in the slot being filled: the paced rate, within 1 %.
        QTest::newRow("arriving, 5 MB/s") << 10ll << 50000ll << 2040ll << -1ll << 2040ll << 5000000ll;
        QTest::newRow("arriving, 1 MB/s at 7 ms") << 7ll << 7000ll << 2023ll << -1ll << 2023ll << 1001000ll;
        QTest::newRow("arriving, slot just opened") << 1ll << 1000ll << 3000ll << -1ll << 3000ll << 1000000ll;
    }

    void throughput()
    {
        QFETCH(qint64, paceMs);
        QFETCH(qint64, recordBytes);
        QFETCH(qint64, lastRecordMs);
        QFETCH(qint64, lateRecordMs);
        QFETCH(qint64, nowMs);
        QFETCH(qint64, bytesPerSecond);
        StreamStatistics stats;
        for (qint64 ms = 0; ms <= lastRecordMs; ms += paceMs)
            stats.recordBytesReceived(recordBytes, ms);
        if (lateRecordMs >= 0)
            stats.recordBytesReceived(7, lateRecordMs);
        QCOMPARE(stats.bytesPerSecond(nowMs), bytesPerSecond);
    }

    void textsAndReset()
    {
        StreamStatistics stats;
        const auto times = [](int n, auto count) { while (n-- > 0) count(); };
        times(4, [&] { stats.recordDropped({1, 320, 240, 5, 0}, 0); });
        stats.bytesSkipped(12345);
        times(7, [&] { stats.connectionLost(); });
        stats.connectionStarted();
        const qint32 timesUs[] = {0, 100000, 200000, 300000, 500000}; // one frame missing
        for (int i = 0; i < 5; ++i)
            stats.frameReceived({0, 640, 480, 1000, timesUs[i]}, 2480000, (100 + 100 * i) * 1000);
        times(8, [&] { stats.captureWritten(); });
        times(6, [&] { stats.captureFailed(); });
        times(3, [&] { stats.frameShown(); });
        times(2, [&] { stats.frameDamaged(); });
        times(9, [&] { stats.frameHidden(); });
        QCOMPARE(stats.readoutText(1000), QString::fromUtf8("12.4 MB/s · 1 lost · 2 damaged · 4 dropped"));
        QCOMPARE(stats.detailText(1000),
                 "Frames received: 5\nFrames shown: 3\nFrames damaged: 2\nFrames hidden: 9\nFrames lost at the board: 1\n"
                 "Records dropped: 4\nBytes skipped: 12345\nConnections lost: 7\n"
                 "Capture files written: 8\nCapture failures: 6\nThroughput: 12.4 MB/s");

        stats.reset();
        stats.frameReceived({0, 640, 480, 1001, 500000}, 100, 1100 * 1000); // a second on: not counted as lost
        QCOMPARE(stats.detailText(2000),
                 "Frames received: 1\nFrames shown: 0\nFrames damaged: 0\nFrames hidden: 0\nFrames lost at the board: 0\n"
                 "Records dropped: 0\nBytes skipped: 0\nConnections lost: 0\n"
                 "Capture files written: 0\nCapture failures: 0\nThroughput: 0.0 MB/s");
    }

    void troubleGrew_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("grew");
        QTest::newRow("damaged") << "damaged" << true;
        QTest::newRow("hidden") << "hidden" << false;
        QTest::newRow("dropped") << "dropped" << true;
        QTest::newRow("lost") << "lost" << true;
        QTest::newRow("steady frame") << "steady" << false;
        QTest::newRow("reset") << "reset" << false;
    }

    void troubleGrew()
    {
        QFETCH(QString, action);
        QFETCH(bool, grew);
        StreamStatistics stats;
        for (qint32 i = 0; i < 5; ++i)
            stats.frameReceived({0, 640, 480, i, 0}, 100, i * 1000);
        stats.frameDamaged();
        const StreamCounters before = stats.counters();
        if (action == "damaged")
            stats.frameDamaged();
        else if (action == "hidden")
            stats.frameHidden();
        else if (action == "dropped")
            stats.recordDropped({0, 640, 480, 5, 0}, 5000);
        else if (action == "lost" || action == "steady")
            stats.frameReceived({0, 640, 480, action == "lost" ? 7 : 5, 0}, 100, 5000);
        else
            stats.reset();
        QCOMPARE(stats.counters().troubleGrewSince(before), grew);
    }
};

QTEST_GUILESS_MAIN(tst_StreamStatistics)
#include "tst_streamstatistics.moc"
