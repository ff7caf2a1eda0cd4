#include "CommandServer.h"
#include "FileBytes.h"
#include "FrameLossEstimator.h"
#include "FrameRecord.h"
#include "FrameSlot.h"
#include "JpegEncoder.h"
#include "RecordIndex.h"
#include "VideoServer.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <functional>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(VideoFaults)

namespace {

constexpr int ProcessTimeoutMs = 60000;
constexpr int Fps = 10;
constexpr int DamageEvery = 4;

// What the simulated board sent the recorder, in order: records, and where it was connected again.
struct Sent
{
    FrameRecord record;
    bool reconnected = false;
};

struct Run
{
    int exitCode = -1;
    QStringList errors; // stderr by line, the summary line's figures as M and S
};

// Runs the recorder to its end against the board in this process; whileRunning acts meanwhile.
Run record(const QStringList &arguments, const std::function<void(QProcess &)> &whileRunning = {})
{
    QProcess process;
    process.start(QStringLiteral(BREVANT_RECORD), arguments);
    if (whileRunning)
        whileRunning(process);
    Run run;
    if (QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, ProcessTimeoutMs)
        && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    const QRegularExpression figures(u", \\d+\\.\\d MB in \\d+\\.\\d s$"_s);
    for (QString line : QString::fromLocal8Bit(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts))
        run.errors << line.replace(figures, u", M MB in S s"_s);
    return run;
}

QJsonValue boardTime(const FrameRecord &record)
{
    return RecordIndex::boardTime(record.timestamp_s, record.timestamp_us);
}

int indexRows(const QString &folder)
{
    return int(RecordIndex::read(QDir(folder).filePath(u"bvtgrab_index.csv"_s)).rows.size());
}

QJsonObject trouble(qint64 frame, const QJsonValue &boardTime, const QString &kind)
{
    return {{u"frame"_s, frame}, {u"board_time"_s, boardTime}, {u"kind"_s, kind}};
}

// Figures that depend on the machine and its load: checked for their shape, then masked. A busy
// machine may hold frames on the way too: those the board did not hold are left out.
void mask(QJsonObject &summary, const QJsonArray &expectedTroubles)
{
    const QString masked = u"masked"_s;
    const QRegularExpression hostTime(uR"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)"_s);
    for (const QString &end : {u"start"_s, u"end"_s}) {
        QJsonObject times = summary[end].toObject();
        QVERIFY2(hostTime.match(times[u"host_time"_s].toString()).hasMatch(), qPrintable(end));
        times[u"host_time"_s] = masked;
        summary[end] = times;
    }
    QVERIFY(summary[u"duration_s"_s].toDouble() > 0 && summary[u"bytes"_s].toInteger() > 0
            && summary[u"rates"_s][u"frames_per_s"_s].toDouble() > 0 && summary[u"rates"_s][u"mb_per_s"_s].isDouble());
    summary[u"duration_s"_s] = summary[u"bytes"_s] = summary[u"rates"_s] = masked;

    QJsonObject timing = summary[u"timing"_s].toObject();
    for (const QString &spread : {u"board_jitter"_s, u"arrival_jitter"_s, u"relative_latency"_s}) {
        QVERIFY(timing[spread].toObject()[u"count"_s].toInteger() > 0);
        timing[spread] = masked;
    }
    timing[u"drift_ppm"_s] = masked;
    if (timing[u"nominal_from"_s] == u"median"_s)
        timing[u"nominal_period_us"_s] = masked;

    QJsonArray troubles;
    for (const QJsonValue &entry : summary[u"troubles"_s].toArray())
        if (entry[u"kind"_s] != u"late_on_arrival"_s || expectedTroubles.contains(entry))
            troubles.append(entry);
    const qint64 heldByTheMachine = summary[u"troubles"_s].toArray().size() - troubles.size();
    timing[u"late_on_arrival"_s] = timing[u"late_on_arrival"_s].toInteger() - heldByTheMachine;
    summary[u"timing"_s] = timing;
    summary[u"troubles"_s] = troubles;
}

} // namespace

