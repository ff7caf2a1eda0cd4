#include "CommandServer.h"
#include "FrameRecord.h"
#include "JpegEncoder.h"
#include "Records.h"
#include "VideoServer.h"
#include "WireDump.h"
#include "WireReplay.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QTemporaryDir>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int ProcessTimeoutMs = 60000;
const QString ClumHex = u"00000001000000020000000300000004"_s;
const QString CposHex = u"0000000afffffff6000000070000000b"_s;

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

QByteArray jpegPayload()
{
    const QByteArray pixels(8 * 8 * 3, '\x80');
    return encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), 8, 8, 3, 90);
}

FrameRecord jpeg(qint32 seconds, qint32 microseconds, const QByteArray &payload = jpegPayload())
{
    return stamped(makeRecord(0, 8, 8, payload), seconds, microseconds);
}

// An index row as expected; the arrival time is checked apart.
QString row(int record, const QString &file, const QString &status, const FrameRecord &r,
            const QString &format, const QString &boardTime)
{
    return QStringList{QString::number(record), file, status, format, QString::number(r.width),
                       QString::number(r.height), QString::number(r.payload.size()), boardTime,
                       u"T"_s, ClumHex, CposHex}
        .join(QLatin1Char(','));
}

// A board that sends each connection its byte stream at once and keeps it open.
struct ScriptedBoard
{
    QTcpServer server;
    QList<QByteArray> streams;
    int connections = 0;

    ScriptedBoard()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            while (QTcpSocket *socket = server.nextPendingConnection())
                socket->write(streams.value(connections++));
        });
    }
    QString port() const { return QString::number(server.serverPort()); }
};

struct Run
{
    int exitCode = -1;
    QStringList errorLines;
    QString summary() const { return errorLines.value(errorLines.size() - 1); }
};

QString indexName(const QString &folder)
{
    return QDir(folder).entryList({u"*index.csv"_s}, QDir::Files).value(0);
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QStringList indexRows(const QString &folder)
{
    QFile file(QDir(folder).filePath(indexName(folder)));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The arrival time is the only column that changes from run to run.
    const QRegularExpression arrival(QStringLiteral(
        ",\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z,"));
    for (QString &line : lines)
        line.replace(arrival, u",T,"_s);
    return lines;
}

void start(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(BREVANT_RECORD));
    process.setArguments(QStringList{u"--host"_s, u"127.0.0.1"_s} + arguments);
    process.start();
}

Run finish(QProcess &process)
{
    Run run;
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, ProcessTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errorLines = QString::fromLocal8Bit(process.readAllStandardError()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    return run;
}

Run record(const QStringList &arguments)
{
    QProcess process;
    start(process, arguments);
    return finish(process);
}

} // namespace

class TestRecorder : public QObject
{
    Q_OBJECT

private slots:
    void records_data();
    void records();
    void usageErrors_data();
    void usageErrors();
    void troubles_data();
    void troubles();
    void stopSignals_data();
    void stopSignals();
    void configurationAndReconnect();
    void wireDumpReplays();

private:
    QTemporaryDir temporary;
};

