#include "StreamStatistics.h"
#include "StreamTiming.h"

#include <QJsonDocument>
#include <QtTest>

#include <cmath>

using Intervals = QList<qint64>; // microseconds between consecutive records

// Steady 100 ms intervals around one other.
static Intervals withGap(qint64 gapUs, int before = 4, int after = 2)
{
    return Intervals(before, 100000) + Intervals{gapUs} + Intervals(after, 100000);
}

// A stream built frame by frame: board times, arrival times and losses known to the microsecond.
struct BuiltFrame
{
    qint64 boardUs;
    qint64 arrivalUs;
    quint32 lostBefore = 0;
};
using BuiltStream = QList<BuiltFrame>;
Q_DECLARE_METATYPE(BuiltFrame)

namespace {

constexpr qint64 PeriodUs = 40000; // 25 frames a second
constexpr qint64 ArrivalOffsetUs = 1234567;

// count frames on time, then `change` may move any of them.
BuiltStream steady(int count, const std::function<void(int, BuiltFrame &)> &change = {})
{
    BuiltStream frames;
    for (int i = 0; i < count; ++i) {
        BuiltFrame frame{i * PeriodUs, ArrivalOffsetUs + i * PeriodUs};
        if (change)
            change(i, frame);
        frames << frame;
    }
    return frames;
}

StreamTiming timed(const BuiltStream &frames, int rate = 0, qint64 keptUs = 0)
{
    StreamTiming timing(keptUs);
    timing.setFrameRate(rate);
    for (const BuiltFrame &frame : frames)
        timing.add(frame.boardUs, frame.arrivalUs, frame.lostBefore);
    return timing;
}

// Compact, whole: every figure of the spread.
QString spread(const TimingSpread &s)
{
    return QStringLiteral("n%1 s%2 %3/%4/%5/%6")
        .arg(s.count)
        .arg(qRound64(s.sigmaUs))
        .arg(s.p50Us)
        .arg(s.p95Us)
        .arg(s.p99Us)
        .arg(s.maxUs);
}

} // namespace

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
        QTest::newRow("dropped record is not lost") << t0 << Intervals(8, 100000) << "dropped" << 4 << 0ull;
        QTest::newRow("JPEG records of no size, from the first") << t0 << Intervals(8, 100000) << "no size" << 0 << 0ull;
    }

    void lostAtBoard()
    {
        QFETCH(qint64, startUs);
        QFETCH(Intervals, intervalsUs);
        QFETCH(QString, event);
        QFETCH(int, eventAt);
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
        QTEST(stats.counters().framesLostAtBoard, "lost");
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
        QTEST(stats.counters().troubleGrewSince(before), "grew");
    }

    void figures_data()
    {
        QTest::addColumn<BuiltStream>("frames");
        QTest::addColumn<int>("rate");
        QTest::addColumn<qint64>("nominalUs");
        QTest::addColumn<QString>("boardJitter");
        QTest::addColumn<QString>("arrivalJitter");
        QTest::addColumn<QString>("latency");
        QTest::addColumn<QString>("counts"); // late at board, late on arrival, lost, clock restarts
        QTest::addColumn<QString>("late"); // the late frames, each with where it was held
        QTest::addColumn<double>("driftPpm"); // NaN: not known
        QTest::newRow("steady, rate set") << steady(50) << 25 << PeriodUs << "n49 s0 0/0/0/0"
                                          << "n49 s0 0/0/0/0" << "n50 s0 0/0/0/0" << "0 0 0 0" << "" << 0.0;
        // Frame 10 is stamped 30 ms late and sent so: its interval is long, the next one short.
        QTest::newRow("late at the board, median period")
            << steady(50, [](int i, BuiltFrame &f) { if (i == 10) { f.boardUs += 30000; f.arrivalUs += 30000; } })
            << 0 << PeriodUs << "n49 s6061 0/0/30000/30000" << "n49 s6061 0/0/30000/30000"
            << "n50 s0 0/0/0/0" << "1 0 0 0" << "10 at board" << 0.0;
        // Frame 10 keeps its right board time but is held 30 ms on the way.
        QTest::newRow("late on the way")
            << steady(50, [](int i, BuiltFrame &f) { if (i == 10) f.arrivalUs += 30000; })
            << 25 << PeriodUs << "n49 s0 0/0/0/0" << "n49 s6061 0/0/30000/30000"
            << "n50 s4200 0/0/30000/30000" << "0 1 0 0" << "10 on the way" << 0.0;
        // The host's clock runs 50 ppm fast (the board's slow): 2 us more per frame; latency rises to 10 s' worth.
        QTest::newRow("clocks drifting")
            << steady(500, [](int i, BuiltFrame &f) { f.arrivalUs += 2 * i; })
            << 0 << PeriodUs << "n499 s0 0/0/0/0" << "n499 s0 2/2/2/2"
            << "n500 s162 498/500/500/500" << "0 0 0 0" << "" << -49.9975;
        // A gap the loss estimate explained is loss, not lateness nor jitter.
        QTest::newRow("a lost frame")
            << steady(50, [](int i, BuiltFrame &f) {
                   if (i >= 10) { f.boardUs += PeriodUs; f.arrivalUs += PeriodUs; }
                   if (i == 10) f.lostBefore = 1; })
            << 25 << PeriodUs << "n48 s0 0/0/0/0" << "n48 s0 0/0/0/0" << "n50 s0 0/0/0/0"
            << "0 0 1 0" << "" << 0.0;
        // Backwards, standing still, years ahead: each starts a run of its own.
        QTest::newRow("board clock restarts")
            << BuiltStream{{5000000, 100}, {5040000, 40100}, {1000000, 80100}, {1040000, 120100},
                           {1040000, 160100}, {1080000, 200100}, {1080000 + 3LL * 365 * 86400 * 1000000, 240100},
                           {1120000 + 3LL * 365 * 86400 * 1000000, 280100}}
            << 0 << PeriodUs << "n4 s0 0/0/0/0" << "n4 s0 0/0/0/0" << "n8 s0 0/0/0/0" << "0 0 0 3"
            << "" << qQNaN();
        QTest::newRow("arrival not known")
            << steady(20, [](int, BuiltFrame &f) { f.arrivalUs = -1; }) << 0 << PeriodUs
            << "n19 s0 0/0/0/0" << "n0 s0 0/0/0/0" << "n0 s0 0/0/0/0" << "0 0 0 0" << "" << qQNaN();
        QTest::newRow("one frame") << steady(1) << 0 << 0LL << "n0 s0 0/0/0/0" << "n0 s0 0/0/0/0"
                                   << "n1 s0 0/0/0/0" << "0 0 0 0" << "" << qQNaN();
    }

    void figures()
    {
        QFETCH(BuiltStream, frames);
        QFETCH(int, rate);
        QFETCH(double, driftPpm);
        const StreamTiming timing = timed(frames, rate);
        const TimingFigures figures = timing.figures();
        QCOMPARE(figures.frames, frames.size());
        QTEST(figures.nominalPeriodUs, "nominalUs");
        QCOMPARE(figures.nominalFromRate, rate > 0);
        QTEST(spread(figures.boardJitter), "boardJitter");
        QTEST(spread(figures.arrivalJitter), "arrivalJitter");
        QTEST(spread(figures.latency), "latency");
        QTEST(QStringLiteral("%1 %2 %3 %4")
                  .arg(figures.lateAtBoard)
                  .arg(figures.lateOnArrival)
                  .arg(figures.lost)
                  .arg(figures.clockRestarts),
              "counts");
        std::vector<LateFrame> lateFrames;
        timing.lateFrames(0, timing.size(), lateFrames);
        QStringList late;
        for (const LateFrame &frame : lateFrames)
            late << QStringLiteral("%1 %2").arg(frame.index).arg(
                frame.where == Lateness::AtBoard ? QStringLiteral("at board") : QStringLiteral("on the way"));
        QTEST(late.join(QStringLiteral(", ")), "late");
        QCOMPARE(figures.driftKnown, !std::isnan(driftPpm));
        if (figures.driftKnown)
            QVERIFY2(std::abs(figures.driftPpm - driftPpm) < 0.001, qPrintable(QString::number(figures.driftPpm)));
    }

    // What the window shows and copies, and what a summary holds, for a stream held on the way.
    void textAndJson()
    {
        StreamTiming timing = timed(steady(50, [](int i, BuiltFrame &f) { if (i == 10) f.arrivalUs += 30000; }), 25);
        timing.markNewestDamaged();
        const TimingFigures figures = timing.figures();
        QCOMPARE(figures.text(),
                 QString::fromUtf8("Frames: 50\n"
                                   "Nominal period: 40000 µs (the rate set)\n"
                                   "Board interval jitter: σ 0 µs, p50 0, p95 0, p99 0, max 0 µs\n"
                                   "Arrival interval jitter: σ 6061 µs, p50 0, p95 0, p99 30000, max 30000 µs\n"
                                   "Late frames: 1 (at the board 0, on the way 1)\n"
                                   "Relative latency: σ 4200 µs, p50 0, p95 0, p99 30000, max 30000 µs\n"
                                   "Clock drift: board 0.0 ppm against the host\n"
                                   "Lost: 0, damaged: 1, clock restarts: 0"));
        QCOMPARE(QJsonDocument(figures.toJson()).toJson(QJsonDocument::Compact),
                 QByteArray(R"({"arrival_jitter":{"count":49,"max_us":30000,"p50_us":0,"p95_us":0,"p99_us":30000,)"
                            R"("sigma_us":6061},"board_jitter":{"count":49,"max_us":0,"p50_us":0,"p95_us":0,)"
                            R"("p99_us":0,"sigma_us":0},"clock_restarts":0,"damaged":1,"drift_ppm":0,"frames":50,)"
                            R"("late_at_board":0,"late_on_arrival":1,"lost":0,"nominal_from":"rate",)"
                            R"("nominal_period_us":40000,"relative_latency":{"count":50,"max_us":30000,)"
                            R"("p50_us":0,"p95_us":0,"p99_us":30000,"sigma_us":4200}})"));
        QCOMPARE(QJsonDocument(StreamTiming().figures().toJson()).object().value("drift_ppm").isNull(), true);
    }

    // Plot points of a stretch, its latency floor taken from the 10 s before it; a stretch of the
    // store gives the same figures as the same frames timed alone. A frame judged damaged once
    // its payload is read is marked where it lies.
    void pointsAndStretches()
    {
        StreamTiming timing = timed(steady(400, [](int i, BuiltFrame &f) {
            if (i == 300) f.arrivalUs += 7000;
            if (i == 350) f.boardUs -= 3000; }));
        for (const qint64 index : {qint64(300), qint64(-1), qint64(400)})
            timing.markDamaged(index);
        std::vector<TimingPoint> points;
        timing.points(299, 302, points);
        QCOMPARE(int(points.size()), 3);
        QCOMPARE(points[0].boardUs, 299 * PeriodUs);
        QCOMPARE(points[1].latencyUs, 7000);
        QCOMPARE(points[2].latencyUs, 0);
        QCOMPARE(QList<bool>({points[0].damaged, points[1].damaged, points[2].damaged}), QList<bool>({false, true, false}));
        QCOMPARE(timing.figures().damaged, 1);
        timing.points(349, 352, points);
        QCOMPARE(points[1].boardIntervalUs, PeriodUs - 3000);
        QCOMPARE(points[2].boardIntervalUs, PeriodUs + 3000);
        timing.points(0, 1, points);
        QCOMPARE(points[0].boardIntervalUs, -1);

        const TimingFigures stretch = timing.figures(340, 360);
        QCOMPARE(stretch.frames, 20);
        QCOMPARE(spread(stretch.boardJitter), "n20 s949 0/3000/3000/3000");
        QCOMPARE(timing.figures(390, 500).frames, 10);
        QCOMPARE(timing.figures(-5, 2).frames, 2);
    }

    // A live store keeps its last span of arrivals and stays the same size once it has grown.
    void keptSpan()
    {
        StreamTiming timing(StreamTiming::MicrosPerSecond);
        for (int i = 0; i < 10000; ++i)
            timing.add(i * PeriodUs, i * PeriodUs, 0);
        QCOMPARE(timing.size(), 26);
        QCOMPARE(timing.sample(0).boardUs, 9974 * PeriodUs);
        QCOMPARE(timing.firstArrivedAtOrAfter(9990 * PeriodUs), 16);
        QCOMPARE(timing.firstArrivedAtOrAfter(0), 0);
        QCOMPARE(timing.firstArrivedAtOrAfter(qint64(1) << 60), 26);
        timing.markDamaged(1);
        QVERIFY(timing.sample(1).damaged && !timing.sample(0).damaged && !timing.sample(2).damaged);
        timing.restart();
        timing.add(20000 * PeriodUs, 10000 * PeriodUs, 0);
        QVERIFY(timing.sample(timing.size() - 1).startsRun);
        QVERIFY(!timing.sample(timing.size() - 1).clockJumped);
        timing.clear();
        QCOMPARE(timing.size(), 0);
        QCOMPARE(timing.figures().frames, 0);
    }
};

QTEST_GUILESS_MAIN(tst_StreamStatistics)
#include "tst_streamstatistics.moc"
