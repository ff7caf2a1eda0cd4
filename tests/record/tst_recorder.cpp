#include "CommandServer.h"
#include "FileBytes.h"
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
#include <functional>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int ProcessTimeoutMs = 60000;

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

// A board that sends each connection its byte stream at once, then keeps it open or closes it.
struct ScriptedBoard
{
    QTcpServer server;
    QByteArray stream;
    bool closes = false;
    int connections = 0;

    ScriptedBoard()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] {
            for (; QTcpSocket *socket = server.nextPendingConnection(); ++connections) {
                socket->write(stream);
                if (closes)
                    socket->disconnectFromHost();
            }
        });
    }
    QString port() const { return QString::number(server.serverPort()); }
};

struct Run
{
    int exitCode = -1;
    QString errors;
    QString summary() const { return errors.trimmed().section(QLatin1Char('\n'), -1); }
};

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
    QStringList lines = QString::fromUtf8(fileBytes(QDir(folder).filePath(name)))
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // The arrival time is the only column that changes from run to run.
    const QRegularExpression arrival(uR"(,\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,)"_s);
    for (QString &line : lines)
        line.replace(arrival, u",T,"_s);
    return lines;
}

// Runs the recorder to its end; whileRunning, when given, acts on it meanwhile.
Run record(const QStringList &arguments, const std::function<void(QProcess &)> &whileRunning = {})
{
    QProcess process;
    process.start(QStringLiteral(BREVANT_RECORD), QStringList{u"--host"_s, u"127.0.0.1"_s} + arguments);
    if (whileRunning)
        whileRunning(process);
    // One still running is killed when the process object goes.
    Run run;
    if (QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, ProcessTimeoutMs)
        && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

} // namespace

class TestRecorder : public QObject
{
    Q_OBJECT

private slots:
    void records_data();
    void records();
    void failures_data();
    void failures();
    void configurationReconnectAndReplay();

private:
    QTemporaryDir temporary;
};

void TestRecorder::records_data()
{
    QTest::addColumn<QList<FrameRecord>>("sent");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("blocked"); // a folder standing where this file must go
    QTest::addColumn<int>("stopSignal"); // 0: stopped by --frames
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("counts");

    const QList<FrameRecord> grays = {gray(5, 250000), gray(5, 350000), gray(5, 450000)};
    const QStringList grayRows{row(0, u"bvtgrab_0.bmp"_s, u"stored"_s, grays[0], u"Gray"_s, u"5.250000"_s),
                               row(1, u"bvtgrab_1.bmp"_s, u"stored"_s, grays[1], u"Gray"_s, u"5.350000"_s),
                               row(2, u"bvtgrab_2.bmp"_s, u"stored"_s, grays[2], u"Gray"_s, u"5.450000"_s)};
    const QString allStored = u"3 frames, 3 stored, 0 damaged, 0 failed, 0 lost at the board"_s;
    // A clean stop: every frame received is in the index and on disk, the summary is written.
    QTest::newRow("gray pictures, SIGINT")
        << grays << QStringList() << QString() << int(SIGINT) << grayRows << 0 << allStored;
    QTest::newRow("raw payloads, own prefix, SIGTERM")
        << grays << QStringList{u"--raw"_s, u"--prefix"_s, u"run-"_s} << QString() << int(SIGTERM)
        << QStringList(grayRows).replaceInStrings(u"bvtgrab_"_s, u"run-"_s).replaceInStrings(u".bmp"_s, u".bvt"_s)
        << 0 << allStored;

    // A cut-off JPEG is still stored as received, and counts as stored and damaged. JPEG frames
    // are judged apart, yet rows and numbers keep their order, and the last frame is stored
    // before any other comes.
    const QByteArray pixels(8 * 8 * 3, '\x80');
    const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), 8, 8, 3, 90);
    const QList<FrameRecord> jpegs = {stamped(makeRecord(0, 8, 8, jpeg), 7, 0), gray(7, 100000),
                                      stamped(makeRecord(0, 8, 8, jpeg.left(200)), 7, 200000)};
    QTest::newRow("jpeg cut off, numbering across formats, SIGINT")
        << jpegs << QStringList() << QString() << int(SIGINT)
        << QStringList{row(0, u"bvtgrab_0.jpg"_s, u"stored"_s, jpegs[0], u"JPG"_s, u"7.000000"_s),
                       row(1, u"bvtgrab_1.bmp"_s, u"stored"_s, jpegs[1], u"Gray"_s, u"7.100000"_s),
                       row(2, u"bvtgrab_2.jpg"_s, u"damaged"_s, jpegs[2], u"JPG"_s, u"7.200000"_s)}
        << 3 << u"3 frames, 3 stored, 1 damaged, 0 failed, 0 lost at the board"_s;

    // Bytes an encoder leaves before the end marker, of which libjpeg warns: the picture is whole.
    const QByteArray padded = QByteArray(jpeg).insert(jpeg.size() - 2, QByteArray(64, '\0'));
    const QList<FrameRecord> paddedJpegs = {stamped(makeRecord(0, 8, 8, padded), 8, 0)};
    QTest::newRow("jpeg padded before its end")
        << paddedJpegs << QStringList() << QString() << 0
        << QStringList{row(0, u"bvtgrab_0.jpg"_s, u"stored"_s, paddedJpegs[0], u"JPG"_s, u"8.000000"_s)}
        << 0 << u"1 frames, 1 stored, 0 damaged, 0 failed, 0 lost at the board"_s;

    const QList<FrameRecord> gap = {gray(10, 0), gray(10, 100000), gray(10, 200000),
                                    gray(10, 300000), gray(10, 600000)};
    QStringList gapRows;
    for (int i = 0; i < gap.size(); ++i)
        gapRows << row(i, u"bvtgrab_%1.bmp"_s.arg(i), u"stored"_s, gap[i], u"Gray"_s,
                       u"10.%1"_s.arg(gap[i].timestamp_us, 6, 10, QLatin1Char('0')));
    QTest::newRow("lost at the board") << gap << QStringList() << QString() << 0 << gapRows
                                       << 3 << u"5 frames, 5 stored, 0 damaged, 0 failed, 2 lost at the board"_s;

    // A record refused for its size, a code that is never shown, a header-only record and a frame
    // without pixels: one good frame stored after them. Fields are read unsigned.
    FrameRecord badSize = stamped(makeRecord(1, 4, 2), 1, 0);
    badSize.size = -1;
    const QList<FrameRecord> hostile = {badSize, stamped(makeRecord(7, 4, 2, "abcd"), -1, 1500000),
                                        stamped(makeRecord(12, 4, 2, "not sent"), 1, 0), gray(2, 0, 0, 2), gray(3, 0)};
    QTest::newRow("hostile bytes")
        << hostile << QStringList() << QString() << 0
        << QStringList{row(0, QString(), u"damaged"_s, hostile[1], u"7"_s, u"4294967296.500000"_s),
                       row(1, QString(), u"damaged"_s, hostile[3], u"Gray"_s, u"2.000000"_s),
                       row(2, u"bvtgrab_0.bmp"_s, u"stored"_s, hostile[4], u"Gray"_s, u"3.000000"_s)}
        << 3 << u"3 frames, 1 stored, 2 damaged, 0 failed, 0 lost at the board"_s;

    // The number stays after a failed write, as in the window's capture.
    QTest::newRow("path fails")
        << grays << QStringList() << u"bvtgrab_1.bmp"_s << 0
        << QStringList{grayRows[0], row(1, QString(), u"failed"_s, grays[1], u"Gray"_s, u"5.350000"_s),
                       row(2, QString(), u"failed"_s, grays[2], u"Gray"_s, u"5.450000"_s)}
        << 3 << u"3 frames, 1 stored, 0 damaged, 2 failed, 0 lost at the board"_s;
}

