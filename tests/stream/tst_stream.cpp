#include "FeedDevice.h"
#include "FileBytes.h"
#include "FrameParser.h"
#include "FramePath.h"
#include "Frames.h"
#include "JpegEncoder.h"
#include "MessageLog.h"
#include "Records.h"
#include "StreamStatistics.h"
#include "StreamTiming.h"
#include "imageStream.h"

#include <QJsonDocument>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <cmath>
#include <csignal>
#include <sys/resource.h>

using Outcome = FramePath::Outcome;
Q_DECLARE_METATYPE(FrameSlot)

// What the stream client reports, in order, as "code" / "info:text" / "error:text".
class StatusLog : public QObject
{
public:
    explicit StatusLog(imageStream *stream)
    {
        connect(stream, &imageStream::connection_state, this, [this](int code) { entries << QString::number(code); });
        connect(stream, &imageStream::new_socket_info, this, [this](const QString &text) { entries << "info:" + text; });
        connect(stream, &imageStream::new_socket_error, this, [this](const QString &text) { entries << "error:" + text; });
    }
    QStringList entries;
};

static FrameRecord jpegRecord(int width, int height, char red)
{
    QByteArray rgb;
    for (int i = 0; i < width * height; ++i)
        rgb.append(red).append(char(64)).append(char(200));
    return makeRecord(0, width, height, encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 95));
}

static QByteArray grayAt(int ms, const QByteArray &pixels = QByteArray(8, 'g'))
{
    FrameRecord record = makeRecord(1, 4, 2, pixels, ms / 1000);
    record.timestamp_us = (ms % 1000) * 1000;
    return record.toBytes();
}

// Every counter, in declared order.
static QList<quint64> countsOf(const StreamCounters &c)
{
    return { c.framesReceived, c.framesShown,     c.framesDamaged,       c.framesHidden,   c.framesLostAtBoard,
             c.recordsDropped, c.bytesSkipped,    c.connectionsLost,     c.captureFilesWritten, c.captureFailures };
}

// A frame of one level: grey, raw colour of that luma with neutral chroma, or a grey JPEG.
static FrameSlot frame(int format, int width, int height, char level = 100, int payloadBytes = -1)
{
    FrameSlot f = frameOf(format, width, height);
    const int pixels = width > 0 && height > 0 && width < 5000 ? width * height : 64;
    if (format == 0) {
        const QByteArray grey(pixels, level);
        f.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(grey.constData()), width, height, 1, 95);
    } else {
        f.payload = QByteArray(format == 1 ? pixels : format == 2 ? 2 * pixels : pixels * 3 / 2, char(128));
        for (int i = 0; i < pixels; ++i)
            f.payload[format == 2 ? 2 * i + 1 : i] = level;
    }
    if (payloadBytes >= 0)
        f.payload.resize(payloadBytes);
    return f;
}

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
        .arg(s.count).arg(qRound64(s.sigmaUs)).arg(s.p50Us).arg(s.p95Us).arg(s.p99Us).arg(s.maxUs);
}

} // namespace

