#include "CommandServer.h"
#include "FileBytes.h"
#include "FrameLossEstimator.h"
#include "FrameRecord.h"
#include "JpegEncoder.h"
#include "MatroskaReader.h"
#include "RecordIndex.h"
#include "Recorder.h"
#include "RecorderRun.h"
#include "Records.h"
#include "RecordingSummary.h"
#include "SteadyHeap.h"
#include "StopSignals.h"
#include "VideoServer.h"

#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <csignal>
#include <cstring>
#include <utility>
#include <sys/resource.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(VideoFaults)

namespace {
// The index a rig reads, column by column.
constexpr const char *IndexHeader = "record,file,status,format,width,height,payload_bytes,board_time,arrival_time,clum,cpos";

// How long a board that was configured refuses video connections; the recorder waits 5 s.
constexpr int RestartMs = 300;
// A disk that fills up: the recorder's files may not grow past this, halfway through the
// seventh of the 64 KiB frames sent to it (and past a coverage build's counter files).
constexpr rlim_t FullDiskBytes = 6 * 65536 + 32768;

FrameRecord stamped(FrameRecord record, qint32 seconds, qint32 microseconds)
{
    record.timestamp_s = seconds;
    record.timestamp_us = microseconds;
    record.CLum = FrameRecord::sensorBlock(1, 2, 3, 4);
    record.CPos = FrameRecord::sensorBlock(10, -10, 7, 11);
    return record;
}

FrameRecord gray(qint32 seconds, qint32 microseconds, int width = 4, int height = 2)
{
    return stamped(grayRecord(width, height), seconds, microseconds);
}

// An index row as expected; the arrival time is checked apart.
QString row(int record, const QString &file, const QString &status, const FrameRecord &r,
            const QString &format, const QString &boardTime)
{
    return QStringList{QString::number(record), file, status, format, QString::number(r.width),
                       QString::number(r.height), QString::number(r.payload.size()), boardTime,
                       u"T"_s, u"00000001000000020000000300000004"_s, u"0000000afffffff6000000070000000b"_s}
        .join(QLatin1Char(','));
}

// A board that sends each connection its byte stream: connection i gets streams[i], the bytes
// from pauses[i] on a moment after the rest, and is closed once it is sent, all but the last
// unless closes is set; any later one gets nothing.
struct ScriptedBoard
{
    QTcpServer server;
    QList<QByteArray> streams;
    QList<qsizetype> pauses;
    bool closes = false;
    int connections = 0;

    ScriptedBoard()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            for (; QTcpSocket *socket = server.nextPendingConnection(); ++connections) {
                const QByteArray stream = streams.value(connections);
                const qsizetype pause = pauses.value(connections, stream.size());
                socket->write(stream.left(pause));
                QTimer::singleShot(pause < stream.size() ? 100 : 0, socket, [=, closing = closes || connections < streams.size() - 1] {
                    socket->write(stream.mid(pause));
                    if (closing)
                        socket->disconnectFromHost();
                });
            }
        });
    }
    QString port() const { return QString::number(server.serverPort()); }
};

// The summary line of frames: in all, stored, damaged, hidden, failed, lost at the board.
QString tally(int frames, int stored, int damaged, int hidden, int failed, int lost)
{
    return u"brevant-record: %1 frames, %2 stored, %3 damaged, %4 hidden, %5 failed, %6 lost at the board, M MB in S s"_s
        .arg(frames).arg(stored).arg(damaged).arg(hidden).arg(failed).arg(lost);
}

QString unnamedLosses(int dropped, int connectionsLost)
{
    return u"brevant-record: %1 records dropped for their size, %2 connections lost"_s.arg(dropped).arg(connectionsLost);
}

// Every file of the folder but the index, by name.
QMap<QString, QByteArray> storedFiles(const QString &folder)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : QDir(folder).entryList(QDir::Files))
        if (!name.endsWith(u"index.csv"_s))
            files.insert(name, fileBytes(QDir(folder).filePath(name)));
    return files;
}

QStringList indexRows(const QString &folder)
{
    const QString name = QDir(folder).entryList({u"*index.csv"_s}, QDir::Files).value(0);
    if (name.isEmpty())
        return {};
    QStringList lines = QString::fromUtf8(fileBytes(QDir(folder).filePath(name))).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The arrival time is the only column that changes from run to run.
    const QRegularExpression arrival(uR"(,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,)"_s);
    for (QString &line : lines)
        line.replace(arrival, u",T,"_s);
    return lines;
}

constexpr int Fps = 10;
constexpr int DamageEvery = 4;

// What the simulated board sent the recorder, in order: records, and where it was connected again.
struct Sent
{
    FrameRecord record;
    bool reconnected = false;
};

QJsonValue boardTime(const FrameRecord &record)
{
    return RecordIndex::boardTime(record.timestamp_s, record.timestamp_us);
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

class TestRecorder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        video.pattern().setJpegEncoder(encodeJpeg);
        QVERIFY(commands.listen(QHostAddress::LocalHost, 0));
        commands.setProducibleFormats({0, 1, 2, 3, 4});
        QVERIFY(video.listen(QHostAddress::LocalHost, 0));
        connect(&video, &VideoServer::recordSent, this, [this](const FrameRecord &record) { sent.append({record}); });
        connect(&video, &VideoServer::clientConnected, this, [this] {
            if (!sent.isEmpty())
                sent.append({FrameRecord(), true});
        });
    }

#ifdef __GLIBC__
    // Frame buffers come from the heap, not each mapped afresh (which made storing raw frames 40 % slower).
    void steadyHeap()
    {
        useSteadyHeap();
        const size_t mapped = mallinfo2().hblkhd;
        const QByteArray frame(24 << 20, Qt::Uninitialized);
        QCOMPARE(mallinfo2().hblkhd, mapped);
    }
