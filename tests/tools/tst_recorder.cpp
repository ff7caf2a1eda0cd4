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

namespace {

constexpr int ProcessTimeoutMs = 60000;
const QString ClumHex = QStringLiteral("00000001000000020000000300000004");
const QString CposHex = QStringLiteral("0000000afffffff6000000070000000b");

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
                       QStringLiteral("T"), ClumHex, CposHex}
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
    return QDir(folder).entryList({QStringLiteral("*index.csv")}, QDir::Files).value(0);
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
        line.replace(arrival, QStringLiteral(",T,"));
    return lines;
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
    void start(QProcess &process, const QStringList &arguments);
    Run finish(QProcess &process);
    Run record(const QStringList &arguments);

    QTemporaryDir temporary;
};

void TestRecorder::start(QProcess &process, const QStringList &arguments)
{
    process.setProgram(QStringLiteral(BREVANT_RECORD));
    process.setArguments(QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1")} + arguments);
    process.start();
}

Run TestRecorder::finish(QProcess &process)
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

Run TestRecorder::record(const QStringList &arguments)
{
    QProcess process;
    start(process, arguments);
    return finish(process);
}

void TestRecorder::records_data()
{
    QTest::addColumn<QList<FrameRecord>>("sent");
    QTest::addColumn<QByteArray>("extraBytes"); // sent before the records
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("blocked"); // a folder standing where this file must go
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("counts");

    const auto S = [](const char *text) { return QString::fromLatin1(text); };
    const QList<FrameRecord> grays = {gray(5, 250000), gray(5, 350000), gray(5, 450000)};
    QTest::newRow("gray pictures")
        << grays << QByteArray() << QStringList() << QString()
        << QStringList{row(0, S("bvtgrab_0.bmp"), S("stored"), grays[0], S("Gray"), S("5.250000")),
                       row(1, S("bvtgrab_1.bmp"), S("stored"), grays[1], S("Gray"), S("5.350000")),
                       row(2, S("bvtgrab_2.bmp"), S("stored"), grays[2], S("Gray"), S("5.450000"))}
        << 0 << S("3 frames, 3 stored, 0 damaged, 0 failed, 0 lost at the board");
    QTest::newRow("raw payloads, own prefix")
        << grays << QByteArray() << QStringList{S("--raw"), S("--prefix"), S("run-")} << QString()
        << QStringList{row(0, S("run-0.bvt"), S("stored"), grays[0], S("Gray"), S("5.250000")),
                       row(1, S("run-1.bvt"), S("stored"), grays[1], S("Gray"), S("5.350000")),
                       row(2, S("run-2.bvt"), S("stored"), grays[2], S("Gray"), S("5.450000"))}
        << 0 << S("3 frames, 3 stored, 0 damaged, 0 failed, 0 lost at the board");

    // A cut-off JPEG is still stored as received, and counts as stored and damaged.
    const QList<FrameRecord> jpegs = {jpeg(7, 0), jpeg(7, 100000, jpegPayload().left(200)),
                                      gray(7, 200000)};
    QTest::newRow("jpeg cut off, numbering across formats")
        << jpegs << QByteArray() << QStringList() << QString()
        << QStringList{row(0, S("bvtgrab_0.jpg"), S("stored"), jpegs[0], S("JPG"), S("7.000000")),
                       row(1, S("bvtgrab_1.jpg"), S("damaged"), jpegs[1], S("JPG"), S("7.100000")),
                       row(2, S("bvtgrab_2.bmp"), S("stored"), jpegs[2], S("Gray"), S("7.200000"))}
        << 3 << S("3 frames, 3 stored, 1 damaged, 0 failed, 0 lost at the board");

    const QList<FrameRecord> gap = {gray(10, 0), gray(10, 100000), gray(10, 200000),
                                    gray(10, 300000), gray(10, 600000)};
    QStringList gapRows;
    for (int i = 0; i < gap.size(); ++i)
        gapRows << row(i, S("bvtgrab_%1.bmp").arg(i), S("stored"), gap[i], S("Gray"),
                       S("10.%1").arg(gap[i].timestamp_us, 6, 10, QLatin1Char('0')));
    QTest::newRow("lost at the board") << gap << QByteArray() << QStringList() << QString() << gapRows
                                       << 3 << S("5 frames, 5 stored, 0 damaged, 0 failed, 2 lost at the board");

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
        << QStringList{row(0, QString(), S("damaged"), hidden, S("7"), S("4294967296.500000")),
                       row(1, QString(), S("damaged"), noPixels, S("Gray"), S("2.000000")),
                       row(2, S("bvtgrab_0.bmp"), S("stored"), hostile[4], S("Gray"), S("3.000000"))}
        << 3 << S("3 frames, 1 stored, 2 damaged, 0 failed, 0 lost at the board");

    // The number stays after a failed write, as in the window's capture.
    QTest::newRow("path fails")
        << grays << QByteArray() << QStringList() << S("bvtgrab_1.bmp")
        << QStringList{row(0, S("bvtgrab_0.bmp"), S("stored"), grays[0], S("Gray"), S("5.250000")),
                       row(1, QString(), S("failed"), grays[1], S("Gray"), S("5.350000")),
                       row(2, QString(), S("failed"), grays[2], S("Gray"), S("5.450000"))}
        << 3 << S("3 frames, 1 stored, 0 damaged, 2 failed, 0 lost at the board");
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

    const Run run = record(options + QStringList{QStringLiteral("--video-port"), board.port(),
                                                 QStringLiteral("--frames"), QString::number(rows.size()),
                                                 folder});
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(run.summary().startsWith(QStringLiteral("brevant-record: ") + counts + QStringLiteral(", ")),
             qPrintable(run.summary()));
    QVERIFY(QRegularExpression(QStringLiteral(" \\d+\\.\\d MB in \\d+\\.\\d s$")).match(run.summary()).hasMatch());

    QStringList expectedRows{QStringLiteral("record,file,status,format,width,height,payload_bytes,"
                                            "board_time,arrival_time,clum,cpos")};
    expectedRows += rows;
    const QStringList written = indexRows(folder);
    QCOMPARE(written, expectedRows);

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
            const QImage picture(path);
            QCOMPARE(picture.size(), QSize(frame.width, frame.height));
            for (int i = 0; i < frame.width * frame.height; ++i)
                QCOMPARE(qGray(picture.pixel(i % frame.width, i / frame.width)), uchar(frame.payload[i]));
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), frame.payload);
        }
    }
    files.sort();
    named.sort();
    QCOMPARE(files, named);
}