void TestRecorder::records_data()
{
    QTest::addColumn<QList<FrameRecord>>("sent");
    QTest::addColumn<QByteArray>("extraBytes"); // sent before the records
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("blocked"); // a folder standing where this file must go
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("counts");

    const QList<FrameRecord> grays = {gray(5, 250000), gray(5, 350000), gray(5, 450000)};
    const QStringList grayRows{row(0, u"bvtgrab_0.bmp"_s, u"stored"_s, grays[0], u"Gray"_s, u"5.250000"_s),
                               row(1, u"bvtgrab_1.bmp"_s, u"stored"_s, grays[1], u"Gray"_s, u"5.350000"_s),
                               row(2, u"bvtgrab_2.bmp"_s, u"stored"_s, grays[2], u"Gray"_s, u"5.450000"_s)};
    const QString allStored = u"3 frames, 3 stored, 0 damaged, 0 failed, 0 lost at the board"_s;
    QTest::newRow("gray pictures") << grays << QByteArray() << QStringList() << QString() << grayRows << 0 << allStored;
    QTest::newRow("raw payloads, own prefix")
        << grays << QByteArray() << QStringList{u"--raw"_s, u"--prefix"_s, u"run-"_s} << QString()
        << QStringList(grayRows).replaceInStrings(u"bvtgrab_"_s, u"run-"_s).replaceInStrings(u".bmp"_s, u".bvt"_s)
        << 0 << allStored;

    // A cut-off JPEG is still stored as received, and counts as stored and damaged.
    const QList<FrameRecord> jpegs = {jpeg(7, 0), jpeg(7, 100000, jpegPayload().left(200)),
                                      gray(7, 200000)};
    QTest::newRow("jpeg cut off, numbering across formats")
        << jpegs << QByteArray() << QStringList() << QString()
        << QStringList{row(0, u"bvtgrab_0.jpg"_s, u"stored"_s, jpegs[0], u"JPG"_s, u"7.000000"_s),
                       row(1, u"bvtgrab_1.jpg"_s, u"damaged"_s, jpegs[1], u"JPG"_s, u"7.100000"_s),
                       row(2, u"bvtgrab_2.bmp"_s, u"stored"_s, jpegs[2], u"Gray"_s, u"7.200000"_s)}
        << 3 << u"3 frames, 3 stored, 1 damaged, 0 failed, 0 lost at the board"_s;

    const QList<FrameRecord> gap = {gray(10, 0), gray(10, 100000), gray(10, 200000),
                                    gray(10, 300000), gray(10, 600000)};
    QStringList gapRows;
    for (int i = 0; i < gap.size(); ++i)
        gapRows << row(i, u"bvtgrab_%1.bmp"_s.arg(i), u"stored"_s, gap[i], u"Gray"_s,
                       u"10.%1"_s.arg(gap[i].timestamp_us, 6, 10, QLatin1Char('0')));
    QTest::newRow("lost at the board") << gap << QByteArray() << QStringList() << QString() << gapRows
                                       << 3 << u"5 frames, 5 stored, 0 damaged, 0 failed, 2 lost at the board"_s;

    // Garbage, a record refused for its size, a code that is never shown, a header-only record
    // and a frame without pixels: one good frame stored among them. Fields are read unsigned.
    FrameRecord badSize = gray(1, 0);
    badSize.size = -1;
    badSize.payload.clear();
    FrameRecord headerOnly = gray(1, 0);
    headerOnly.format = 12;
    const FrameRecord hidden = stamped(makeRecord(7, 4, 2, "abcd"), -1, 1500000);
    const FrameRecord noPixels = gray(2, 0, 0, 2);
    const QList<FrameRecord> hostile = {badSize, hidden, headerOnly, noPixels, gray(3, 0)};
    QTest::newRow("hostile bytes")
        << hostile << QByteArray::fromHex("0102030405060708") << QStringList() << QString()
        << QStringList{row(0, QString(), u"damaged"_s, hidden, u"7"_s, u"4294967296.500000"_s),
                       row(1, QString(), u"damaged"_s, noPixels, u"Gray"_s, u"2.000000"_s),
                       row(2, u"bvtgrab_0.bmp"_s, u"stored"_s, hostile[4], u"Gray"_s, u"3.000000"_s)}
        << 3 << u"3 frames, 1 stored, 2 damaged, 0 failed, 0 lost at the board"_s;

    // The number stays after a failed write, as in the window's capture.
    QTest::newRow("path fails")
        << grays << QByteArray() << QStringList() << u"bvtgrab_1.bmp"_s
        << QStringList{grayRows[0], row(1, QString(), u"failed"_s, grays[1], u"Gray"_s, u"5.350000"_s),
                       row(2, QString(), u"failed"_s, grays[2], u"Gray"_s, u"5.450000"_s)}
        << 3 << u"3 frames, 1 stored, 0 damaged, 2 failed, 0 lost at the board"_s;
}

// Every file holds exactly what the window's capture writes: payloads as received, BMP pictures
// of the frame's own pixels.
void TestRecorder::records()
{
    QFETCH(QList<FrameRecord>, sent);
    QFETCH(QByteArray, extraBytes);
    QFETCH(QStringList, options);
    QFETCH(QString, blocked);
    QFETCH(QStringList, rows);
    QFETCH(int, exitCode);
    QFETCH(QString, counts);

    ScriptedBoard board;
    QByteArray stream = extraBytes;
    for (const FrameRecord &r : sent)
        stream += r.toBytes();
    board.streams = {stream};
    const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
    if (!blocked.isEmpty())
        QVERIFY(QDir().mkpath(QDir(folder).filePath(blocked)));

    const Run run = record(options + QStringList{u"--video-port"_s, board.port(), u"--frames"_s,
                                                 QString::number(rows.size()), folder});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(QRegularExpression(u"^brevant-record: "_s + counts + u", \\d+\\.\\d MB in \\d+\\.\\d s$"_s)
                 .match(run.summary()).hasMatch(), qPrintable(run.summary()));

    QCOMPARE(indexRows(folder),
             QStringList{u"record,file,status,format,width,height,payload_bytes,board_time,arrival_time,clum,cpos"_s} + rows);

    QStringList files = QDir(folder).entryList(QDir::Files);
    QVERIFY(files.removeOne(indexName(folder)));
    // Row by row, the records that are frames: a payload, and a size that is not refused.
    QList<FrameRecord> frames;
    for (const FrameRecord &r : sent)
        if (r.hasPayload() && r.sizeField() >= 0)
            frames << r;
    QCOMPARE(frames.size(), rows.size());
    QStringList named;
    for (int i = 0; i < rows.size(); ++i) {
        const FrameRecord &frame = frames.at(i);
        const QString name = rows.at(i).section(QLatin1Char(','), 1, 1);
        if (name.isEmpty())
            continue;
        named << name;
        const QString path = QDir(folder).filePath(name);
        if (name.endsWith(QLatin1String(".bmp"))) {
            const QImage pixels(reinterpret_cast<const uchar *>(frame.payload.constData()),
                                frame.width, frame.height, frame.width, QImage::Format_Grayscale8);
            QCOMPARE(QImage(path).convertToFormat(QImage::Format_Grayscale8), pixels);
        } else {
            QCOMPARE(contents(path), frame.payload);
        }
    }
    files.sort();
    named.sort();
    QCOMPARE(files, named);
}