class TestRecordSummary : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        video.pattern().setJpegEncoder([](const uchar *pixels, int width, int height, int components, int quality) {
            return encodeJpeg(pixels, width, height, components, quality);
        });
        QVERIFY(commands.listen(QHostAddress::LocalHost, 0));
        commands.setProducibleFormats({0, 1, 2, 3, 4});
        QVERIFY(video.listen(QHostAddress::LocalHost, 0));
        connect(&video, &VideoServer::recordSent, this, [this](const FrameRecord &record) { sent.append({record}); });
        connect(&video, &VideoServer::clientConnected, this, [this] {
            if (!sent.isEmpty())
                sent.append({FrameRecord(), true});
        });
    }

    void init()
    {
        QVERIFY(video.setConfiguration(TestPattern::Jpeg, 64, 48, Fps));
        video.setFaults({});
        sent.clear();
    }

    void summary_data()
    {
        QTest::addColumn<VideoFaults>("faults");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("stopSignal"); // 0: the recording ends by --frames or a failure
        QTest::addColumn<QString>("blocked"); // a folder standing where this file must go
        QTest::addColumn<QString>("error");

        VideoFaults damaging;
        damaging.corruptJpegEvery = DamageEvery;
        VideoFaults everything = damaging;
        everything.badSizeEvery = 7;
        everything.closeEvery = 6;
        // The board's clock runs on while the recorder backs off: frames are lost by it.
        QTest::newRow("damaged, dropped, lost, connections closed, rate set")
            << everything << QStringList{u"--reconnect"_s, u"--frames"_s, u"17"_s, u"--fps"_s, QString::number(Fps)}
            << 0 << QString() << QString();
        QTest::newRow("SIGTERM") << damaging << QStringList() << int(SIGTERM) << QString() << QString();
        VideoFaults holding;
        holding.lateEvery = 5;
        holding.lateMs = 2 * 1000 / Fps;
        QTest::newRow("frames held on the way") << holding << QStringList{u"--frames"_s, u"12"_s} << 0 << QString() << QString();
        VideoFaults closing;
        closing.closeEvery = 5;
        // The number of a file that could not be written stays: every frame from it on fails.
        QTest::newRow("writes failing, then a lost connection ends it")
            << closing << QStringList() << 0 << u"bvtgrab_3.jpg"_s << u"lost the connection to 127.0.0.1:%port"_s;
    }

    // The whole summary against what the board sent and the index says, its troubles in order.
    void summary()
    {
        QFETCH(VideoFaults, faults);
        QFETCH(QStringList, options);
        QFETCH(int, stopSignal);
        QFETCH(QString, blocked);
        QFETCH(QString, error);
        video.setFaults(faults);
        const qint64 producedBefore = video.statistics().framesProduced;
        const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const QString summaryFile = folder + u".json"_s;
        if (!blocked.isEmpty())
            QVERIFY(QDir().mkpath(QDir(folder).filePath(blocked)));
        const QString port = QString::number(video.serverPort());
        const QStringList arguments = QStringList{u"--host"_s, u"127.0.0.1"_s, u"--video-port"_s, port,
                                                  u"--command-port"_s, QString::number(commands.serverPort()),
                                                  u"--summary"_s, summaryFile, u"--quiet"_s}
                                      + options + QStringList{folder};
        const Run run = record(arguments, [&](QProcess &process) {
            if (stopSignal && QTest::qWaitFor([&] { return indexRows(folder) > 2 * DamageEvery; }, ProcessTimeoutMs))
                ::kill(pid_t(process.processId()), stopSignal);
        });
        error.replace(u"%port"_s, port);

        const RecordIndex::Contents index = RecordIndex::read(QDir(folder).filePath(u"bvtgrab_index.csv"_s));
        QVERIFY(index.error.isEmpty() && !index.rows.empty());
        // The records the recorder took: those before its last frame. A frame's damage is the
        // decoder's judgement, which the index gives.
        const qint64 received = qint64(index.rows.size());
        QJsonArray troubles;
        FrameLossEstimator estimator;
        qint64 frames = 0, lost = 0, dropped = 0, connectionsLost = 0, damaged = 0, failed = 0, late = 0;
        qint64 produced = producedBefore;
        QJsonValue lastBoardTime;
        for (const Sent &entry : std::as_const(sent)) {
            if (frames == received)
                break;
            if (entry.reconnected) {
                troubles.append(trouble(frames, lastBoardTime, u"connection_lost"_s));
                ++connectionsLost;
                continue;
            }
            const FrameRecord &r = entry.record;
            lastBoardTime = boardTime(r);
            const bool held = faults.lateEvery > 0 && ++produced % faults.lateEvery == 0;
            const quint64 missing = estimator.addRecord({r.format, r.width, r.height, r.timestamp_s, r.timestamp_us});
            if (missing > 0) {
                QJsonObject gap = trouble(frames, lastBoardTime, u"lost"_s);
                gap[u"count"_s] = qint64(missing);
                troubles.append(gap);
                lost += qint64(missing);
            }
            if (r.sizeField() < 0 || r.sizeField() > BoardProtocol::MaxPayloadBytes) {
                troubles.append(trouble(frames, lastBoardTime, u"dropped"_s));
                ++dropped;
                continue;
            }
            if (held && missing == 0 && frames > 0) {
                troubles.append(trouble(frames, lastBoardTime, u"late_on_arrival"_s));
                ++late;
            }
            const RecordIndex::Row &row = index.rows[size_t(frames)];
            QCOMPARE(row.frame.boardTimeUs(), FrameSlot::boardTimeUs(r.timestamp_s, r.timestamp_us));
            if (row.status == u"damaged"_s || row.status == u"failed"_s) {
                troubles.append(trouble(frames, lastBoardTime, row.status));
                ++(row.status == u"damaged"_s ? damaged : failed);
            }
            ++frames;
        }
        QCOMPARE(frames, received);
        QVERIFY(damaged > 0 || !faults.corruptJpegEvery);
        QVERIFY(failed > 0 || blocked.isEmpty());
        QVERIFY(late > 0 || !faults.lateEvery);
        QVERIFY(lost > 0 || !faults.closeEvery || !options.contains(u"--reconnect"_s));
        if (!error.isEmpty()) // lost with the board's close, the last thing that happened
            troubles.append(trouble(frames, lastBoardTime, u"connection_lost"_s)), ++connectionsLost;
        const bool rateSet = options.contains(u"--fps"_s);
        QStringList errors;
        if (!error.isEmpty())
            errors << u"brevant-record: "_s + error;
        if (dropped > 0 || connectionsLost > 0)
            errors << u"brevant-record: %1 records dropped for their size, %2 connections lost"_s.arg(dropped).arg(connectionsLost);
        errors << u"brevant-record: %1 frames, %2 stored, %3 damaged, 0 hidden, %4 failed, %5 lost at the board, M MB in S s"_s
                      .arg(received).arg(received - failed).arg(damaged).arg(failed).arg(lost);
        QCOMPARE(run.errors, errors);
        QCOMPARE(run.exitCode, !error.isEmpty() ? 1 : damaged + failed + lost + dropped > 0 ? 3 : 0);

        const QJsonObject expected{
            {u"program"_s, u"brevant-record"_s},
            {u"version"_s, QStringLiteral(BREVANT_VERSION)},
            {u"arguments"_s, QJsonArray::fromStringList(arguments)},
            {u"board"_s, QJsonObject{{u"host"_s, u"127.0.0.1"_s}, {u"video_port"_s, video.serverPort()},
                                     {u"command_port"_s, commands.serverPort()}}},
            {u"start"_s, QJsonObject{{u"board_time"_s, RecordIndex::boardTime(index.rows.front().frame.boardTimeUs())},
                                     {u"host_time"_s, u"masked"_s}}},
            {u"end"_s, QJsonObject{{u"board_time"_s, RecordIndex::boardTime(index.rows.back().frame.boardTimeUs())},
                                   {u"host_time"_s, u"masked"_s}}},
            {u"duration_s"_s, u"masked"_s},
            {u"frames"_s, QJsonObject{{u"received"_s, received}, {u"stored"_s, received - failed}, {u"damaged"_s, damaged},
                                      {u"hidden"_s, 0}, {u"failed"_s, failed}, {u"lost_at_board"_s, lost}}},
            {u"records_dropped"_s, dropped},
            {u"connections_lost"_s, connectionsLost},
            {u"bytes"_s, u"masked"_s},
            {u"rates"_s, u"masked"_s},
            {u"timing"_s, QJsonObject{{u"frames"_s, received + dropped},
                                      {u"nominal_period_us"_s, rateSet ? QJsonValue(1000000 / Fps) : u"masked"_s},
                                      {u"nominal_from"_s, rateSet ? u"rate"_s : u"median"_s},
                                      {u"board_jitter"_s, u"masked"_s},
                                      {u"arrival_jitter"_s, u"masked"_s},
                                      {u"relative_latency"_s, u"masked"_s},
                                      {u"late_at_board"_s, 0},
                                      {u"late_on_arrival"_s, late},
                                      {u"lost"_s, lost},
                                      {u"damaged"_s, damaged + dropped},
                                      {u"clock_restarts"_s, 0},
                                      {u"drift_ppm"_s, u"masked"_s}}},
            {u"troubles"_s, troubles},
            {u"troubles_left_out"_s, 0},
            {u"error"_s, error.isEmpty() ? QJsonValue() : QJsonValue(error)},
        };
        QJsonParseError parseError;
        QJsonObject summary = QJsonDocument::fromJson(fileBytes(summaryFile), &parseError).object();
        QCOMPARE(parseError.error, QJsonParseError::NoError);
        mask(summary, troubles);
        // Line by line, so that a difference is shown where it is.
        QCOMPARE(QString::fromUtf8(QJsonDocument(summary).toJson()).split(u'\n'),
                 QString::fromUtf8(QJsonDocument(expected).toJson()).split(u'\n'));
    }

    // Where the summary cannot go the recording does not start; where it cannot go once the
    // recording ended, the end says so, and the status says trouble.
    void summaryNotWritten()
    {
        const QString folder = temporary.filePath(u"unwritable"_s);
        const QString common = u"--host 127.0.0.1 --video-port %1 --summary %2"_s.arg(video.serverPort());
        const QString nowhere = temporary.filePath(u"nowhere/summary.json"_s);
        Run run = record(common.arg(nowhere).split(u' ') << folder);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errors, QStringList{u"brevant-record: cannot write the summary %1: No such file or directory"_s.arg(nowhere)});
        QVERIFY(sent.isEmpty());

        const QString goneLater = temporary.filePath(u"gone/summary.json"_s);
        QVERIFY(QDir().mkpath(temporary.filePath(u"gone"_s)));
        run = record(common.arg(goneLater).split(u' ') << u"--frames"_s << u"3"_s << folder, [&](QProcess &) {
            QVERIFY(QTest::qWaitFor([&] { return !sent.isEmpty(); }, ProcessTimeoutMs));
            QVERIFY(QDir(temporary.filePath(u"gone"_s)).removeRecursively());
        });
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errors.size(), 2);
        QCOMPARE(run.errors[0], u"brevant-record: cannot write the summary %1: No such file or directory"_s.arg(goneLater));
        QVERIFY(run.errors[1].startsWith(u"brevant-record: 3 frames, 3 stored"_s));
    }

    // On a terminal the progress line carries the timing of the last 10 s.
    void progressLine()
    {
        if (!have(u"script"_s) || QProcess::execute(u"script"_s, {u"-qfec"_s, u"true"_s, u"/dev/null"_s}) != 0)
            QSKIP("no pseudo-terminal here");
        QProcess terminal;
        terminal.start(u"script"_s, {u"-qfec"_s, u"%1 --host 127.0.0.1 --video-port %2 --frames %3 %4"_s
                       .arg(QStringLiteral(BREVANT_RECORD)).arg(video.serverPort()).arg(2 * Fps)
                       .arg(temporary.filePath(u"terminal"_s)), u"/dev/null"_s});
        QVERIFY(QTest::qWaitFor([&] { return terminal.state() == QProcess::NotRunning; }, ProcessTimeoutMs));
        const QRegularExpression figures(u"\rbrevant-record: \\d+ frames \u00B7 \\d+\\.\\d MB/s \u00B7 \\d+ lost \u00B7 0 damaged "
                                         "\u00B7 jitter p99 \\d+\\.\\d ms \u00B7 latency p99 \\d+\\.\\d ms\x1b\\[K"_s);
        const QByteArray shown = terminal.readAllStandardOutput();
        QVERIFY2(figures.match(QString::fromLocal8Bit(shown)).hasMatch(), shown.toPercentEncoding().constData());
    }

private:
    QTemporaryDir temporary;
    VideoServer video;
    CommandServer commands;
    QList<Sent> sent;
};

QTEST_GUILESS_MAIN(TestRecordSummary)
#include "tst_recordsummary.moc"