class tst_Stream : public QObject
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
        QTest::newRow("damaged") << "damaged" << true; QTest::newRow("hidden") << "hidden" << false;
        QTest::newRow("dropped") << "dropped" << true; QTest::newRow("lost") << "lost" << true;
        QTest::newRow("steady frame") << "steady" << false; QTest::newRow("reset") << "reset" << false;
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
            << steady(50, [](int i, BuiltFrame &f) { if (i == 10) { f.boardUs += 30000; f.arrivalUs += 30000; } }) << 0 << PeriodUs
            << "n49 s6061 0/0/30000/30000" << "n49 s6061 0/0/30000/30000" << "n50 s0 0/0/0/0" << "1 0 0 0" << "10 at board" << 0.0;
        // Frame 10 keeps its right board time but is held 30 ms on the way.
        QTest::newRow("late on the way") << steady(50, [](int i, BuiltFrame &f) { if (i == 10) f.arrivalUs += 30000; }) << 25 << PeriodUs
            << "n49 s0 0/0/0/0" << "n49 s6061 0/0/30000/30000" << "n50 s4200 0/0/30000/30000" << "0 1 0 0" << "10 on the way" << 0.0;
        // The host's clock runs 50 ppm fast (the board's slow): 2 us more per frame; latency rises to 10 s' worth.
        QTest::newRow("clocks drifting") << steady(500, [](int i, BuiltFrame &f) { f.arrivalUs += 2 * i; }) << 0 << PeriodUs
            << "n499 s0 0/0/0/0" << "n499 s0 2/2/2/2" << "n500 s162 498/500/500/500" << "0 0 0 0" << "" << -49.9975;
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
        QTest::newRow("arrival not known") << steady(20, [](int, BuiltFrame &f) { f.arrivalUs = -1; }) << 0 << PeriodUs
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
        if (frames.size() > 1) // of a stretch of one frame: its own interval
            QCOMPARE(timing.figures(1, 2).nominalPeriodUs, rate > 0 ? PeriodUs : frames[1].boardUs - frames[0].boardUs);
        QCOMPARE(figures.nominalFromRate, rate > 0);
        QTEST(spread(figures.boardJitter), "boardJitter");
        QTEST(spread(figures.arrivalJitter), "arrivalJitter");
        QTEST(spread(figures.latency), "latency");
        QTEST(QStringLiteral("%1 %2 %3 %4").arg(figures.lateAtBoard).arg(figures.lateOnArrival).arg(figures.lost)
                  .arg(figures.clockRestarts), "counts");
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
        const QJsonObject none = StreamTiming().figures().toJson();
        QCOMPARE(QList<QJsonValue>({none.value("drift_ppm"), none.value("nominal_from")}), QList<QJsonValue>({QJsonValue(), "none"}));
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
        ParserProbe whole;
        whole.feed(stream);
        QTEST(whole.parser.framesCompleted(), "frames");
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

    // A device that fails part way through a payload: the frame holds the bytes it gave, and no
    // stale ones of a frame before in their place.
    void deviceFailsMidPayload()
    {
        ParserProbe probe;
        probe.feed(grayRecord(4, 4, 1).toBytes() + grayRecord(4, 4, 2).toBytes());
        const FrameRecord cut = grayRecord(4, 4, 3);
        probe.device.claim(6);
        probe.feed(cut.toBytes().chopped(6));
        QCOMPARE(probe.ready.size(), 3);
        QCOMPARE(probe.ready.last(), QStringLiteral("1:4x4:10:")
                                         + QCryptographicHash::hash(cut.payload.left(10), QCryptographicHash::Md5).toHex());
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

    // States and counters on both sides of an asked-for reconnection, a lost connection and a reset.
    void reconnectSequence()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        imageStream stream(QStringLiteral("localhost"), server.serverPort());
        connect(&stream, &imageStream::imageIsReady, this, [&] { stream.currentPixmap(); });
        StatusLog log(&stream);
        QTRY_COMPARE_WITH_TIMEOUT(stream.socketMessage(), QStringLiteral("Connected"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QCOMPARE(log.entries.mid(log.entries.size() - 2), (QStringList { "1", "info:Connected" }));
        // Four frames, one of them damaged, then a record cut off: a board starts every connection on a
        // record boundary, so the new connection's bytes must not complete it.
        server.nextPendingConnection()->write(grayAt(0) + grayAt(100) + grayAt(200, "short") + grayAt(300)
                                              + grayRecord(64, 64).toBytes().chopped(1000));
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().framesReceived, 4u, 10000);
        const QList<quint64> before { 4, 3, 1, 0, 0, 0, 0, 0, 0, 0 };
        QCOMPARE(countsOf(stream.statistics().counters()), before);
        log.entries.clear();

        stream.reconnect();
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(log.entries.count("info:Connected"), 2, 10000);
        // Unconnected first, repeating the previous text, then lookup, connecting, connected.
        QCOMPARE(log.entries, (QStringList { "-1", "info:Connected", "-1", "info:Looking for host...", "-1",
                                             "info:Connecting...", "1", "info:Connected" }));
        QCOMPARE(countsOf(stream.statistics().counters()), before); // asked for, not lost
        // The board's clock ran on while apart: a new connection's first gap is no loss.
        QTcpSocket *board = server.nextPendingConnection();
        board->write(grayAt(5000) + grayAt(5100));
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().framesReceived, 6u, 10000);
        QCOMPARE(countsOf(stream.statistics().counters()), (QList<quint64> { 6, 5, 1, 0, 0, 0, 0, 0, 0, 0 }));

        stream.resetStatistics();
        QCOMPARE(countsOf(stream.statistics().counters()), QList<quint64>(10, 0));
        QCOMPARE(stream.statistics().bytesPerSecond(StreamStatistics::clockMs() + 100), 0);
        log.entries.clear();
        board->write(grayAt(5200) + grayAt(5300) + grayAt(5400) + grayAt(5500) + grayAt(5900));
        board->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().connectionsLost, 1u, 10000);
        QCOMPARE(log.entries, (QStringList { "error:Connection closed by host", "-1", "-1", "info:Connection closed by host" }));
        QCOMPARE(countsOf(stream.statistics().counters()), (QList<quint64> { 5, 5, 0, 0, 3, 0, 0, 1, 0, 0 }));
        QVERIFY(stream.statistics().bytesPerSecond(StreamStatistics::clockMs() + 100) > 0);
        QCOMPARE(stream.socketMessage(), QStringLiteral("Connection closed by host"));
        QTest::qWait(200); // no automatic reconnection
        QVERIFY(!server.hasPendingConnections());
    }

    // A connection that fails says why, and counts no lost connection.
    void errorTexts_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("viaProxy"); // through a SOCKS proxy at the port nobody listens on
        // The refusal keeps the previous text.
        QTest::newRow("refused") << "localhost" << "Connecting..." << false;
        QTest::newRow("unknown host") << "no-such-board.invalid" << "Host not found or port closed" << false;
        // Any other error in the socket's own words. Loopback addresses are never proxied; the
        // documentation address is never reached either, as the proxy refuses first.
        QTest::newRow("proxy refuses") << "192.0.2.1" << "Connection to proxy refused" << true;
    }

    void errorTexts()
    {
        QFETCH(QString, host);
        QFETCH(QString, text);
        QFETCH(bool, viaProxy);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        server.close();
        if (viaProxy)
            QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), port));
        const auto noProxy = qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
        imageStream stream(host, port);
        StatusLog log(&stream);
        stream.reconnect(); // a cached lookup reports its states before log is connected
        QTRY_VERIFY2_WITH_TIMEOUT(log.entries.contains("error:" + text), qPrintable(log.entries.join("|")), 20000);
        QCOMPARE(log.entries.value(log.entries.indexOf("error:" + text) + 1), QStringLiteral("-1"));
        QCOMPARE(stream.socketMessage(), text);
        QCOMPARE(stream.statistics().counters().connectionsLost, 0u);
        QVERIFY(!log.entries.contains("1"));
    }

    void portUsesLow16Bits()
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 4464))
            QSKIP("port 4464 is taken on this machine");
        imageStream stream(QStringLiteral("127.0.0.1"), 1);
        stream.setPort(70000);
        stream.reconnect();
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    }

    // Frame in, picture out, pictures taken as the window takes them: a good Gray frame, one of a
    // code never shown, which gives no picture, then a good JPEG frame. Capture reports only the
    // files written.
    void hiddenFrameBetweenPictures()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        imageStream stream(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTemporaryDir dir;
        stream.startCapture(dir.path(), "c", "bmp", false);
        QSignalSpy progress(&stream, &imageStream::capture_in_progress);
        QList<QImage> pictures;
        connect(&stream, &imageStream::imageIsReady, this, [&] { pictures << stream.currentPixmap().toImage(); });

        const QByteArray gray = makeRecord(1, 4, 2, QByteArray::fromHex("0055AAFF0055AAFF")).toBytes();
        const QByteArray hidden = makeRecord(9, 2, 2, "nnnn").toBytes();
        server.nextPendingConnection()->write(gray + hidden + jpegRecord(64, 48, char(240)).toBytes());
        QTRY_COMPARE_WITH_TIMEOUT(pictures.size(), 3, 10000);

        QCOMPARE(pictures.at(0).size(), QSize(4, 2));
        const int levels[] = { 0, 85, 170, 255 };
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x)
                QCOMPARE(pictures.at(0).pixelColor(x, y), QColor(levels[x], levels[x], levels[x]));
        QVERIFY(pictures.at(1).isNull());
        QCOMPARE(pictures.at(2).size(), QSize(64, 48));
        QVERIFY(qAbs(pictures.at(2).pixelColor(5, 5).red() - 240) < 8);
        QCOMPARE(progress.size(), 2);
        QCOMPARE(progress.at(1).at(0).toString(), QStringLiteral("Capturing image... 1"));
    }

    void destructionReportsNothing_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connected") << true; QTest::newRow("connecting") << false;
    }

    // The window deletes its form before the stream; a state report from the closing socket used to
    // reach the window's slots after the form was gone.
    void destructionReportsNothing()
    {
        QFETCH(bool, connected);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto *stream = new imageStream(QStringLiteral("127.0.0.1"), server.serverPort());
        StatusLog log(stream);
        if (connected)
            QTRY_COMPARE_WITH_TIMEOUT(stream->socketMessage(), QStringLiteral("Connected"), 10000);
        const QStringList before = log.entries;
        delete stream;
        QCOMPARE(log.entries, before);
    }

    void refusedFramesKeepLastPicture_data()
    {
        QTest::addColumn<FrameSlot>("bad");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QStringList>("logged"); // by the viewer's path, exactly
        FrameSlot jpegOtherSize = frame(0, 32, 16), jpegBroken = frame(0, 32, 16);
        jpegOtherSize.width = 16;
        // A table of impossible length after the scan.
        jpegBroken.payload = jpegBroken.payload.chopped(2) + QByteArray("\xFF\xC4\x00\x03\x00\xFF\xD9", 7);
        FrameSlot notJpeg = frame(0, 32, 16);
        notJpeg.payload = "no picture here";
        const QString conversion = QStringLiteral("Problem in image conversion");
        const QStringList jpegRefused = { "Error in jpeg_check_header", "Error in decoding jpeg" };
        QTest::newRow("UYVY one byte short") << frame(2, 16, 16, 1, 511) << Outcome::PayloadTooShort
                                             << QStringList{"Raw frame 16x16 refused: 511 payload bytes", conversion};
        QTest::newRow("NV12 empty") << frame(4, 16, 16, 1, 0) << Outcome::PayloadTooShort
                                    << QStringList{"Raw frame 16x16 refused: 0 payload bytes", conversion};
        QTest::newRow("zero width") << frame(2, 0, 16) << Outcome::BadSize
                                    << QStringList{"Raw frame 0x16 refused: 128 payload bytes", conversion};
        QTest::newRow("3 x w x h overflows") << frame(4, 40000, 40000) << Outcome::BadSize
                                             << QStringList{"Raw frame 40000x40000 refused: 96 payload bytes", conversion};
        QTest::newRow("gray short") << frame(1, 8, 8, 1, 63) << Outcome::PayloadTooShort
                                    << QStringList{"Gray frame 8x8 does not fit its 63 payload bytes, not shown"};
        QTest::newRow("gray w x h overflows") << frame(1, 0x10000, 0x10001) << Outcome::PayloadTooShort
                                              << QStringList{"Gray frame 65536x65537 does not fit its 64 payload bytes, not shown"};
        QTest::newRow("gray of no height") << frame(1, 8, 0) << Outcome::BadSize
                                           << QStringList{"Gray frame 8x0 does not fit its 64 payload bytes, not shown"};
        QTest::newRow("gray of no width") << frame(1, 0, 8) << Outcome::BadSize
                                          << QStringList{"Gray frame 0x8 does not fit its 64 payload bytes, not shown"};
        QTest::newRow("not a JPEG") << notJpeg << Outcome::JpegHeaderRefused
                                    << QStringList{"JPEG error: Not a JPEG file: starts with 0x6e 0x6f"} + jpegRefused;
        QTest::newRow("empty JPEG") << frame(0, 32, 16, 1, 0) << Outcome::JpegHeaderRefused
                                    << QStringList{"JPEG error: Empty input file"} + jpegRefused;
        QTest::newRow("JPEG of another size") << jpegOtherSize << Outcome::JpegHeaderRefused
                                              << QStringList{"Error: incompatible jpeg sizes"} + jpegRefused;
        QTest::newRow("JPEG data broken") << jpegBroken << Outcome::JpegUndecodable
            << QStringList{"Resizing  JPEG buffer to 1536", "JPEG error: Bogus marker length", "Error in decoding jpeg"};
        QTest::newRow("code 7") << frame(7, 4, 4) << Outcome::HiddenCode << QStringList();
    }

    // Each refusal is logged by the viewer's path, line for line, and counts as damaged; a code
    // the board hides counts apart and is no trouble. Judged or decoded apart, as the recorder
    // and the inspector do, it comes to the same with nothing printed. The last good picture
    // stays, and the next good frame is shown again.
    void refusedFramesKeepLastPicture()
    {
        QFETCH(FrameSlot, bad);
        QFETCH(Outcome, outcome);
        QFETCH(QStringList, logged);
        FramePath path;
        StreamStatistics statistics;
        path.setStatistics(&statistics);
        QVERIFY(path.show(frame(2, 4, 2)).shown());
        const QImage before = path.pixmap().toImage();
        MessageLog log;
        const FramePath::Result result = path.show(bad);
        QCOMPARE(log.take(), logged);
        QCOMPARE(result.outcome, outcome);
        const bool hidden = outcome == Outcome::HiddenCode;
        QCOMPARE(result.damaged(), !hidden);
        const StreamCounters &c = statistics.counters();
        QCOMPARE((QList<quint64>{c.framesShown, c.framesDamaged, c.framesHidden}),
                 (QList<quint64>{1, hidden ? 0u : 1u, hidden ? 1u : 0u}));
        FrameDecoder apart;
        QImage picture;
        QCOMPARE((QList<int>{int(apart.judge(bad)), apart.notes().isEmpty(), int(apart.decode(bad, picture)), apart.notes().isEmpty()}),
                 (QList<int>{int(outcome), logged.isEmpty(), int(outcome), logged.isEmpty()})); // each with its reasons
        QCOMPARE(log.take(), QStringList());
        QCOMPARE(FrameDecoder::reason(outcome, bad).isEmpty(), false);
        QCOMPARE(path.pixmap().toImage(), before);
        QVERIFY(path.show(frame(bad.format == 7 ? 0 : bad.format, 32, 16)).shown());
    }

    void heldPicturesKeepTheirPixels_data()
    {
        QTest::addColumn<int>("format");
        for (int format : { 0, 1, 2, 3, 4 })
            QTest::addRow("code %d", format) << format;
    }

    // A pixmap still on screen keeps its frame's pixels while later frames are shown; every picture
    // is 32-bit, a grey level v shown as (v, v, v).
    void heldPicturesKeepTheirPixels()
    {
        QFETCH(int, format);
        QPixmap held;
        QColor dark;
        {
            FramePath path;
            QVERIFY(path.show(frame(format, 32, 16, 60)).shown());
            held = path.pixmap();
            dark = held.toImage().pixelColor(5, 2);
            QCOMPARE(held.toImage().format(), QImage::Format_RGB32);
            QVERIFY(qAbs(dark.red() - (format <= 1 ? 60 : 51)) <= 2 && dark.red() == dark.blue());
            for (int i = 0; i < 5; ++i) // of the same size, then of others
                QVERIFY(path.show(frame(format, 32 - 4 * (i / 2), 16, char(200))).shown());
            QVERIFY(path.pixmap().toImage().pixelColor(5, 2).red() > 190);
        }
        QCOMPARE(held.toImage().pixelColor(5, 2), dark); // kept, however the buffers changed or went
    }

    void bufferLines_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QList<QSize>>("sizes"); // of the frames shown in turn
        QTest::addColumn<bool>("tight"); // the last frame's picture, of 32 MiB, finds 16 MiB free
        QTest::addColumn<QStringList>("lines");
        // Logged, with R,G,B bytes, only when the byte count changes: not for the same size again, nor
        // for another shape of the same area.
        const QList<QSize> sizes{QSize(640, 480), QSize(320, 240), QSize(320, 240), QSize(240, 320), QSize(160, 480)};
        QTest::newRow("colour") << 4 << sizes << false
                                << QStringList{"Allocating space for color image: 921600", "Re-Allocating space for color image: 230400"};
        QTest::newRow("JPEG") << 0 << sizes << false << QStringList{"Resizing  JPEG buffer to 921600", "Resizing  JPEG buffer to 230400"};
        // Out of memory, the error line comes before the size line.
        const QList<QSize> big{QSize(4096, 2048)};
        QTest::newRow("colour, no memory") << 2 << big << true << QStringList{"ERROR in allocating color image memory\n",
            "Allocating space for color image: 25165824", "Problem in image conversion"};
        QTest::newRow("colour, no memory again") << 2 << QList<QSize>{QSize(8, 8)} + big << true
            << QStringList{"Allocating space for color image: 192", "ERROR in re-allocating color image memory\n",
                           "Re-Allocating space for color image: 25165824", "Problem in image conversion"};
        QTest::newRow("JPEG, no memory") << 0 << big << true << QStringList{"Resizing  JPEG buffer to 25165824",
            "ERROR in allocating JPEG buffer memory", "Error in decoding jpeg"};
    }

    // Nothing is written into a buffer that could not be had, and the next frame is shown.
    void bufferLines()
    {
        QFETCH(int, format);
        QFETCH(QList<QSize>, sizes);
        QFETCH(bool, tight);
    #if defined(__SANITIZE_ADDRESS__) || (defined(__has_feature) && __has_feature(address_sanitizer))
        if (tight)
            QSKIP("the address sanitizer cannot run under an address-space limit");
    #endif
        FramePath path;
        MessageLog log;
        rlimit limit {};
        QVERIFY(getrlimit(RLIMIT_AS, &limit) == 0);
        for (int i = 0; i < sizes.size(); ++i) {
            const FrameSlot shown = frame(format, sizes[i].width(), sizes[i].height());
            const bool last = i == sizes.size() - 1;
            if (tight && last) {
                QFile statm("/proc/self/statm");
                QVERIFY(statm.open(QIODevice::ReadOnly));
                rlimit tightened = limit;
                tightened.rlim_cur = statm.readAll().split(' ').value(0).toULongLong() * 4096 + 16 * 1024 * 1024;
                QVERIFY(setrlimit(RLIMIT_AS, &tightened) == 0);
            }
            const FramePath::Result result = path.show(shown);
            setrlimit(RLIMIT_AS, &limit);
            QCOMPARE(result.outcome, tight && last ? Outcome::OutOfMemory : Outcome::Shown);
        }
        QTEST(log.take(), "lines");
        QVERIFY(path.show(frame(format, 8, 8)).shown());
    }

    void captureOfEachOutcome_data()
    {
        QTest::addColumn<FrameSlot>("slot");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<bool>("raw");
        // "missing" folder, "full" device or a "cut" file: the write fails, then the same number
        // is taken again once the fault is gone
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("capture");
        const FrameSlot shortGray = frame(1, 8, 8, 1, 10);
        FrameSlot brokenJpeg = frame(0, 16, 16);
        brokenJpeg.payload = "no JPEG";
        const int failed = FramePath::CaptureFailed;
        QTest::newRow("picture of a shown frame") << frame(1, 8, 8) << "bmp" << false << "" << 0;
        QTest::newRow("picture in the extension's format") << frame(2, 16, 8) << "jpg" << false << "" << 0;
        QTest::newRow("raw data of a shown frame") << frame(4, 16, 8) << "bvt" << true << "" << 0;
        QTest::newRow("no picture of a refused frame") << shortGray << "bmp" << false << "" << FramePath::NoCapture;
        QTest::newRow("raw data of a refused frame") << shortGray << "bvt" << true << "" << 0;
        QTest::newRow("JPEG as received") << frame(0, 32, 16) << "jpg" << false << "" << 0;
        QTest::newRow("undecodable JPEG as received") << brokenJpeg << "bmp" << false << "" << 0;
        QTest::newRow("nothing of a hidden code") << frame(8, 4, 4) << "bvt" << true << "" << FramePath::NoCapture;
        QTest::newRow("picture of no known format") << frame(1, 8, 8) << "bvt" << false << "" << failed;
        QTest::newRow("raw data, folder missing") << frame(1, 8, 8) << "bvt" << true << "missing" << failed;
        QTest::newRow("picture, folder missing") << frame(1, 8, 8) << "bmp" << false << "missing" << failed;
        QTest::newRow("raw data, device full") << frame(1, 8, 8) << "bvt" << true << "full" << failed;
        QTest::newRow("picture, device full") << frame(2, 64, 48) << "bmp" << false << "full" << failed;
        // The disk fills part way: the first bytes are written, the rest refused.
        QTest::newRow("raw data cut off") << frame(1, 64, 48) << "bvt" << true << "cut" << failed;
    }

    // Only a file wholly written counts; a failure leaves no file, and a picture is never the last
    // good frame's in place of this one's.
    void captureOfEachOutcome()
    {
        QFETCH(FrameSlot, slot);
        QFETCH(QString, extension);
        QFETCH(bool, raw);
        QFETCH(QString, fault);
        QFETCH(int, capture);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = fault == "missing" ? dir.filePath("gone") : dir.path();
        const QString name = folder + "/f_0." + extension;
        if (fault == "full" && !QFile::link("/dev/full", name)) // writes fail as on a full disk
            QSKIP("no /dev/full to link to");
        FramePath path;
        StreamStatistics statistics;
        path.setStatistics(&statistics);
        path.capture().start(dir.path(), "old", "bmp", false);
        QCOMPARE(path.show(frame(1, 16, 16, 30)).capture, 0); // numbering starts again below
        path.capture().start(folder, "f_", extension, raw);

        MessageLog log;
        rlimit unlimited {};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        if (fault == "cut") {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit cutOff = unlimited;
            cutOff.rlim_cur = 1000;
            QVERIFY(setrlimit(RLIMIT_FSIZE, &cutOff) == 0);
        }
        const int written = path.show(slot).capture;
        setrlimit(RLIMIT_FSIZE, &unlimited);
        QCOMPARE(written, capture);
        const bool failed = written == FramePath::CaptureFailed;
        const QString line = raw ? QString("save_image_jpg: can not write all data %1").arg(slot.payload.size())
                                 : "save_image: can not write picture " + name;
        QCOMPARE(log.take().contains(line), failed && fault != "missing");
        QVERIFY2(!QFileInfo(name).isSymLink() && QFileInfo::exists(name) == (written >= 0), qPrintable(name));
        QCOMPARE(statistics.counters().captureFailures, failed ? 1u : 0u);
        if (failed && !fault.isEmpty()) {
            QVERIFY(QDir().mkpath(folder));
            QCOMPARE(path.show(slot).capture, 0);
        }
        if (!QFileInfo::exists(name))
            return;
        QCOMPARE(path.show(slot).capture, 1);
        const QStringList files = { "f_0." + extension, "f_1." + extension };
        QCOMPARE(QDir(folder).entryList({ "f_*" }, QDir::Files), files);
        QCOMPARE(statistics.counters().captureFilesWritten, 3u);
        if (raw || slot.format == 0) // the payload as received
            QCOMPARE(fileBytes(name), slot.payload);
        else if (extension == "bmp")
            QCOMPARE(QImage(name, "BMP").convertToFormat(QImage::Format_RGB32), path.pixmap().toImage());
        else
            QCOMPARE(QImage(name, "JPEG").size(), QSize(slot.width, slot.height));
    }

    // Bytes an encoder leaves between the scan and the end marker: the frame is shown, not counted
    // damaged, with the pixels of the frame without them; libjpeg's warning is logged once.
    void jpegPaddedBeforeItsEnd()
    {
        const FrameSlot plain = frame(0, 64, 48);
        FrameSlot padded = plain;
        padded.payload.insert(plain.payload.size() - 2, QByteArray(64, 'Z'));
        FramePath reference, path;
        QVERIFY(reference.show(plain).shown());
        StreamStatistics statistics;
        path.setStatistics(&statistics);
        MessageLog log;
        QVERIFY(path.show(padded).shown());
        const QStringList lines = log.take();
        QVERIFY2(lines.size() == 2 && lines[0].startsWith("Resizing")
                     && QRegularExpression("^JPEG warning: Corrupt JPEG data: \\d+ extraneous bytes before marker 0xd9$")
                            .match(lines[1]).hasMatch(), qPrintable(lines.join('|')));
        QCOMPARE((QList<quint64>{statistics.counters().framesShown, statistics.counters().framesDamaged}), (QList<quint64>{1, 0}));
        QCOMPARE(path.pixmap().toImage(), reference.pixmap().toImage());
    }
};

QTEST_MAIN(tst_Stream)
#include "tst_stream.moc"