// Every file holds exactly what the window's capture writes: payloads as received, BMP pictures
// of the frame's own pixels.
void TestRecorder::records()
{
    QFETCH(QList<FrameRecord>, sent);
    QFETCH(QStringList, options);
    QFETCH(QString, blocked);
    QFETCH(int, stopSignal);
    QFETCH(QStringList, rows);
    QFETCH(int, exitCode);
    QFETCH(QString, counts);

    ScriptedBoard board;
    // Garbage of whole words first: the magic search passes over it.
    board.stream = QByteArray::fromHex("0102030405060708");
    for (const FrameRecord &r : sent)
        board.stream += r.toBytes();
    const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
    if (!blocked.isEmpty())
        QVERIFY(QDir().mkpath(QDir(folder).filePath(blocked)));

    options << u"--video-port"_s << board.port();
    if (!stopSignal)
        options << u"--frames"_s << QString::number(rows.size());
    const Run run = record(options << folder, [&](QProcess &process) {
        if (stopSignal && QTest::qWaitFor([&] { return indexRows(folder).size() > rows.size(); }, ProcessTimeoutMs)
            && process.processId() > 0)
            ::kill(pid_t(process.processId()), stopSignal);
    });
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(QRegularExpression(u"^brevant-record: "_s + counts + u", \\d+\\.\\d MB in \\d+\\.\\d s$"_s)
                 .match(run.summary()).hasMatch(), qPrintable(run.summary()));

    QCOMPARE(indexRows(folder),
             QStringList{u"record,file,status,format,width,height,payload_bytes,board_time,arrival_time,clum,cpos"_s} + rows);

    const QMap<QString, QByteArray> files = storedFiles(folder);
    // Row by row, the records that are frames: a payload, and a size that is not refused.
    QList<FrameRecord> frames;
    for (const FrameRecord &r : sent)
        if (r.hasPayload() && r.sizeField() >= 0)
            frames << r;
    QCOMPARE(frames.size(), rows.size());
    int named = 0;
    for (int i = 0; i < rows.size(); ++i) {
        const FrameRecord &frame = frames.at(i);
        const QString name = rows.at(i).section(QLatin1Char(','), 1, 1);
        if (name.isEmpty())
            continue;
        ++named;
        if (name.endsWith(QLatin1String(".bmp"))) {
            const QImage pixels(reinterpret_cast<const uchar *>(frame.payload.constData()),
                                frame.width, frame.height, frame.width, QImage::Format_Grayscale8);
            QCOMPARE(QImage::fromData(files.value(name)).convertToFormat(QImage::Format_Grayscale8), pixels);
        } else {
            QCOMPARE(files.value(name), frame.payload);
        }
    }
    QCOMPARE(files.size(), named);
}