void TestRecorder::usageErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    const QString folder = temporary.filePath(QStringLiteral("usage"));
    const auto withFolder = [&](QStringList arguments) { return arguments << folder; };
    QTest::newRow("unknown option") << withFolder({QStringLiteral("--colour")});
    QTest::newRow("no folder") << QStringList();
    QTest::newRow("two folders") << withFolder({folder + QStringLiteral("2")});
    QTest::newRow("fps 0") << withFolder({QStringLiteral("--fps"), QStringLiteral("0")});
    QTest::newRow("fps 31") << withFolder({QStringLiteral("--fps"), QStringLiteral("31")});
    QTest::newRow("format") << withFolder({QStringLiteral("--format"), QStringLiteral("rgb")});
    QTest::newRow("size") << withFolder({QStringLiteral("--size"), QStringLiteral("640x481")});
    QTest::newRow("frames 0") << withFolder({QStringLiteral("--frames"), QStringLiteral("0")});
    QTest::newRow("frames text") << withFolder({QStringLiteral("--frames"), QStringLiteral("ten")});
    QTest::newRow("seconds") << withFolder({QStringLiteral("--seconds"), QStringLiteral("-1")});
    QTest::newRow("video port") << withFolder({QStringLiteral("--video-port"), QStringLiteral("65536")});
    QTest::newRow("command port") << withFolder({QStringLiteral("--command-port"), QStringLiteral("0")});
    QTest::newRow("prefix with a comma") << withFolder({QStringLiteral("--prefix"), QStringLiteral("a,b")});
    QTest::newRow("folder under a file") << QStringList{QString::fromLatin1(BREVANT_RECORD) + QStringLiteral("/sub")};
}

// Refused before anything connects.
void TestRecorder::usageErrors()
{
    QFETCH(QStringList, arguments);
    ScriptedBoard board;
    CommandServer commands;
    QVERIFY(commands.listen(QHostAddress::LocalHost, 0));
    const Run run = record(QStringList{QStringLiteral("--video-port"), board.port(),
                                       QStringLiteral("--command-port"), QString::number(commands.serverPort()),
                                       QStringLiteral("--fps"), QStringLiteral("5")}
                           + arguments);
    QCOMPARE(run.exitCode, 2);
    QVERIFY(run.summary().startsWith(QStringLiteral("brevant-record: ")));
    QCOMPARE(board.connections, 0);
    QVERIFY(commands.requests().isEmpty());
}