void TestRecorder::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString folder = temporary.filePath(u"usage"_s);
    const char *const refused[] = {"--colour", "--fps 0", "--fps 31", "--format rgb",
                                   "--size 640x481", "--frames 0", "--frames ten", "--seconds -1",
                                   "--video-port 65536", "--command-port 0", "--prefix a,b",
                                   "second-folder"};
    for (const char *options : refused)
        QTest::newRow(options) << QString::fromLatin1(options).split(QLatin1Char(' ')) + QStringList{folder};
    QTest::newRow("no folder") << QStringList();
    QTest::newRow("folder under a file") << QStringList{QStringLiteral(BREVANT_RECORD "/sub")};
}

// Refused before anything connects.
void TestRecorder::usageErrors()
{
    QFETCH(QStringList, arguments);
    ScriptedBoard board;
    CommandServer commands;
    QVERIFY(commands.listen(QHostAddress::LocalHost, 0));
    const Run run = record(QStringList{u"--video-port"_s, board.port(), u"--command-port"_s,
                                       QString::number(commands.serverPort()), u"--fps"_s, u"5"_s} + arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.summary().startsWith(u"brevant-record: "_s));
    QCOMPARE(board.connections, 0);
    QVERIFY(commands.requests().isEmpty());
}

void TestRecorder::troubles_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::newRow("refused") << u"refused"_s;
    QTest::newRow("connection lost") << u"lost"_s;
    QTest::newRow("index cannot be written") << u"index"_s;
    QTest::newRow("command port refused") << u"command"_s;
    QTest::newRow("refused all along, with reconnect") << u"retried"_s;
}

// Status 1, with a message naming the host and port or the file.
void TestRecorder::troubles()
{
    QFETCH(QString, trouble);
    ScriptedBoard board;
    board.streams = {gray(1, 0).toBytes()};
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
    const QString freePort = QString::number(closed.serverPort());
    closed.close();
    const QString folder = temporary.filePath(u"trouble-"_s + trouble);
    const QString indexPath = QDir(folder).filePath(u"bvtgrab_index.csv"_s);

    QStringList arguments{u"--video-port"_s, board.port(), folder};
    QString named = u"127.0.0.1:"_s + board.port();
    if (trouble == QLatin1String("refused") || trouble == QLatin1String("retried")) {
        if (trouble == QLatin1String("retried"))
            arguments << u"--reconnect"_s << u"--seconds"_s << u"1"_s;
        arguments[1] = freePort;
        named = u"127.0.0.1:"_s + freePort;
    } else if (trouble == QLatin1String("lost")) {
        QObject::connect(&board.server, &QTcpServer::newConnection, &board.server, [&board] {
            for (QTcpSocket *socket : board.server.findChildren<QTcpSocket *>())
                socket->disconnectFromHost();
        });
    } else if (trouble == QLatin1String("index")) {
        QVERIFY(QDir().mkpath(indexPath));
        named = indexPath;
    } else {
        arguments << u"--command-port"_s << freePort << u"--fps"_s << u"5"_s;
        named = u"127.0.0.1:"_s + freePort;
    }
    const Run run = record(arguments);
    QCOMPARE(run.exitCode, 1);
    const QString errors = run.errorLines.join(QLatin1Char('\n'));
    QVERIFY2(errors.contains(named), qPrintable(errors));
    if (trouble == QLatin1String("lost"))
        QCOMPARE(indexRows(folder).size(), 2);
}

void TestRecorder::stopSignals_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGTERM") << int(SIGTERM);
}