void TestRecorder::failures_data()
{
    // %board and %commands: the ports of the board's servers; %free: a port nobody listens on;
    // %folder: the recording folder; %program: a file.
    QTest::addColumn<QString>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("named"); // in the error lines

    // Refused before anything connects.
    const QString configured = u"--video-port %board --command-port %commands --fps 5 "_s;
    const char *const refused[] = {"--colour", "--fps 0", "--fps 31", "--format rgb",
                                   "--size 640x481", "--frames 0", "--frames ten", "--seconds -1",
                                   "--video-port 65536", "--command-port 0", "--prefix a,b",
                                   "second-folder"};
    for (const char *options : refused)
        QTest::newRow(options) << configured + QLatin1String(options) + u" %folder"_s << 2 << u"brevant-record: "_s;
    QTest::newRow("no folder") << configured << 2 << u"brevant-record: "_s;
    QTest::newRow("folder under a file") << configured + u"%program/sub"_s << 2 << u"%program/sub"_s;

    // Trouble on the way, with a message naming the host and port or the file.
    QTest::newRow("refused") << u"--video-port %free %folder"_s << 1 << u"127.0.0.1:%free"_s;
    QTest::newRow("refused all along, with reconnect")
        << u"--video-port %free --reconnect --seconds 1 %folder"_s << 1 << u"127.0.0.1:%free"_s;
    QTest::newRow("connection lost") << u"--video-port %board %folder"_s << 1 << u"127.0.0.1:%board"_s;
    QTest::newRow("index cannot be written")
        << u"--video-port %board %folder"_s << 1 << u"%folder/bvtgrab_index.csv"_s;
    QTest::newRow("command port refused")
        << u"--video-port %board --command-port %free --fps 5 %folder"_s << 1 << u"127.0.0.1:%free"_s;
}

void TestRecorder::failures()
{
    QFETCH(QString, options);
    QFETCH(int, exitCode);
    QFETCH(QString, named);
    ScriptedBoard board;
    board.stream = gray(1, 0).toBytes();
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
    named = fill(named);
    if (named.endsWith(u"index.csv"_s))
        QVERIFY(QDir().mkpath(named));
    QStringList arguments = options.split(u' ', Qt::SkipEmptyParts);
    for (QString &argument : arguments)
        argument = fill(argument);

    const Run run = record(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.errors.contains(named), qPrintable(run.errors));
    if (exitCode == 2) {
        QCOMPARE(board.connections, 0);
        QVERIFY(commands.requests().isEmpty());
    }
    if (board.closes)
        QCOMPARE(indexRows(folder).size(), 2);
}

// The exchanges of "Send Values" before the video port is connected, and again before each
// reconnect. The wire dump of a connection, played back, is recorded as it was live.
void TestRecorder::configurationReconnectAndReplay()
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
    connect(&commands, &CommandServer::configurationApplied, &video, &VideoServer::applyConfiguration);
    QVERIFY(video.listen(QHostAddress::LocalHost, 0));

    const QString live = temporary.filePath(u"live"_s);
    const Run run = record({u"--video-port"_s, QString::number(video.serverPort()), u"--command-port"_s,
                            QString::number(commands.serverPort()), u"--format"_s, u"uyvy"_s, u"--size"_s,
                            u"320x240"_s, u"--reconnect"_s, u"--wire"_s, live + u".wire"_s, u"--frames"_s, u"5"_s, live});
    // A lost connection may have cost frames.
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
    QVERIFY(QFile::exists(live + u".wire.1"_s));

    WireDump dump;
    QVERIFY(dump.load(live + u".wire"_s));
    QCOMPARE(dump.records().size(), 3);
    WireReplay replay(dump, WireReplay::Rate::Max, false);
    VideoServer replaying;
    replaying.setReplay(&replay);
    QVERIFY(replaying.listen(QHostAddress::LocalHost, 0));
    const QString replayed = temporary.filePath(u"replayed"_s);
    const Run replayRun = record({u"--video-port"_s, QString::number(replaying.serverPort()), u"--wire"_s,
                                  replayed + u".wire"_s, u"--frames"_s, u"3"_s, replayed});
    QVERIFY(replayRun.exitCode == 0 || replayRun.exitCode == 3);
    QCOMPARE(indexRows(replayed), rows.mid(0, 4));
    QMap<QString, QByteArray> liveFiles = storedFiles(live);
    liveFiles.remove(u"bvtgrab_3.bmp"_s);
    liveFiles.remove(u"bvtgrab_4.bmp"_s);
    QCOMPARE(storedFiles(replayed), liveFiles);
    QCOMPARE(fileBytes(replayed + u".wire"_s), fileBytes(live + u".wire"_s));
}

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