#endif

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
        QTest::newRow("damaged, dropped, lost, connections closed, rate set") << everything
            << QStringList{u"--reconnect"_s, u"--frames"_s, u"17"_s, u"--fps"_s, QString::number(Fps)} << 0 << QString() << QString();
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
        const QStringList arguments = QStringList{u"--video-port"_s, port, u"--command-port"_s, QString::number(commands.serverPort()),
                                                  u"--summary"_s, summaryFile, u"--quiet"_s} + options + QStringList{folder};
        const RecorderRun run = runRecorder(arguments, [&](QProcess &process) {
            if (stopSignal && QTest::qWaitFor([&] { return indexRows(folder).size() > 2 * DamageEvery + 1; }, RecorderTimeoutMs))
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
            {u"program"_s, u"brevant-record"_s}, {u"version"_s, QStringLiteral(BREVANT_VERSION)},
            {u"arguments"_s, QJsonArray::fromStringList(QStringList{u"--host"_s, u"127.0.0.1"_s} + arguments)},
            {u"board"_s, QJsonObject{{u"host"_s, u"127.0.0.1"_s}, {u"video_port"_s, video.serverPort()},
                                     {u"command_port"_s, commands.serverPort()}}},
            {u"start"_s, QJsonObject{{u"board_time"_s, RecordIndex::boardTime(index.rows.front().frame.boardTimeUs())},
                                     {u"host_time"_s, u"masked"_s}}},
            {u"end"_s, QJsonObject{{u"board_time"_s, RecordIndex::boardTime(index.rows.back().frame.boardTimeUs())},
                                   {u"host_time"_s, u"masked"_s}}},
            {u"duration_s"_s, u"masked"_s},
            {u"frames"_s, QJsonObject{{u"received"_s, received}, {u"stored"_s, received - failed}, {u"damaged"_s, damaged},
                                      {u"hidden"_s, 0}, {u"failed"_s, failed}, {u"lost_at_board"_s, lost}}},
            {u"records_dropped"_s, dropped}, {u"connections_lost"_s, connectionsLost},
            {u"bytes"_s, u"masked"_s}, {u"rates"_s, u"masked"_s},
            {u"timing"_s, QJsonObject{{u"frames"_s, received + dropped},
                                      {u"nominal_period_us"_s, rateSet ? QJsonValue(1000000 / Fps) : u"masked"_s},
                                      {u"nominal_from"_s, rateSet ? u"rate"_s : u"median"_s},
                                      {u"board_jitter"_s, u"masked"_s}, {u"arrival_jitter"_s, u"masked"_s},
                                      {u"relative_latency"_s, u"masked"_s}, {u"late_at_board"_s, 0},
                                      {u"late_on_arrival"_s, late}, {u"lost"_s, lost}, {u"damaged"_s, damaged + dropped},
                                      {u"clock_restarts"_s, 0}, {u"drift_ppm"_s, u"masked"_s}}},
            {u"troubles"_s, troubles}, {u"troubles_left_out"_s, 0},
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

    // Where the summary cannot go once the recording ended, the end says so, and the status says
    // trouble (where it cannot go at all, the recording does not start: a row of failures).
    void summaryGoneAtTheEnd()
    {
        const QString goneLater = temporary.filePath(u"gone/summary.json"_s);
        QVERIFY(QDir().mkpath(temporary.filePath(u"gone"_s)));
        const RecorderRun run = runRecorder({u"--video-port"_s, QString::number(video.serverPort()), u"--summary"_s, goneLater, u"--frames"_s,
                                             u"3"_s, temporary.filePath(u"unwritable"_s)}, [&](QProcess &) {
            QVERIFY(QTest::qWaitFor([&] { return !sent.isEmpty(); }, RecorderTimeoutMs));
            QVERIFY(QDir(temporary.filePath(u"gone"_s)).removeRecursively());
        });
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.errors.size(), 2);
        QCOMPARE(run.errors[0], u"brevant-record: cannot write the summary %1: No such file or directory"_s.arg(goneLater));
        QVERIFY(run.errors[1].startsWith(u"brevant-record: 3 frames, 3 stored"_s));
    }

    void records_data()
    {
        QTest::addColumn<QList<FrameRecord>>("sent");
        QTest::addColumn<QList<int>>("cuts"); // the board closes the connection after these records
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("blocked"); // a folder standing where this file must go
        QTest::addColumn<int>("stopSignal"); // 0: stopped by --frames; SIGXFSZ: by a full disk
        QTest::addColumn<QStringList>("rows");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("errors");
        // A code the board sends but never shows is indexed, not stored, and is no trouble. The third
        // record is large enough to be read from the kernel straight into its frame; the fourth is as
        // wide but not as tall, so its picture cannot be the third's.
        const QList<FrameRecord> grays = {gray(5, 250000), stamped(makeRecord(7, 4, 2, "abcd"), 5, 300000),
                                          gray(5, 350000, 160, 120), gray(5, 450000, 160, 90)};
        const QStringList grayRows{row(0, u"bvtgrab_0.bmp"_s, u"stored"_s, grays[0], u"Gray"_s, u"5.250000"_s),
                                   row(1, QString(), u"hidden"_s, grays[1], u"7"_s, u"5.300000"_s),
                                   row(2, u"bvtgrab_1.bmp"_s, u"stored"_s, grays[2], u"Gray"_s, u"5.350000"_s),
                                   row(3, u"bvtgrab_2.bmp"_s, u"stored"_s, grays[3], u"Gray"_s, u"5.450000"_s)};
        const QStringList allStored{tally(4, 3, 0, 1, 0, 0)};
        // A clean stop: every frame received is in the index and on disk, the summary is written.
        QTest::newRow("gray pictures, SIGINT")
            << grays << QList<int>() << QStringList() << QString() << int(SIGINT) << grayRows << 0 << allStored;
        QTest::newRow("raw payloads, own prefix, SIGTERM") << grays << QList<int>() << QStringList{u"--raw"_s, u"--prefix"_s, u"run-"_s}
            << QString() << int(SIGTERM)
            << QStringList(grayRows).replaceInStrings(u"bvtgrab_"_s, u"run-"_s).replaceInStrings(u".bmp"_s, u".bvt"_s) << 0 << allStored;

        // Board times in tenths of a second from 10 s on.
        const auto grayRun = [](const QList<int> &tenths) {
            QList<FrameRecord> records;
            for (int t : tenths)
                records << gray(10 + t / 10, t % 10 * 100000);
            return records;
        };
        const auto storedRows = [](const QList<FrameRecord> &records) {
            QStringList rows;
            for (int i = 0; i < records.size(); ++i)
                rows << row(i, u"bvtgrab_%1.bmp"_s.arg(i), u"stored"_s, records[i], RecordIndex::formatName(records[i].format),
                            RecordIndex::boardTime(records[i].timestamp_s, records[i].timestamp_us));
            return rows;
        };
        // One Matroska file while format and size stay and the board's clock runs on: rows name it
        // and the frame's place in it.
        const auto inMatroska = [](QStringList rows) {
            int file = -1, place = 0;
            QString shape;
            double time = 0;
            for (QString &line : rows) {
                QStringList columns = line.split(QLatin1Char(','));
                const QString frameShape = columns.mid(3, 3).join(u' '); // format and size
                if (!columns[1].isEmpty() && (frameShape != shape || columns[7].toDouble() < time))
                    shape = frameShape, ++file, place = 0;
                time = columns[1].isEmpty() ? time : columns[7].toDouble();
                if (!columns[1].isEmpty())
                    columns[1] = u"bvtgrab_%1.mkv"_s.arg(file);
                line = (columns << (columns[1].isEmpty() ? QString() : QString::number(place++))).join(u',');
            }
            return rows;
        };

        // A record refused for its size, a hidden code, a header-only record and frames without
        // pixels: one good frame stored after them. Fields are read unsigned.
        FrameRecord badSize = stamped(makeRecord(1, 4, 2), 1, 0);
        badSize.size = -1;
        const QList<FrameRecord> hostile = {badSize, stamped(makeRecord(7, 4, 2, "abcd"), -1, -1),
                                            stamped(makeRecord(12, 4, 2, "not sent"), 1, 0), gray(2, 0, 0, 2), gray(2, 1, 4, 0),
                                            gray(3, 0)};
        const QStringList hostileRows{row(0, QString(), u"hidden"_s, hostile[1], u"7"_s, u"4294971589.967295"_s),
                                      row(1, QString(), u"damaged"_s, hostile[3], u"Gray"_s, u"2.000000"_s),
                                      row(2, QString(), u"damaged"_s, hostile[4], u"Gray"_s, u"2.000001"_s),
                                      row(3, u"bvtgrab_0.bmp"_s, u"stored"_s, hostile[5], u"Gray"_s, u"3.000000"_s)};
        QTest::newRow("hostile bytes") << hostile << QList<int>() << QStringList() << QString() << 0 << hostileRows
            << 3 << QStringList{unnamedLosses(1, 0), tally(4, 1, 2, 1, 0, 0)};

        // The number stays after a failed write, as in the window's capture.
        QTest::newRow("path fails") << grays << QList<int>() << QStringList() << u"bvtgrab_1.bmp"_s << 0
            << QStringList{grayRows[0], grayRows[1], row(2, QString(), u"failed"_s, grays[2], u"Gray"_s, u"5.350000"_s),
                           row(3, QString(), u"failed"_s, grays[3], u"Gray"_s, u"5.450000"_s)}
            << 3 << QStringList{tally(4, 1, 0, 1, 2, 0)};

        const QStringList mkv{u"--mkv"_s};
        const QList<FrameRecord> restarted = {gray(9, 0), gray(9, 100000), gray(1, 0), gray(1, 100000)};
        QTest::newRow("mkv: the board's clock restarts, the next file") << restarted << QList<int>{2}
            << QStringList{u"--mkv"_s, u"--reconnect"_s} << QString() << 0 << inMatroska(storedRows(restarted)) << 0
            << QStringList{unnamedLosses(0, 1), tally(4, 4, 0, 0, 0, 0)};
        QTest::newRow("mkv: the file cannot be made") << grays.mid(0, 1) << QList<int>() << mkv << u"bvtgrab_0.mkv"_s << 0
            << inMatroska({row(0, QString(), u"failed"_s, grays[0], u"Gray"_s, u"5.250000"_s)}) << 1
            << QStringList{u"brevant-record: cannot create %folder/bvtgrab_0.mkv: Is a directory"_s, tally(1, 0, 0, 0, 1, 0)};
        // Four frames a cluster: killed once all are indexed, the file, never closed, holds them all.
        QList<FrameRecord> close, large;
        for (int i = 0; i < 7; ++i)
            close << gray(20, i * 10000), large << gray(30, i * 100000, 256, 256);
        QTest::newRow("mkv: killed") << close << QList<int>() << mkv << QString() << int(SIGKILL)
                                     << inMatroska(storedRows(close)) << -1 << QStringList();
        // A cluster a frame: those before the one the disk refused, the last, are stored and readable;
        // the failure ends the run at once, met at the close after --frames or once the stream pauses.
        const QStringList fullRows = storedRows(large).replaceInStrings(QRegularExpression(u",bvtgrab_6.bmp,stored,"_s), u",,failed,"_s);
        const QStringList fullErrors{u"brevant-record: cannot write %folder/bvtgrab_0.mkv: File too large"_s,
                                     tally(7, 6, 0, 0, 1, 0)};
        QTest::newRow("mkv: full disk at the last frame asked for") << large << QList<int>() << QStringList{u"--mkv"_s, u"--frames"_s, u"7"_s}
            << QString() << int(SIGXFSZ) << inMatroska(fullRows) << 1 << fullErrors;
        const QList<FrameRecord> huge{gray(31, 0, 1024, 512)}; // more than the disk takes
        QTest::newRow("mkv: full disk at the first frame") << huge << QList<int>() << mkv << QString() << int(SIGXFSZ)
            << inMatroska({row(0, QString(), u"failed"_s, huge[0], u"Gray"_s, u"31.000000"_s)}) << 1
            << QStringList{fullErrors[0], tally(1, 0, 0, 0, 1, 0)};
        // The frames of the file a new size closed stay stored when the next file fails at once.
        const QList<FrameRecord> thenHuge = grayRun({0, 1, 2}) << gray(10, 300000, 1024, 512);
        QTest::newRow("mkv: full disk at the next file's first frame") << thenHuge << QList<int>() << mkv << QString() << int(SIGXFSZ)
            << inMatroska(storedRows(thenHuge.mid(0, 3)) << row(3, QString(), u"failed"_s, thenHuge[3], u"Gray"_s, u"10.300000"_s)) << 1
            << QStringList{u"brevant-record: cannot write %folder/bvtgrab_1.mkv: File too large"_s, tally(4, 3, 0, 0, 1, 0)};
        QTest::newRow("mkv: full disk") << large << QList<int>() << mkv << QString() << int(SIGXFSZ) << inMatroska(fullRows) << 1 << fullErrors;

        // Every kind of trouble in one recording, each counted once, in its place; the last frame, a
        // cut-off JPEG judged apart, is stored as received before any other comes.
        const QByteArray pixels(8 * 8 * 3, '\x80');
        const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), 8, 8, 3, 90);
        QList<FrameRecord> together = grayRun({0, 1, 2, 3, 10, 11});
        together << badSize << grays[1] << stamped(makeRecord(0, 8, 8, jpeg.left(200)), 11, 200000);
        QStringList togetherRows = storedRows(together.mid(0, 5));
        togetherRows << row(5, QString(), u"failed"_s, together[5], u"Gray"_s, u"11.100000"_s)
                     << row(6, QString(), u"hidden"_s, grays[1], u"7"_s, u"5.300000"_s)
                     << row(7, u"bvtgrab_5.jpg"_s, u"damaged"_s, together[8], u"JPG"_s, u"11.200000"_s);
        QTest::newRow("all together") << together << QList<int>{4} << QStringList{u"--reconnect"_s} << u"bvtgrab_5.bmp"_s << 0
            << togetherRows << 3 << QStringList{unnamedLosses(1, 1), tally(8, 6, 1, 1, 1, 6)};
    }

    // The whole index, the whole of stderr and the exit status; every file holds exactly what the
    // window's capture writes: payloads as received, BMP pictures at 96 dpi (whose pixels the round
    // trip compares with the frames' own).
    void records()
    {
        QFETCH(QList<FrameRecord>, sent);
        QFETCH(QList<int>, cuts);
        QFETCH(QStringList, options);
        QFETCH(QString, blocked);
        QFETCH(int, stopSignal);
        QFETCH(QStringList, rows);
        QFETCH(int, exitCode);
        QFETCH(QStringList, errors);
        ScriptedBoard board;
        // Garbage of whole words first: the magic search passes over it.
        board.streams = {QByteArray::fromHex("0102030405060708")};
        for (int i = 0; i < sent.size(); ++i) {
            if (cuts.contains(i))
                board.streams << QByteArray();
            // The last record of each connection comes in two parts, its head cut in a field.
            board.pauses.resize(board.streams.size());
            board.pauses.last() = board.streams.last().size() + 14;
            board.streams.last() += sent[i].toBytes();
        }
        const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
        if (!blocked.isEmpty())
            QVERIFY(QDir().mkpath(QDir(folder).filePath(blocked)));

        options << u"--video-port"_s << board.port();
        const bool fullDisk = stopSignal == SIGXFSZ;
        if (!stopSignal)
            options << u"--frames"_s << QString::number(rows.size());
        const RecorderRun run = runRecorder(options << folder, [&](QProcess &process) {
            if (stopSignal && !fullDisk && QTest::qWaitFor([&] { return indexRows(folder).size() > rows.size(); }, RecorderTimeoutMs)
                && process.processId() > 0)
                ::kill(pid_t(process.processId()), stopSignal);
        }, fullDisk ? FullDiskBytes : 0);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.errors, errors.replaceInStrings(u"%folder"_s, folder));
        QCOMPARE(board.connections, cuts.size() + 1);

        const bool matroska = options.contains(u"--mkv"_s);
        QCOMPARE(indexRows(folder), QStringList{QString::fromLatin1(IndexHeader) + (matroska ? ",frame_in_file" : "")} + rows);

        const QMap<QString, QByteArray> files = storedFiles(folder);
        // Row by row, the records that are frames: a payload, and a size that is not refused.
        QList<FrameRecord> frames;
        for (const FrameRecord &r : sent)
            if (r.hasPayload() && r.sizeField() >= 0)
                frames << r;
        QCOMPARE(frames.size(), rows.size());
        int named = 0;
        QMap<QString, QList<FrameRecord>> recorded; // of each Matroska file, its frames in order
        for (int i = 0; i < rows.size(); ++i) {
            const FrameRecord &frame = frames.at(i);
            const QString name = rows.at(i).section(QLatin1Char(','), 1, 1);
            if (name.isEmpty())
                continue;
            if (name.endsWith(QLatin1String(".mkv"))) {
                named += recorded[name].isEmpty();
                recorded[name] << frame;
                continue;
            }
            ++named;
            const QImage picture = QImage::fromData(files.value(name));
            if (name.endsWith(QLatin1String(".bmp")))
                QCOMPARE(QList<int>({ picture.dotsPerMeterX(), picture.dotsPerMeterY() }), QList<int>({ 3780, 3780 })); // 96 dpi
            else
                QCOMPARE(files.value(name), frame.payload);
        }
        // A recording file whose first cluster the disk refused is named by no row and holds no frame.
        for (auto file = files.cbegin(); file != files.cend(); ++file)
            if (file.key().endsWith(u".mkv"_s) && !recorded.contains(file.key()))
                named += !MatroskaReader().open(QDir(folder).filePath(file.key()));
        QCOMPARE(files.size(), named);

        // Each recording file, killed or cut short by the disk, as players read it: the payloads
        // exactly as received (the round trip judges whole recordings' timing and codecs).
        for (auto file = recorded.cbegin(); file != recorded.cend(); ++file) {
            const QString path = QDir(folder).filePath(file.key());
            if (!have(u"ffmpeg"_s) || !have(u"mkvinfo"_s))
                QSKIP("ffmpeg or mkvinfo missing");
            QByteArray payloads;
            for (const FrameRecord &frame : *file)
                payloads += frame.payload;
            QCOMPARE(output(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-i"_s, path, u"-map"_s, u"0:v"_s, u"-c"_s, u"copy"_s,
                                         u"-f"_s, u"rawvideo"_s, u"-"_s}), payloads);
            QVERIFY(output(u"mkvinfo"_s, {path}) != "failed");
        }
    }

    void failures_data()
    {
        // %board and %commands: the ports of the board's servers; %free: a port nobody listens on;
        // %folder: the recording folder; %program: a file.
        QTest::addColumn<QString>("options");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("errors");
        QTest::addColumn<int>("rows"); // -1: no index
        // Refused before anything connects.
        const QString configured = u"--video-port %board --command-port %commands --fps 5 "_s;
        const char *const refused[][2] = {
            {"--colour", "Unknown option 'colour'."}, {"--fps 0", "Invalid --fps: 0 (1..30)"},
            {"--fps 31", "Invalid --fps: 31 (1..30)"}, {"--format rgb", "Unknown --format: rgb (jpeg, gray, uyvy, yuv420 or nv12)"},
            {"--size 640x481", "Unknown --size: 640x481 (640x480, 320x240 or 400x400)"},
            {"--frames 0", "Invalid --frames: 0 (a whole number from 1)"},
            {"--frames ten", "Invalid --frames: ten (a whole number from 1)"},
            {"--seconds -1", "Invalid --seconds: -1 (a number above 0)"}, {"--seconds 2e9", "Invalid --seconds: 2e9 (a number above 0)"},
            {"--host=", "Empty --host."}, {"--wire=", "Empty --wire."},
            {"--prefix a\\b", "Invalid --prefix: a\\b (no folder separators, commas, quotes or line breaks)"},
            {"--video-port 65536", "Invalid --video-port: 65536 (1..65535)"},
            {"--command-port 0", "Invalid --command-port: 0 (1..65535)"},
            {"--prefix a,b", "Invalid --prefix: a,b (no folder separators, commas, quotes or line breaks)"},
            {"--mkv --raw", "--raw and --mkv exclude each other: --mkv always keeps payloads as received."},
            {"--pictures", "--pictures is for --keep-trouble alone: pictures are what is stored without --keep-trouble, --raw and --mkv."},
            {"--keep-trouble 1 --mkv --pictures", "--pictures is for --keep-trouble alone: pictures are what is stored without --keep-trouble, --raw and --mkv."},
            {"second-folder", "Only one FOLDER may be given."}};
        for (const auto &[options, error] : refused)
            QTest::newRow(options) << configured + QLatin1String(options) + u" %folder"_s << 2
                                   << QStringList{u"brevant-record: "_s + QLatin1String(error)} << -1;
        QTest::newRow("no folder") << configured << 2 << QStringList{u"brevant-record: No FOLDER given."_s} << -1;
        QTest::newRow("folder under a file") << configured + u"%program/sub"_s << 2
                                             << QStringList{u"brevant-record: cannot make the folder %program/sub"_s} << -1;

        // Trouble on the way, with a message naming the host and port or the file.
        const QString nothing = tally(0, 0, 0, 0, 0, 0);
        QTest::newRow("refused") << u"--video-port %free %folder"_s << 1
                                 << QStringList{u"brevant-record: cannot connect to 127.0.0.1:%free: Connection refused"_s, nothing} << 0;
        // Configured, the board restarts its stream: refused for longer than that takes, it is given up on.
        QTest::newRow("refused after configuring") << u"--video-port %free --command-port %commands --fps 5 %folder"_s << 1
            << QStringList{u"brevant-record: cannot connect to 127.0.0.1:%free: Connection refused"_s, nothing} << 0;
        QTest::newRow("refused all along, with reconnect") << u"--video-port %free --reconnect --seconds 1 %folder"_s << 1
            << QStringList{u"brevant-record: could not connect to 127.0.0.1:%free at all: Connection refused"_s, nothing} << 0;
        // Refused, it tries again after 0.5 s, 1 s, 2 s: a board that listens from 2 s on is reached
        // by the attempt at 3.5 s.
        QTest::newRow("board listening late, with reconnect")
            << u"--video-port %board --reconnect --frames 1 %folder"_s << 0 << QStringList{tally(1, 1, 0, 0, 0, 0)} << 1;
        QTest::newRow("connection lost") << u"--video-port %board %folder"_s << 1
            << QStringList{u"brevant-record: lost the connection to 127.0.0.1:%board"_s, unnamedLosses(0, 1), tally(1, 1, 0, 0, 0, 0)} << 1;
        QTest::newRow("summary cannot be written") << u"--video-port %board --summary %folder/nowhere/summary.json %folder"_s << 1
            << QStringList{u"brevant-record: cannot write the summary %folder/nowhere/summary.json: No such file or directory"_s} << -1;
        QTest::newRow("index cannot be written") << u"--video-port %board %folder"_s << 1
            << QStringList{u"brevant-record: cannot write the index %folder/bvtgrab_index.csv: Is a directory"_s} << -1;
        QTest::newRow("index on a full disk") << u"--video-port %board --raw --frames 1 %folder"_s << 1
            << QStringList{u"brevant-record: cannot write the index %folder/bvtgrab_index.csv: File too large"_s,
                           tally(1, 1, 0, 0, 0, 0)} << 0;
        QTest::newRow("wire dump cannot be written") << u"--video-port %board --wire %program/dump.wire %folder"_s << 1
            << QStringList{u"brevant-record: cannot write the wire dump %program/dump.wire: Not a directory"_s, nothing} << 0;
        QTest::newRow("wire dump on a full disk") << u"--video-port %board --wire /dev/full --frames 1 %folder"_s << 1
            << QStringList{u"brevant-record: cannot write the wire dump /dev/full: No space left on device"_s,
                           tally(1, 1, 0, 0, 0, 0)} << 1;
        QTest::newRow("command port refused") << u"--video-port %board --command-port %free --fps 5 %folder"_s << 1
            << QStringList{u"brevant-record: cannot configure the board at 127.0.0.1:%free: Connection refused"_s, nothing} << 0;
        QTest::newRow("command port refused all along, with reconnect")
            << u"--video-port %board --command-port %free --fps 5 --reconnect --seconds 1 %folder"_s << 1
            << QStringList{u"brevant-record: could not connect to 127.0.0.1:%board at all: cannot configure the board at "
                           "127.0.0.1:%free: Connection refused"_s, nothing} << 0;
    }

    // Each option at both ends of what it takes, as the recorder goes on to use it.
    void optionsAtTheirLimits()
    {
        const auto taken = [](const QString &line) {
            RecorderOptions options;
            if (!options.parse(QStringList{u"brevant-record"_s} + line.split(u' ')))
                return options.errorText();
            const BoardConfiguration board = options.configuration.value_or(BoardConfiguration());
            return u"%1 %2 %3 frames %4 ms %5 fps %6 format %7 %8x%9"_s.arg(options.host).arg(options.videoPort)
                .arg(options.commandPort).arg(options.frameLimit).arg(options.timeLimitMs).arg(board.fps.value_or(-1))
                .arg(board.format.value_or(-1)).arg(board.width.value_or(-1)).arg(board.height.value_or(-1));
        };
        QCOMPARE(taken(u"--video-port 65535 --command-port 1 --frames 9223372036854775807 --seconds 1e9 --fps 30 "
                       "--format nv12 --size 400x400 f"_s),
                 u"localhost 65535 1 frames 9223372036854775807 ms 1000000000000 fps 30 format 4 400x400"_s);
        QCOMPARE(taken(u"--host h --video-port 1 --command-port 65535 --frames 1 --seconds 0.0001 --fps 1 --format jpeg f"_s),
                 u"h 1 65535 frames 1 ms 1 fps 1 format 0 -1x-1"_s);
        QCOMPARE(taken(u"--seconds 0.0015 --size 320x240 f"_s), u"localhost 5412 4305 frames 0 ms 2 fps -1 format -1 320x240"_s);
    }

    // The index's arrival time is written as Qt writes a UTC time, whatever the time's zone.
    void arrivalTimes()
    {
        const qint64 year10000 = 253402300800000; // 10000-01-01T00:00:00.000Z
        for (const qint64 ms : {qint64(0), qint64(-1), qint64(86399999), qint64(951868799999), year10000 - 1,
                                year10000, qint64(-30610224000001), QDateTime::currentMSecsSinceEpoch()}) {
            for (const QDateTime &time : {QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC),
                                          QDateTime::fromMSecsSinceEpoch(ms, Qt::OffsetFromUTC, -5400)})
                QCOMPARE(RecordIndex::arrivalTime(time), time.toUTC().toString(Qt::ISODateWithMs));
        }
        QCOMPARE(RecordIndex::arrivalTime(QDateTime()), QString());
    }

    // A recording over within its first millisecond has rates of 0, not of a division by zero.
    void ratesOfNoTime()
    {
        QCOMPARE(RecordingSummary(RecorderOptions(), StreamStatistics()).document({}).value(u"rates"_s).toObject(),
                 (QJsonObject{{u"frames_per_s"_s, 0.0}, {u"mb_per_s"_s, 0.0}}));
    }

    void failures()
    {
        QFETCH(QString, options);
        QFETCH(int, exitCode);
        QFETCH(QStringList, errors);
        QFETCH(int, rows);
        ScriptedBoard board;
        const FrameRecord frame = gray(1, 0);
        board.streams = {frame.toBytes()};
        board.closes = QTest::currentDataTag() == QLatin1String("connection lost");
        CommandServer commands;
        QTcpServer closed;
        QVERIFY(commands.listen(QHostAddress::LocalHost, 0) && closed.listen(QHostAddress::LocalHost, 0));
        const QString freePort = QString::number(closed.serverPort());
        closed.close();
        const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
        const auto fill = [&](QString text) {
            return text.replace(u"%board"_s, board.port()).replace(u"%free"_s, freePort).replace(u"%folder"_s, folder)
                .replace(u"%commands"_s, QString::number(commands.serverPort()))
                .replace(u"%program"_s, QStringLiteral(BREVANT_RECORD));
        };
        for (QString &line : errors)
            line = fill(line);
        if (QTest::currentDataTag() == QLatin1String("index cannot be written"))
            QVERIFY(QDir().mkpath(QDir(folder).filePath(u"bvtgrab_index.csv"_s)));
        QStringList arguments = options.split(u' ', Qt::SkipEmptyParts);
        for (QString &argument : arguments)
            argument = fill(argument);
        const bool late = QTest::currentDataTag() == QLatin1String("board listening late, with reconnect");
        const quint16 boardPort = board.server.serverPort();
        if (late) {
            board.server.close();
            QTimer::singleShot(2000, &board.server, [&] { board.server.listen(QHostAddress::LocalHost, boardPort); });
        }

        QElapsedTimer clock;
        clock.start();
        // Room for the index's header line, none for a row.
        const RecorderRun run = runRecorder(arguments, {}, QTest::currentDataTag() == QLatin1String("index on a full disk")
                                                  ? std::strlen(IndexHeader) + 1 : 0);
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(run.errors, errors);
        if (late)
            QVERIFY2(clock.elapsed() >= 3000, qPrintable(QString::number(clock.elapsed())));
        if (rows < 0) { // nothing started
            QCOMPARE(board.connections, 0);
            QVERIFY(commands.requests().isEmpty());
        }
        const QStringList index{QString::fromLatin1(IndexHeader),
                                row(0, u"bvtgrab_0.bmp"_s, u"stored"_s, frame, u"Gray"_s, u"1.000000"_s)};
        QCOMPARE(indexRows(folder), rows < 0 ? QStringList() : index.mid(0, rows + 1));
    }

    // JPEG judging held back: past the frames in hand the socket is not read, yet the event loop
    // runs on, so a SIGTERM is taken at once and the recording ends as soon as they are judged; bytes
    // that came before the board closed are all recorded, and only then is the connection lost.
    void judgingHeldBack_data()
    {
        QTest::addColumn<bool>("closes");
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<bool>("matroska"); // the board sends only the frames in hand, then waits
        QTest::newRow("SIGTERM") << false << int(RecordingSession::MaxFramesInHand) << 0 << false;
        // A frame more than in hand: all that is left is held when reading pauses, only the end to come.
        QTest::newRow("board closes") << true << RecordingSession::MaxFramesInHand + 1 << 1 << false;
        QTest::newRow("mkv: judged after the stream went quiet") << false << int(RecordingSession::MaxFramesInHand) << 0 << true;
    }

    void judgingHeldBack()
    {
        QFETCH(bool, closes);
        QFETCH(int, rows);
        QFETCH(bool, matroska);
        const QByteArray pixels(8 * 8 * 3, '\x40');
        const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), 8, 8, 3, 90);
        ScriptedBoard board;
        board.streams = {QByteArray()};
        QStringList expected{QString::fromLatin1(IndexHeader) + (matroska ? ",frame_in_file" : "")};
        for (int i = 0; i < (closes ? rows : (matroska ? 1 : 3) * RecordingSession::MaxFramesInHand); ++i) {
            const FrameRecord frame = stamped(makeRecord(0, 8, 8, jpeg), 1, i * 100000);
            board.streams[0] += frame.toBytes();
            expected << row(i, matroska ? u"bvtgrab_0.mkv"_s : u"bvtgrab_%1.jpg"_s.arg(i), u"stored"_s, frame, u"JPG"_s,
                            RecordIndex::boardTime(frame.timestamp_s, frame.timestamp_us))
                            + (matroska ? u","_s + QString::number(i) : QString());
        }
        board.closes = closes;

        RecorderOptions options;
        options.host = u"127.0.0.1"_s;
        options.videoPort = board.server.serverPort();
        options.folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
        options.matroska = matroska;
        QVERIFY(QDir().mkpath(options.folder));
        QSemaphore gate;
        Recorder recorder(options, [&gate](FrameDecoder &decoder, const FrameSlot &frame) {
            gate.acquire();
            gate.release();
            return decoder.judge(frame);
        });
        const uint filesBefore = QDir(u"/proc/self/fd"_s).count();
        delete new StopSignals; // made and gone, it leaves no descriptor open
        QCOMPARE(QDir(u"/proc/self/fd"_s).count(), filesBefore);
        StopSignals stopSignals;
        connect(&stopSignals, &StopSignals::stopRequested, &recorder, &Recorder::stop);
        QSignalSpy stopRequested(&stopSignals, &StopSignals::stopRequested);
        QSignalSpy finished(&recorder, &Recorder::finished);
        QVERIFY(recorder.start());
        QTRY_COMPARE_WITH_TIMEOUT(recorder.statistics().counters().framesReceived, quint64(RecordingSession::MaxFramesInHand), 10000);
        if (matroska) {
            // The idle write comes and goes while every frame is being judged; the frames judged
            // after it reach the file a while later all the same, the recording still running.
            QTest::qWait(3 * Recorder::IdleFlushMs);
            gate.release();
            const QString file = QDir(options.folder).filePath(u"bvtgrab_0.mkv"_s);
            QTRY_VERIFY_WITH_TIMEOUT([&] { MatroskaReader reader; return reader.open(file) && reader.frameCount() == rows; }(), 10000);
            QCOMPARE(finished.size(), 0);
        }
        if (!closes) {
            ::raise(SIGTERM);
            QTRY_COMPARE_WITH_TIMEOUT(stopRequested.size(), 1, 10000);
        }
        QCOMPARE(recorder.statistics().counters().framesReceived, quint64(RecordingSession::MaxFramesInHand));
        QVERIFY(matroska || finished.isEmpty()); // judging held back holds the end back
        gate.release();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, 10000);
        QTEST(recorder.exitStatus(), "exitCode");
        QCOMPARE(indexRows(options.folder), expected.mid(0, rows + 1));
        QCOMPARE(storedFiles(options.folder).size(), matroska ? 1 : rows);
    }

    // A board down 2 s after dropping the connection: retries go on until the third reaches it.
    void reconnectsAfterRefusedRetries()
    {
        ScriptedBoard board;
        const FrameRecord first = gray(1, 0), second = gray(1, 100000);
        board.streams = {first.toBytes(), second.toBytes()};
        const quint16 boardPort = board.server.serverPort();
        connect(&board.server, &QTcpServer::newConnection, &board.server, [&] {
            if (board.connections == 1) {
                board.server.close();
                QTimer::singleShot(2000, &board.server, [&] { board.server.listen(QHostAddress::LocalHost, boardPort); });
            }
        });
        const QString folder = temporary.filePath(u"down a while"_s);
        const RecorderRun run = runRecorder({u"--video-port"_s, board.port(), u"--reconnect"_s, u"--frames"_s, u"2"_s, folder});
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.errors, (QStringList{unnamedLosses(0, 1), tally(2, 2, 0, 0, 0, 0)}));
        QCOMPARE(board.connections, 2);
        QCOMPARE(indexRows(folder), (QStringList{QString::fromLatin1(IndexHeader),
                                                 row(0, u"bvtgrab_0.bmp"_s, u"stored"_s, first, u"Gray"_s, u"1.000000"_s),
                                                 row(1, u"bvtgrab_1.bmp"_s, u"stored"_s, second, u"Gray"_s, u"1.100000"_s)}));
    }

    // The exchanges of "Send Values" before the video port is connected, and again before each
    // reconnect.
    void configurationAndReconnect()
    {
        CommandServer commands;
        commands.setProducibleFormats({0, 1, 2, 3, 4});
        commands.setConfiguration({1, 640, 480, 30});
        QVERIFY(commands.listen(QHostAddress::LocalHost, 0));
        VideoServer video;
        VideoFaults faults;
        faults.closeEvery = 3;
        faults.garbageEvery = 2;
        video.setFaults(faults);
        QVERIFY(video.setConfiguration(1, 640, 480, 30));
        // The board restarting its stream: the video port refuses connections until a while after
        // the first configuration, and the recorder keeps trying meanwhile, configuring no more.
        QTcpServer portFinder;
        QVERIFY(portFinder.listen(QHostAddress::LocalHost, 0));
        const quint16 videoPort = portFinder.serverPort();
        portFinder.close();
        bool restarting = false;
        connect(&commands, &CommandServer::configurationApplied, &video, [&](int format, int width, int height, int fps) {
            video.applyConfiguration(format, width, height, fps);
            if (!std::exchange(restarting, true))
                QTimer::singleShot(RestartMs, &video, [&] { QVERIFY(video.listen(QHostAddress::LocalHost, videoPort)); });
        });

        const QString live = temporary.filePath(u"live"_s);
        const RecorderRun run = runRecorder({u"--video-port"_s, QString::number(videoPort), u"--command-port"_s,
                                             QString::number(commands.serverPort()), u"--format"_s, u"uyvy"_s, u"--size"_s,
                                             u"320x240"_s, u"--reconnect"_s, u"--frames"_s, u"5"_s, live});
        // The board's clock ran on while no connection was open: frames are missing by it.
        QCOMPARE(run.exitCode, 3);
        // Values not given keep 30 frames/s.
        const QList<QByteArray> configuration{QByteArray::fromHex("01001e"), QByteArray::fromHex("020002"),
                                              QByteArray::fromHex("030140"), QByteArray::fromHex("0400f0"),
                                              QByteArray::fromHex("050001")};
        QCOMPARE(commands.requests(), configuration + configuration);
        const QStringList rows = indexRows(live);
        QCOMPARE(rows.size(), 6);
        for (const QString &line : rows.mid(1))
            QCOMPARE(line.section(QLatin1Char(','), 2, 6), u"stored,UYVY,320,240,153600"_s);
    }

    // On a terminal the progress line, with the timing of the last 10 s, is rewritten in place and
    // cleared before the summary.
    void progressOnTerminal()
    {
        if (!have(u"script"_s) || QProcess::execute(u"script"_s, {u"-qfec"_s, u"true"_s, u"/dev/null"_s}) != 0)
            QSKIP("no pseudo-terminal here");
        ScriptedBoard board;
        board.streams = {gray(1, 0).toBytes()};
        QProcess terminal;
        terminal.start(u"script"_s, {u"-qfec"_s, u"%1 --host 127.0.0.1 --video-port %2 --frames 3 %3"_s
                       .arg(QStringLiteral(BREVANT_RECORD), board.port(), temporary.filePath(u"terminal"_s)), u"/dev/null"_s});
        QByteArray shown;
        const auto shows = [&](const QString &frames, const QString &jitter) {
            const QRegularExpression line(u"\rbrevant-record: %1 frames \u00B7 \\d+\\.\\d MB/s \u00B7 0 lost \u00B7 0 damaged \u00B7 jitter p99 %2 "
                                          "\u00B7 latency p99 \\d+\\.\\d ms\x1b\\[K"_s.arg(frames, jitter));
            return QTest::qWaitFor([&] { return line.match(QString::fromLocal8Bit(shown += terminal.readAllStandardOutput())).hasMatch(); }, RecorderTimeoutMs);
        };
        QVERIFY(shows(u"1"_s, u"-"_s)); // no interval yet
        QTcpSocket *connection = board.server.findChild<QTcpSocket *>();
        QVERIFY(connection);
        connection->write(gray(1, 100000).toBytes());
        QVERIFY(shows(u"2"_s, u"\\d+\\.\\d ms"_s));
        connection->write(gray(1, 200000).toBytes()); // the third ends the recording
        QVERIFY(QTest::qWaitFor([&] { return terminal.state() == QProcess::NotRunning; }, RecorderTimeoutMs));
        QCOMPARE(terminal.exitCode(), 0);
        shown += terminal.readAllStandardOutput();
        const QString progress = u"(\rbrevant-record: \\d frames [^\x1b]*\x1b\\[K)+\r\x1b\\[K"_s;
        const QString counts = u"brevant-record: 3 frames, 3 stored, 0 damaged, 0 hidden, 0 failed, 0 lost at the board, "_s;
        const QRegularExpression whole(u"\\A"_s + progress + QRegularExpression::escape(counts) + u"\\d+\\.\\d MB in \\d+\\.\\d s\r\n\\z"_s);
        QVERIFY2(whole.match(QString::fromLocal8Bit(shown)).hasMatch(), shown.toPercentEncoding().constData());

        // Quiet for a second, two refresh periods: only the summary.
        board.streams << gray(1, 0).toBytes();
        terminal.start(u"script"_s, {u"-qfec"_s, u"%1 --host 127.0.0.1 --video-port %2 --seconds 1 --quiet %3"_s
                       .arg(QStringLiteral(BREVANT_RECORD), board.port(), temporary.filePath(u"quiet"_s)), u"/dev/null"_s});
        QVERIFY(QTest::qWaitFor([&] { return terminal.state() == QProcess::NotRunning; }, RecorderTimeoutMs));
        shown = terminal.readAllStandardOutput();
        const QRegularExpression summaryOnly(u"\\Abrevant-record: 1 frames, 1 stored, [^\r\x1b]*\r\n\\z"_s);
        QVERIFY2(summaryOnly.match(QString::fromLocal8Bit(shown)).hasMatch(), shown.toPercentEncoding().constData());
    }

private:
    QTemporaryDir temporary;
    VideoServer video;
    CommandServer commands;
    QList<Sent> sent;
};

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