void TestRecorder::troubles_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::newRow("refused") << QStringLiteral("refused");
    QTest::newRow("connection lost") << QStringLiteral("lost");
    QTest::newRow("index cannot be written") << QStringLiteral("index");
    QTest::newRow("command port refused") << QStringLiteral("command");
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
    const QString folder = temporary.filePath(QStringLiteral("trouble-") + trouble);
    const QString indexPath = QDir(folder).filePath(QStringLiteral("bvtgrab_index.csv"));

    QStringList arguments{QStringLiteral("--video-port"), board.port(), folder};
    QString named = QStringLiteral("127.0.0.1:") + board.port();
    if (trouble == QLatin1String("refused")) {
        arguments[1] = freePort;
        named = QStringLiteral("127.0.0.1:") + freePort;
    } else if (trouble == QLatin1String("lost")) {
        QObject::connect(&board.server, &QTcpServer::newConnection, &board.server, [&board] {
            for (QTcpSocket *socket : board.server.findChildren<QTcpSocket *>())
                socket->disconnectFromHost();
        });
    } else if (trouble == QLatin1String("index")) {
        QVERIFY(QDir().mkpath(indexPath));
        named = indexPath;
    } else {
        arguments << QStringLiteral("--command-port") << freePort << QStringLiteral("--fps")
                  << QStringLiteral("5");
        named = QStringLiteral("127.0.0.1:") + freePort;
    }
    const Run run = record(arguments);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.errorLines.join(QLatin1Char('\n')).contains(named), qPrintable(run.errorLines.join(QLatin1Char('\n'))));
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
    QByteArray stream;
    for (int i = 0; i < 4; ++i)
        stream += gray(20, i * 100000).toBytes();
    board.streams = {stream};
    const QString folder = temporary.filePath(QString::fromLatin1(QTest::currentDataTag()));
    QProcess process;
    start(process, {QStringLiteral("--video-port"), board.port(), QStringLiteral("--raw"), folder});
    QTRY_COMPARE_WITH_TIMEOUT(indexRows(folder).size(), 5, ProcessTimeoutMs);
    ::kill(pid_t(process.processId()), signal);
    const Run run = finish(process);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.summary().startsWith(QStringLiteral(
        "brevant-record: 4 frames, 4 stored, 0 damaged, 0 failed, 0 lost at the board, ")));
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

    const QString folder = temporary.filePath(QStringLiteral("configured"));
    const QString wire = temporary.filePath(QStringLiteral("configured.wire"));
    const Run run = record({QStringLiteral("--video-port"), QString::number(video.serverPort()),
                            QStringLiteral("--command-port"), QString::number(commands.serverPort()),
                            QStringLiteral("--format"), QStringLiteral("uyvy"), QStringLiteral("--size"),
                            QStringLiteral("320x240"), QStringLiteral("--reconnect"), QStringLiteral("--wire"),
                            wire, QStringLiteral("--frames"), QStringLiteral("5"), folder});
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
        QCOMPARE(line.section(QLatin1Char(','), 2, 6), QStringLiteral("stored,UYVY,320,240,153600"));
    QVERIFY(QFile::exists(wire));
    QVERIFY(QFile::exists(wire + QStringLiteral(".1")));
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
    const QString liveFolder = temporary.filePath(QStringLiteral("live"));
    const QString liveWire = temporary.filePath(QStringLiteral("live.wire"));
    const QStringList common{QStringLiteral("--frames"), QStringLiteral("6"), QStringLiteral("--raw")};
    const Run liveRun = record(common + QStringList{QStringLiteral("--video-port"), QString::number(live.serverPort()),
                                                    QStringLiteral("--wire"), liveWire, liveFolder});
    QVERIFY(liveRun.exitCode == 0 || liveRun.exitCode == 3);

    WireDump dump;
    QVERIFY(dump.load(liveWire));
    QCOMPARE(dump.records().size(), 6);
    WireReplay replay(dump, WireReplay::Rate::Max, false);
    VideoServer replaying;
    replaying.setReplay(&replay);
    QVERIFY(replaying.listen(QHostAddress::LocalHost, 0));
    const QString replayFolder = temporary.filePath(QStringLiteral("replayed"));
    const QString replayWire = temporary.filePath(QStringLiteral("replayed.wire"));
    const Run replayRun = record(common + QStringList{QStringLiteral("--video-port"), QString::number(replaying.serverPort()),
                                                      QStringLiteral("--wire"), replayWire, replayFolder});
    QCOMPARE(replayRun.exitCode, liveRun.exitCode);
    QCOMPARE(replayRun.summary().section(QStringLiteral(" in "), 0, 0),
             liveRun.summary().section(QStringLiteral(" in "), 0, 0));

    QCOMPARE(indexRows(replayFolder), indexRows(liveFolder));
    QStringList files = QDir(liveFolder).entryList(QDir::Files);
    QCOMPARE(QDir(replayFolder).entryList(QDir::Files), files);
    files.removeOne(indexName(liveFolder));
    const auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    for (const QString &name : files)
        QCOMPARE(contents(QDir(replayFolder).filePath(name)), contents(QDir(liveFolder).filePath(name)));
    QCOMPARE(contents(replayWire), contents(liveWire));
}

QTEST_GUILESS_MAIN(TestRecorder)
#include "tst_recorder.moc"