// A clean stop: every frame received is in the index and on disk, the summary is written.
void TestRecorder::stopSignals()
{
    QFETCH(int, signal);
    ScriptedBoard board;
    board.streams = {gray(20, 0).toBytes() + gray(20, 100000).toBytes() + gray(20, 200000).toBytes()
                     + gray(20, 300000).toBytes()};
    const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QProcess process;
    start(process, {u"--video-port"_s, board.port(), u"--raw"_s, folder});
    QTRY_COMPARE_WITH_TIMEOUT(indexRows(folder).size(), 5, ProcessTimeoutMs);
    ::kill(pid_t(process.processId()), signal);
    const Run run = finish(process);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.summary().startsWith(u"brevant-record: 4 frames, 4 stored, 0 damaged, 0 failed, 0 lost at the board, "_s));
    QCOMPARE(QDir(folder).entryList(QDir::Files).size(), 5);
}

// The exchanges of "Send Values" before the video port is connected, and again before each
// reconnect.
void TestRecorder::configurationAndReconnect()
{
    CommandServer commands;
    commands.setProducibleFormats({0, 1, 2, 3, 4});
    commands.setConfiguration({1, 640, 480, 30});
    QVERIFY(commands.listen(QHostAddress::LocalHost, 0));
    VideoServer video;
    VideoFaults faults;
    faults.closeEvery = 3;
    video.setFaults(faults);
    QVERIFY(video.setConfiguration(1, 640, 480, 30));
    connect(&commands, &CommandServer::configurationApplied, &video, &VideoServer::applyConfiguration);
    QVERIFY(video.listen(QHostAddress::LocalHost, 0));

    const QString folder = temporary.filePath(u"configured"_s);
    const QString wire = temporary.filePath(u"configured.wire"_s);
    const Run run = record({u"--video-port"_s, QString::number(video.serverPort()), u"--command-port"_s,
                            QString::number(commands.serverPort()), u"--format"_s, u"uyvy"_s, u"--size"_s,
                            u"320x240"_s, u"--reconnect"_s, u"--wire"_s, wire, u"--frames"_s, u"5"_s, folder});
    // A lost connection may have cost frames.
    QCOMPARE(run.exitCode, 3);
    // Values not given keep 30 frames/s.
    const QList<QByteArray> configuration{QByteArray::fromHex("01001e"), QByteArray::fromHex("020002"),
                                          QByteArray::fromHex("030140"), QByteArray::fromHex("0400f0"),
                                          QByteArray::fromHex("050001")};
    QCOMPARE(commands.requests(), configuration + configuration);
    const QStringList rows = indexRows(folder);
    QCOMPARE(rows.size(), 6);
    for (const QString &line : rows.mid(1))
        QCOMPARE(line.section(QLatin1Char(','), 2, 6), u"stored,UYVY,320,240,153600"_s);
    QVERIFY(QFile::exists(wire) && QFile::exists(wire + u".1"_s));
}

// What was recorded from a wire dump played back is what was recorded live, byte for byte.
void TestRecorder::wireDumpReplays()
{
    VideoServer live;
    VideoFaults faults;
    faults.garbageEvery = 2;
    live.setFaults(faults);
    QVERIFY(live.setConfiguration(1, 64, 48, 30));
    QVERIFY(live.listen(QHostAddress::LocalHost, 0));
    const QString liveFolder = temporary.filePath(u"live"_s);
    const QString liveWire = temporary.filePath(u"live.wire"_s);
    const QStringList common{u"--frames"_s, u"6"_s, u"--raw"_s};
    const Run liveRun = record(common + QStringList{u"--video-port"_s, QString::number(live.serverPort()),
                                                    u"--wire"_s, liveWire, liveFolder});
    QVERIFY(liveRun.exitCode == 0 || liveRun.exitCode == 3);

    WireDump dump;
    QVERIFY(dump.load(liveWire));
    QCOMPARE(dump.records().size(), 6);
    WireReplay replay(dump, WireReplay::Rate::Max, false);
    VideoServer replaying;
    replaying.setReplay(&replay);
    QVERIFY(replaying.listen(QHostAddress::LocalHost, 0));
    const QString replayFolder = temporary.filePath(u"replayed"_s);
    const QString replayWire = temporary.filePath(u"replayed.wire"_s);
    const Run replayRun = record(common + QStringList{u"--video-port"_s, QString::number(replaying.serverPort()),
                                                      u"--wire"_s, replayWire, replayFolder});
    QCOMPARE(replayRun.exitCode, liveRun.exitCode);
    QCOMPARE(replayRun.summary().section(u" in "_s, 0, 0), liveRun.summary().section(u" in "_s, 0, 0));

    QCOMPARE(indexRows(replayFolder), indexRows(liveFolder));
    QStringList files = QDir(liveFolder).entryList(QDir::Files);
    QCOMPARE(QDir(replayFolder).entryList(QDir::Files), files);
    files.removeOne(indexName(liveFolder));
    for (const QString &name : files)
        QCOMPARE(contents(QDir(replayFolder).filePath(name)), contents(QDir(liveFolder).filePath(name)));
    QCOMPARE(contents(replayWire), contents(liveWire));
}

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
