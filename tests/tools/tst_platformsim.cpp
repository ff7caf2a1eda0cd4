#include "FrameParser.h"
#include "FramePixel.h"
#include "FrameRecord.h"
#include "PlatformApplications.h"
#include "Records.h"
#include "StreamStatistics.h"
#include "StreamTiming.h"
#include "TestPattern.h"
#include "VideoServer.h"
#include "WireDump.h"
#include "WireReplay.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

namespace {

constexpr int NetworkTimeoutMs = 10000;
// How far this machine's scheduling may move a frame, for the figures that depend on it.
constexpr qint64 SchedulingSlackUs = 40000;
const QByteArray FakeJpeg = QByteArray("\xff\xd8\xff\xe0") + QByteArray(92, 'j') + "\xff\xd9";

// The frames the stream client's parser makes of what arrives.
struct TestClient
{
    QTcpSocket socket;
    FrameParser parser;
    StreamStatistics statistics;
    QList<FrameSlot> frames;

    explicit TestClient(quint16 port)
    {
        parser.setDevice(&socket);
        parser.setStatistics(&statistics);
        parser.onFrameReady = [this] { frames << parser.completedSlot(); };
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] { parser.process(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool closed() const { return socket.state() == QAbstractSocket::UnconnectedState; }
};

QByteArray record(qint32 seconds, qint32 microseconds, const QByteArray &payload)
{
    FrameRecord r = makeRecord(1, 4, 2, payload, seconds);
    r.timestamp_us = microseconds;
    return r.toBytes();
}

using Rgb = std::array<int, 3>;

// Frame n's pattern. Gray: a ramp across, inverted under a bar of a sixteenth of the width.
// Colour: eight bars over three quarters of the height, then a grey ramp, and over the bars a
// white-framed black square. Bar and square move a 128th of the width a frame. The frame's number
// in white 3 x 5 digits on a black box at the top left.
Rgb patternPixel(int format, int x, int y, int width, int height, int n)
{
    static constexpr Rgb Bars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                    {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    static const char *const Font[5] = {"### .#. ### ### #.# ### ### ### ### ###",  // digit d's row at 4 d
                                        "#.# ##. ..# ..# #.# #.. #.. ..# #.# #.#",
                                        "#.# .#. ### ### ### ### ### .#. ### ###",
                                        "#.# .#. #.. ..# ..# ..# #.# .#. #.# ..#",
                                        "### ### ### ### ..# ### ### .#. ### ###"};
    const Rgb white{255, 255, 255}, black{0, 0, 0};
    const QByteArray number = QByteArray::number(n);
    const int scale = std::max(1, std::min(width, height) / 60), cx = x / scale - 3, cy = y / scale - 3;
    if (cx >= -1 && cx < 4 * number.size() && cy >= -1 && cy < 6)
        return cx >= 0 && cx % 4 < 3 && cy >= 0 && cy < 5 && Font[cy][4 * (number[cx / 4] - '0') + cx % 4] == '#' ? white : black;
    const int ramp = x * 255 / (width - 1), left = n * std::max(1, width / 128) % width;
    if (format == TestPattern::Gray) {
        const int grey = x >= left && x < left + width / 16 ? 255 - 255 * (ramp >= 128) : ramp;
        return {grey, grey, grey};
    }
    const int side = std::max(2, std::min(width, height) / 5), border = std::max(1, side / 8);
    const int top = (height * 3 / 4 - side) / 2;
    if (x >= left && x < left + side && y >= top && y < top + side)
        return x >= left + border && x < left + side - border && y >= top + border && y < top + side - border ? black : white;
    return y < height * 3 / 4 ? Bars[x * 8 / width] : Rgb{ramp, ramp, ramp};
}

// The video and command ports of the simulator's first line, as captures 1 and 2.
QRegularExpressionMatch listeningPorts(const QByteArray &printed)
{
    return QRegularExpression(QStringLiteral(":(\\d+) .* port (\\d+)\n")).match(QString::fromUtf8(printed));
}

// A Gray frame for the platform's applications; of W x H, the central region is columns and rows 2..5.
using Frame = std::vector<uint8_t>;
constexpr int W = 8, H = 8;

// Pixel i holds i * scale (mod 256), then the given pixels their values.
Frame ramp(int scale, std::initializer_list<std::pair<int, uint8_t>> pixels = {})
{
    Frame frame(W * H);
    for (int i = 0; i < W * H; ++i)
        frame[size_t(i)] = uint8_t(i * scale);
    for (const auto &[index, value] : pixels)
        frame[size_t(index)] = value;
    return frame;
}

QString describe(const TimingFigures &figures)
{
    return QLatin1Char('\n') + figures.text();
}

} // namespace

Q_DECLARE_METATYPE(Frame)
Q_DECLARE_METATYPE(VideoFaults)
Q_DECLARE_METATYPE(WireReplay::Rate)

class TestPlatformSim : public QObject
{
    Q_OBJECT

private slots:
    // Records go out exactly as the server reports them, stamped with the wall clock. A new
    // configuration closes every connection, and the next client gets the new format from frame 0.
    void streamsAndRestarts()
    {
        QVERIFY(start(TestPattern::Gray, 64, 48));
        QSignalSpy sent(server.get(), &VideoServer::recordSent);
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        server->sendFrames(3);
        QTRY_COMPARE_WITH_TIMEOUT(received().size(), 3, NetworkTimeoutMs);
        for (int i = 0; i < 3; ++i) {
            const FrameSlot &r = received().at(i);
            const auto record = sent.at(i).at(0).value<FrameRecord>();
            QCOMPARE(r.payload, record.payload);
            QCOMPARE(QByteArray(r.CLum, 16) + QByteArray(r.CPos, 16), record.CLum + record.CPos);
            QCOMPARE(QList<int>({r.format, r.width, r.height, r.size}), QList<int>({1, 64, 48, 3072}));
            QVERIFY(r.timestamp_s >= before - 1 && r.timestamp_s <= QDateTime::currentSecsSinceEpoch());
            QVERIFY(r.timestamp_us >= 0 && r.timestamp_us < 1000000);
        }
        QVERIFY(received().at(0).payload != received().at(1).payload);

        QSignalSpy restarted(server.get(), &VideoServer::streamRestarted);
        QVERIFY(!server->applyConfiguration(TestPattern::Nv12, 6, 5, 30));
        QVERIFY(server->applyConfiguration(TestPattern::Uyvy, 32, 16, 0));
        QCOMPARE(restarted.size(), 1);
        QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);
        client = std::make_unique<TestClient>(server->serverPort());
        server->sendFrames(1);
        QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, NetworkTimeoutMs);
        const FrameSlot &r = received().at(0);
        QCOMPARE(QList<int>({r.format, r.width, r.height, r.size}), QList<int>({2, 32, 16, 1024}));
        QCOMPARE(r.payload, TestPattern().payload(TestPattern::Uyvy, 32, 16, 0));

        // The gyroscope's three rates, each its own, and temperature drift both ways, a step at most a frame;
        // the light stays within 300 +- 80 lux, with its red, green and blue parts.
        QSignalSpy drift(server.get(), &VideoServer::recordSent);
        server->sendFrames(300);
        QTRY_COMPARE_WITH_TIMEOUT(drift.size(), 300, NetworkTimeoutMs);
        for (const QList<QVariant> &sent : drift) {
            const QByteArray light = sent.at(0).value<FrameRecord>().CLum;
            const int lux = qFromBigEndian<qint32>(light.constData());
            QVERIFY2(lux >= 220 && lux <= 380, qPrintable(QString::number(lux)));
            QCOMPARE(light, FrameRecord::sensorBlock(lux, lux * 2 / 5, lux / 2, lux / 4));
        }
        QList<QList<int>> axes;
        for (int v = 0; v < 4; ++v) {
            const int step = v < 3 ? 4 : 1, low = v < 3 ? -2000 : 3000, high = v < 3 ? 2000 : 4500;
            QList<int> values;
            for (const QList<QVariant> &sent : drift)
                values << qFromBigEndian<qint32>(sent.at(0).value<FrameRecord>().CPos.constData() + 4 * v);
            QSet<int> ways;
            for (int i = 1; i < values.size(); ++i) {
                QVERIFY(values[i] >= low && values[i] <= high && std::abs(values[i] - values[i - 1]) <= step);
                ways << (values[i] > values[i - 1]) - (values[i] < values[i - 1]);
            }
            QVERIFY2(ways.contains(1) && ways.contains(-1), qPrintable(QString::number(v)));
            axes << values;
        }
        QVERIFY(axes[0] != axes[1] && axes[1] != axes[2] && axes[0] != axes[2]);
    }

    void patternSamples_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("frames");
        const QSize twoPixelDots(254, 128); // the digits drawn two pixels a dot
        QTest::newRow("gray, every digit and two") << int(TestPattern::Gray) << twoPixelDots << 12;
        QTest::newRow("uyvy") << int(TestPattern::Uyvy) << twoPixelDots << 2;
        QTest::newRow("yuv420") << int(TestPattern::Yuv420) << twoPixelDots << 2;
        QTest::newRow("nv12") << int(TestPattern::Nv12) << twoPixelDots << 2;
        QTest::newRow("uyvy, the smallest square") << int(TestPattern::Uyvy) << QSize(8, 8) << 2;
        QTest::newRow("nv12, the ramp the last row") << int(TestPattern::Nv12) << QSize(8, 4) << 2;
        // Level 128 lies at x = 129, which the bar reaches at frame 57.
        QTest::newRow("gray, the bar over the middle level") << int(TestPattern::Gray) << QSize(257, 8) << 60;
    }

    // The first frames show the pattern, sample for sample.
    void patternSamples()
    {
        QFETCH(int, format);
        QFETCH(QSize, size);
        QFETCH(int, frames);
        const int Width = size.width(), Height = size.height();

        QVERIFY(start(format, Width, Height));
        server->sendFrames(frames);
        QTRY_COMPARE_WITH_TIMEOUT(received().size(), frames, NetworkTimeoutMs);
        QStringList wrong;
        for (int n = 0; n < frames; ++n) {
            const FrameSlot &frame = received().at(n);
            QCOMPARE(qint64(frame.payload.size()), TestPattern::payloadSize(format, Width, Height));
            for (int y = 0; y < Height; ++y) {
                for (int x = 0; x < Width; ++x) {
                    const auto [r, g, b] = patternPixel(format, x, y, Width, Height, n);
                    const FramePixel got = framePixelAt(frame, x, y);
                    // BT.601 in integers; chroma of the rounded mean colour of the pixels sharing it.
                    QList<int> want{ 16 + ((66 * r + 129 * g + 25 * b + 128) >> 8) }, samples{ got.y };
                    if (format == TestPattern::Gray) {
                        want = { r }, samples = { got.level };
                    } else {
                        const int sharing = format == TestPattern::Uyvy ? 2 : 4;
                        int sum[3] = {};
                        for (int i = 0; i < sharing; ++i) {
                            const auto [pr, pg, pb] = patternPixel(format, (x & ~1) + i % 2, (y & ~1) + i / 2, Width, Height, n);
                            sum[0] += pr, sum[1] += pg, sum[2] += pb;
                        }
                        const int mr = (sum[0] + sharing / 2) / sharing, mg = (sum[1] + sharing / 2) / sharing,
                                  mb = (sum[2] + sharing / 2) / sharing;
                        want << 128 + ((-38 * mr - 74 * mg + 112 * mb + 128) >> 8) << 128 + ((112 * mr - 94 * mg - 18 * mb + 128) >> 8);
                        samples << got.u << got.v;
                    }
                    if (samples != want)
                        wrong << QStringLiteral("frame %1 (%2,%3)").arg(n).arg(x).arg(y);
                }
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 20).join(QStringLiteral("; "))));
    }

    // Frames leave at the asked rate by the board's own clock. A busy machine makes a frame late,
    // never the schedule fast, so only the first frame's lateness may shorten the span.
    void pacedByBoardClock()
    {
        constexpr int Fps = 25, Intervals = 20;
        QVERIFY(start(TestPattern::Gray, 16, 8));
        QVERIFY(server->applyConfiguration(TestPattern::Gray, 16, 8, Fps));
        QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);
        client = std::make_unique<TestClient>(server->serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(received().size() > Intervals, NetworkTimeoutMs);
        const auto boardUs = [this](int i) {
            return qint64(received().at(i).timestamp_s) * 1000000 + received().at(i).timestamp_us;
        };
        const qint64 periodUs = 1000000 / Fps;
        const qint64 span = boardUs(Intervals) - boardUs(0);
        QVERIFY2(span >= Intervals * periodUs - periodUs / 2 && span < 2 * Intervals * periodUs,
                 qPrintable(QString::number(span)));
    }

    // A viewer that stops reading cannot hold up the end of a run of a set number of frames: its
    // connection is cut when the finishing grace is over, and the run ends, once.
    void stuckViewer()
    {
        VideoServer video;
        // The largest it makes; a side longer, either way, it refuses.
        QVERIFY(!video.setConfiguration(TestPattern::Gray, 4097, 16, 30) && !video.setConfiguration(TestPattern::Gray, 16, 4097, 30));
        QVERIFY(video.setConfiguration(TestPattern::Gray, 4096, 4096, 30) && video.listen(QHostAddress::LocalHost, 0));
        QTcpSocket viewer;
        viewer.setReadBufferSize(1); // takes a byte, then nothing more from the kernel
        viewer.connectToHost(QHostAddress::LocalHost, video.serverPort());
        QTRY_COMPARE_WITH_TIMEOUT(video.clientCount(), 1, NetworkTimeoutMs);
        QSignalSpy finished(&video, &VideoServer::finished);
        video.setFrameLimit(3); // of 16 MiB each: more than the kernel holds
        QVERIFY(finished.wait(VideoServer::FinishTimeoutMs + NetworkTimeoutMs));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(video.statistics().framesProduced, qint64(3));
        viewer.setReadBufferSize(0); // reading again, it finds its connection cut
        QTRY_COMPARE_WITH_TIMEOUT(viewer.state(), QAbstractSocket::UnconnectedState, NetworkTimeoutMs);
    }

    // Motion detection switched on over the command port: each Gray frame that follows is its
    // difference from the frame before it as produced; the first, with none before it, is as produced.
    // Told to be verbose, the simulator shows the command as it comes, not only when it ends.
    void applicationOnTheFrames()
    {
        QProcess simulator;
        simulator.start(QStringLiteral(BREVANT_SIMULATOR), QStringLiteral("--video-port 0 --command-port 0 --width 64 --height 48 -v --frames 240 --seed 7").split(u' '));
        QByteArray printed;
        QTRY_VERIFY_WITH_TIMEOUT((printed += simulator.readAllStandardOutput()).contains('\n'), NetworkTimeoutMs);
        const QRegularExpressionMatch ports = listeningPorts(printed);
        QTcpSocket commands;
        commands.connectToHost(QHostAddress::LocalHost, quint16(ports.captured(2).toUInt()));
        commands.write(QByteArray::fromHex("0b0001"));
        QTRY_COMPARE_WITH_TIMEOUT(commands.bytesAvailable(), qint64(BoardProtocol::CommandReplyBytes), NetworkTimeoutMs);
        QCOMPARE(commands.readAll().at(2), char(BoardProtocol::CommandDone));
        QTRY_VERIFY_WITH_TIMEOUT((printed += simulator.readAllStandardOutput()).endsWith("\nCommand 11 1\n"), NetworkTimeoutMs);
        client = std::make_unique<TestClient>(quint16(ports.captured(1).toUInt()));
        QTRY_VERIFY_WITH_TIMEOUT(received().size() >= 3, NetworkTimeoutMs);
        for (quint32 n = 0; n < 3; ++n) {
            QByteArray expected = TestPattern().payload(TestPattern::Gray, 64, 48, n);
            const QByteArray before = n > 0 ? TestPattern().payload(TestPattern::Gray, 64, 48, n - 1) : QByteArray();
            QCOMPARE(applyApplication(BoardProtocol::CommandMotionDetection, reinterpret_cast<uint8_t *>(expected.data()), size_t(expected.size()),
                                      reinterpret_cast<const uint8_t *>(before.constData()), size_t(before.size()), 64, 48), n > 0);
            QCOMPARE(received().at(int(n)).payload, expected);
        }
        const auto sensors = [this] { QByteArray s; for (int n = 0; n < 3; ++n) s += QByteArray(received().at(n).CPos, BoardProtocol::SensorBlockBytes); return s; };
        const QByteArray seeded = sensors();
        // Every few seconds, what it made and sent.
        const QRegularExpression statistics("\nFrames: \\d+ produced, \\d+ records intact, 0 damaged, 0 skipped; 1 clients\n");
        QTRY_VERIFY_WITH_TIMEOUT(statistics.match(printed += simulator.readAllStandardOutput()).hasMatch(), NetworkTimeoutMs);
        commands.write(QByteArray::fromHex("030140" "0400f0" "050001")); // 320x240, applied
        QTRY_VERIFY_WITH_TIMEOUT((printed += simulator.readAllStandardOutput()).contains("\nStream restarted: gray 320x240 at 30 fps\n"), NetworkTimeoutMs);
        client = std::make_unique<TestClient>(quint16(ports.captured(1).toUInt())); // frames are made for clients
        QVERIFY(simulator.waitForFinished(NetworkTimeoutMs)); // at its 240th frame
        QCOMPARE(simulator.exitCode(), 0);
        QVERIFY(start(TestPattern::Gray, 64, 48)); // seeded 7 too: the same random sensor values
        for (int n = 0; n < 3; ++n)
            server->sendFrame();
        QTRY_COMPARE_WITH_TIMEOUT(received().size(), 3, NetworkTimeoutMs);
        QCOMPARE(sensors(), seeded);
    }

    void commandLine_data()
    {
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QList<int>>("formats"); // of the frames a client receives; none: no client
        QTest::addColumn<int>("exitCode");       // -1: runs until stopped
        QTest::addColumn<QString>("output");     // %V, %C: its ports; %P: the client's; %D: the dump
        QTest::addColumn<QString>("errors");
        QTest::addColumn<QByteArray>("dump"); // the file %D
        const QString listening = QStringLiteral("Video stream listening on 127.0.0.1:%V (%1); commands on port %C\n");
        const QString client = QStringLiteral("Video client %1: 127.0.0.1:%P\n");
        // Bad usage: one line saying what was wrong, before anything listens.
        const auto usage = [](const char *name, const QString &arguments, const QString &message) {
            QTest::newRow(name) << arguments << QList<int>{} << 2 << QString() << message + '\n' << QByteArray();
        };
        usage("unknown option", "--colour red", "Unknown option 'colour'.");
        usage("missing value", "--fps", "Missing value after '--fps'.");
        usage("address", "--address board", "Invalid --address: board");
        usage("format", "--format rgb", "Unknown --format: rgb (gray, uyvy, yuv420, nv12 or jpeg)");
        usage("port", "--video-port 65536", "Invalid --video-port: 65536 (0..65535)");
        usage("command port", "--command-port 65536", "Invalid --command-port: 65536 (0..65535)");
        usage("reply shape", "--command-reply slow", "Unknown --command-reply: slow (normal, no-reply, truncated, pieces, long)");
        usage("seed", "--seed x", "Invalid --seed: x");
        usage("fault", "--fault-close-every -1", "Invalid --fault-close-every: -1 (0..2147483647)");
        usage("width", "--width 0", "Invalid --width: 0 (1..4096)");
        usage("height", "--height 4097", "Invalid --height: 4097 (1..4096)");
        usage("rate", "--fps 1001", "Invalid --fps: 1001 (1..1000)");
        usage("quality", "--quality 101", "Invalid --quality: 101 (1..100)");
        usage("frames", "--frames -1", "Invalid --frames: -1 (0..2147483647)");
        usage("close chance", "--fault-close-chance 101", "Invalid --fault-close-chance: 101 (0..100)");
        usage("command delay", "--command-delay 60001", "Invalid --command-delay: 60001 (0..60000)");
        usage("jitter", "--jitter-us -1", "Invalid --jitter-us: -1 (0..1000000)");
        usage("drift", "--drift-ppm -100001", "Invalid --drift-ppm: -100001 (-100000..100000)");
        usage("late by nothing", "--fault-late-every 5 --late-ms 0", "Invalid --late-ms: 0 (1..60000)");
        usage("late, how much not said", "--fault-late-every 5", "--fault-late-every and --late-ms need each other");
        usage("late by, which not said", "--late-ms 100", "--fault-late-every and --late-ms need each other");
        usage("two bad values, the first named", "--fps x --fault-switch-every y", "Invalid --fps: x (1..1000)");
        usage("odd width", "--format uyvy --width 5", "Cannot stream uyvy at 5x48: sizes run from 1 to 4096, uyvy needs an "
                                                      "even width, yuv420 and nv12 an even width and height");
        usage("odd width, nv12", "--format nv12 --width 5 --height 4", "Cannot stream nv12 at 5x4: sizes run from 1 to 4096, uyvy needs "
                                                                       "an even width, yuv420 and nv12 an even width and height");
        usage("odd height, yuv420", "--format yuv420 --width 4 --height 5", "Cannot stream yuv420 at 4x5: sizes run from 1 to 4096, uyvy "
                                                                            "needs an even width, yuv420 and nv12 an even width and height");
        usage("replay rate", "--replay x --replay-rate slow", "Unknown --replay-rate: slow (recorded, link, max)");
        usage("loop alone", "--loop", "--replay-rate and --loop need --replay");
        usage("dump missing", "--replay %D.none", "Cannot replay %D.none: No such file or directory");
        const auto badDump = [](const char *name, const QByteArray &bytes, const QString &reason) {
            QTest::newRow(name) << "--replay %D" << QList<int>{} << 2 << QString() << "Cannot replay %D: " + reason + '\n' << bytes;
        };
        badDump("dump empty", "", "the file is empty");
        badDump("dump of garbage", QByteArray(400, '\x5a'), "no whole frame record in its 400 bytes");
        badDump("dump cut off", record(1, 0, QByteArray(8, 'p')).chopped(1), "no whole frame record in its 71 bytes");
        const QByteArray twoRecords = record(5, 0, "first") + record(5, 100000, "second");
        QTest::newRow("gray, verbose") << "--frames 2 -v" << QList<int>{1, 1} << 0
                                       << listening.arg("gray 64x48 at 30 fps") + client.arg("connected") + client.arg("gone")
                                              + "Frames: 2 produced, 2 records intact, 0 damaged, 0 skipped; 0 clients\n"
                                       << "" << QByteArray();
        QTest::newRow("switching, verbose") << "--frames 3 -v --fault-switch-every 1" << QList<int>{1, 2, 3} << 0
                                            << listening.arg("gray 64x48 at 30 fps") + client.arg("connected")
                                                   + "Stream switched to uyvy 320x240\nStream switched to yuv420 400x400\n" + client.arg("gone")
                                                   + "Frames: 3 produced, 3 records intact, 0 damaged, 0 skipped; 0 clients\n"
                                            << "" << QByteArray();
        QTest::newRow("jpeg, options at their limits") << "--format jpeg --fps 1 --quality 100 --fault-close-every 2147483647 --frames 1" << QList<int>{0} << 0
                              << listening.arg("jpeg 64x48 at 1 fps") + "Frames: 1 produced, 1 records intact, 0 damaged, 0 skipped; 0 clients\n" << "" << QByteArray();
        // Stopped by a signal: only lines written out at once are there.
        QTest::newRow("replay, verbose") << "--replay %D -v" << QList<int>{1, 1} << -1
                                         << listening.arg("replaying %D, 2 records") + client.arg("connected") << "" << twoRecords;
        QTest::newRow("replay from a pipe") << "--replay /dev/stdin" << QList<int>{1, 1} << -1
                                            << listening.arg("replaying /dev/stdin, 2 records") << "" << twoRecords;
        QTest::newRow("video port taken") << "--video-port %T" << QList<int>{} << 1 << ""
                                          << "Cannot listen on 127.0.0.1:%T: The bound address is already in use\n" << QByteArray();
    }

    // A run from the command line: what it prints, what a client receives and how it ends.
    void commandLine()
    {
        QFETCH(QString, arguments);
        QFETCH(QList<int>, formats);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        QFETCH(QString, errors);
        QFETCH(QByteArray, dump);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        const QString dumpPath = writeDump(dump);
        const auto filledIn = [&](QString text) {
            return text.replace(QStringLiteral("%T"), QString::number(taken.serverPort())).replace(QStringLiteral("%D"), dumpPath);
        };
        QProcess simulator;
        simulator.start(QStringLiteral(BREVANT_SIMULATOR),
                        filledIn(QStringLiteral("--video-port 0 --command-port 0 --width 64 --height 48 ") + arguments).split(QLatin1Char(' ')));
        if (arguments.contains(QLatin1String("/dev/stdin"))) {
            simulator.write(dump);
            simulator.closeWriteChannel();
        }
        QByteArray printed;
        QObject::connect(&simulator, &QProcess::readyReadStandardOutput, &simulator,
                         [&] { printed += simulator.readAllStandardOutput(); });
        if (!formats.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(printed.contains('\n'), NetworkTimeoutMs);
            const QRegularExpressionMatch ports = listeningPorts(printed);
            output.replace(QStringLiteral("%V"), ports.captured(1)).replace(QStringLiteral("%C"), ports.captured(2));
            client = std::make_unique<TestClient>(quint16(ports.captured(1).toUInt()));
            QObject::connect(&client->socket, &QTcpSocket::connected, &client->socket, [&] {
                output.replace(QStringLiteral("%P"), QString::number(client->socket.localPort()));
            });
            QTRY_COMPARE_WITH_TIMEOUT(received().size(), formats.size(), NetworkTimeoutMs);
            for (int i = 0; i < formats.size(); ++i)
                QCOMPARE(received().at(i).format, formats.at(i));
        }
        if (exitCode < 0)
            simulator.terminate();
        QTRY_COMPARE_WITH_TIMEOUT(simulator.state(), QProcess::NotRunning, NetworkTimeoutMs);
        printed += simulator.readAllStandardOutput();
        QCOMPARE(QString::fromUtf8(printed), filledIn(output));
        QCOMPARE(QString::fromUtf8(simulator.readAllStandardError()), filledIn(errors));
        QCOMPARE(simulator.exitStatus(), exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
        if (exitCode >= 0)
            QCOMPARE(simulator.exitCode(), exitCode);
    }

    void faults_data()
    {
        QTest::addColumn<VideoFaults>("faults");
        QTest::addColumn<int>("frames");
        QTest::addColumn<int>("arriving");
        QTest::addColumn<int>("damaged");
        const auto every = [](int VideoFaults::*fault, int n) {
            VideoFaults faults;
            faults.*fault = n;
            return faults;
        };
        QTest::newRow("close every 2") << every(&VideoFaults::closeEvery, 2) << 3 << 2 << 0;
        QTest::newRow("garbage") << every(&VideoFaults::garbageEvery, 1) << 6 << 6 << 0;
        QTest::newRow("cut off every 2") << every(&VideoFaults::truncateEvery, 2) << 2 << 1 << 1;
        QTest::newRow("bad size every 2") << every(&VideoFaults::badSizeEvery, 2) << 6 << 3 << 3;
        QTest::newRow("corrupt jpeg") << every(&VideoFaults::corruptJpegEvery, 2) << 7 << 7 << 3;
        QTest::newRow("switch every 2") << every(&VideoFaults::switchEvery, 2) << 8 << 8 << 0;
    }

    // Every record the server counts as intact arrives whole; damaged ones cannot pass for intact.
    void faults()
    {
        QFETCH(VideoFaults, faults);
        QFETCH(int, frames);
        QFETCH(int, arriving);
        QFETCH(int, damaged);
        QVERIFY(start(faults.corruptJpegEvery ? TestPattern::Jpeg : TestPattern::Gray, 64, 48, faults));
        for (int i = 0; i < frames; ++i)
            server->sendFrame();
        const bool closes = faults.closeEvery > 0 || faults.truncateEvery > 0;
        QTRY_VERIFY_WITH_TIMEOUT(closes ? client->closed() : received().size() >= arriving, NetworkTimeoutMs);
        QCOMPARE(received().size(), arriving);
        QCOMPARE(stats().recordsDamaged, damaged);
        QCOMPARE(stats().connectionsClosed, closes ? 1 : 0);
        const StreamCounters &counters = client->statistics.counters();
        QCOMPARE(counters.recordsDropped, quint64(faults.badSizeEvery ? damaged : 0));
        QCOMPARE(client->parser.state() == FrameParser::WaitMagic, faults.truncateEvery == 0);
        QCOMPARE(qint64(counters.bytesSkipped), stats().garbageBytes);
        QCOMPARE(stats().garbageBytes > 0, faults.garbageEvery > 0);

        int intact = 0;
        QSet<QList<int>> configurations;
        QStringList damage; // of JPEG frames: in turn bytes changed, the second half cut, the start marker gone
        for (const FrameSlot &r : received()) {
            intact += r.format == TestPattern::Jpeg ? r.payload == FakeJpeg
                          : r.size == TestPattern::payloadSize(r.format, r.width, r.height);
            configurations.insert({r.format, r.width, r.height});
            if (r.format == TestPattern::Jpeg && r.payload != FakeJpeg)
                damage << (r.payload.startsWith(QByteArray(2, 0)) ? "no start" : r.payload.size() < FakeJpeg.size() ? "cut" : "changed");
        }
        QCOMPARE(damage, faults.corruptJpegEvery ? QStringList({"changed", "cut", "no start"}) : QStringList());
        QCOMPARE(intact, stats().recordsIntact);
        QCOMPARE(configurations.size() > 1, faults.switchEvery > 0);
    }

    void replay_data()
    {
        QTest::addColumn<WireReplay::Rate>("rate");
        QTest::addColumn<bool>("loop");
        QTest::addColumn<QByteArray>("tail");
        QTest::addColumn<bool>("tailLoops");
        QTest::addColumn<int>("minimumSpanMs");
        QTest::addColumn<int>("records");
        const QByteArray garbage = QByteArray::fromHex("0102030405060708");
        const QByteArray cutOff = record(1, 0, QByteArray(8, 'c')).left(BoardProtocol::RecordPrefixBytes + 3);
        QTest::newRow("max") << WireReplay::Rate::Max << false << cutOff << false << 0 << 3;
        // Three records 0.3 s apart on the board's clock: no burst, whatever the machine's speed.
        QTest::newRow("recorded") << WireReplay::Rate::Recorded << false << garbage << true << 400 << 3;
        QTest::newRow("loop") << WireReplay::Rate::Max << true << garbage << true << 0 << 3;
        // Payloads of 2 MB: three rounds of 6 MB, each record due when the bytes before it have crossed.
        QTest::newRow("looped at a gigabit link's pace") << WireReplay::Rate::Link << true << garbage << true << 120 << 3;
        // One record has no gap to go by: its rounds come at 30 a second.
        QTest::newRow("one record looped at the recorded rate") << WireReplay::Rate::Recorded << true << QByteArray() << true << 66 << 1;
        // Rounds 0.9 s apart: the last gap of a round is the dump's mean gap, 0.3 s.
        QTest::newRow("three records looped at the recorded rate") << WireReplay::Rate::Recorded << true << QByteArray() << true << 2350 << 3;
        // A dump cut off inside a record loops from its last whole record, or every later round
        // would be read as the cut-off record's payload.
        QTest::newRow("loop, cut off") << WireReplay::Rate::Max << true << cutOff << false << 0 << 3;
    }

    // Garbage, a record with a bad size and a cut-off end are part of the stream: they all go out.
    void replay()
    {
        QFETCH(WireReplay::Rate, rate);
        QFETCH(bool, loop);
        QFETCH(QByteArray, tail);
        QFETCH(bool, tailLoops);
        QFETCH(int, minimumSpanMs);
        QFETCH(int, records);
        FrameRecord badSize;
        badSize.size = -1;
        const QByteArray garbage = QByteArray::fromHex("f00df00d");
        // Each round's board times run on from the last: by the dump's span and its mean gap.
        const qint64 roundUs = records == 1 ? 1000000 / 30 : 900000;
        const QByteArray big(rate == WireReplay::Rate::Link ? 2000000 : 0, 'p');
        const auto wholeInRound = [&](int round) {
            const auto at = [&](qint64 us, const QByteArray &payload) {
                const qint64 boardUs = 100000000 + us + round * roundUs;
                return record(qint32(boardUs / 1000000), qint32(boardUs % 1000000), payload);
            };
            return records == 1 ? at(0, "payload0") : garbage + at(0, "payload0" + big) + garbage + at(300000, "payload1" + big)
                                      + badSize.toBytes() + at(600000, "payload2" + big);
        };
        const QByteArray whole = wholeInRound(0);
        const QByteArray bytes = whole + tail;
        WireDump dump;
        QVERIFY(dump.load(writeDump(bytes)));
        QCOMPARE(dump.records().size(), records);
        WireReplay wireReplay(dump, rate, loop);
        VideoServer replaying;
        replaying.setReplay(&wireReplay);
        QVERIFY(replaying.listen(QHostAddress(QHostAddress::LocalHost), 0));
        QByteArray expected = loop ? QByteArray() : bytes;
        for (int round = 0; loop && round < 3; ++round)
            expected += wholeInRound(round) + (tailLoops ? tail : QByteArray());
        // Each client from the dump's first byte, one that comes after another has gone too.
        for (int client = 0; client < 5; ++client) {
            QElapsedTimer clock;
            clock.start();
            QTcpSocket receiver;
            QByteArray received;
            QObject::connect(&receiver, &QTcpSocket::readyRead, &receiver, [&] { received += receiver.readAll(); });
            receiver.connectToHost(QHostAddress::LocalHost, replaying.serverPort());
            QTRY_VERIFY_WITH_TIMEOUT(received.size() >= expected.size(), NetworkTimeoutMs);
            QVERIFY(clock.elapsed() >= minimumSpanMs);
            QCOMPARE(loop ? received.left(expected.size()) : received, expected);
            receiver.abort();
            QTRY_COMPARE_WITH_TIMEOUT(replaying.clientCount(), 0, NetworkTimeoutMs);
        }
    }

    void applications_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<Frame>("frame");
        QTest::addColumn<Frame>("previous");
        // The central region afterwards, row by row.
        QTest::addColumn<QList<int>>("region");
        Frame step(W * H);
        for (int i = 0; i < W * H; ++i)
            step[size_t(i)] = i % W < 4 ? 20 : 220;
        const QList<int> stepRegion = {20, 20, 220, 220, 20, 20, 220, 220, 20, 20, 220, 220, 20, 20, 220, 220};
        QTest::newRow("none") << 0 << step << Frame() << stepRegion;
        QTest::newRow("edges") << 6 << step << Frame() << QList<int>{0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0};
        // A single point: each neighbour's gradient in both directions counts.
        QTest::newRow("edges around a point") << 6 << ramp(0, {{4 * W + 3, 60}}) << Frame()
                                              << QList<int>{0, 0, 0, 0, 255, 255, 255, 0, 255, 0, 255, 0, 255, 255, 255, 0};
        QTest::newRow("colour: nothing") << 7 << step << Frame() << stepRegion;
        // 54..250 stretched to 0..255.
        QTest::newRow("contrast") << 8 << ramp(3, {{27, 250}}) << Frame()
                                  << QList<int>{0, 4, 8, 12, 31, 255, 39, 43, 62, 66, 70, 74, 94, 98, 101, 105};
        QTest::newRow("sharpness: nothing") << 9 << step << Frame() << stepRegion;
        // The spikes give way to their neighbours' median; the ramp stays.
        QTest::newRow("noise") << 10 << ramp(3, {{36, 255}, {19, 0}}) << Frame()
                               << QList<int>{51, 54, 60, 63, 78, 81, 84, 87, 102, 105, 111, 114, 126, 132, 135, 138};
        QTest::newRow("motion") << 11 << ramp(3, {{27, 30}}) << ramp(2)
                                << QList<int>{18, 19, 20, 21, 26, 24, 28, 29, 34, 35, 36, 37, 42, 43, 44, 45};
    }

    // Each changes only the central region.
    void applications()
    {
        QFETCH(int, code);
        QFETCH(Frame, frame);
        QFETCH(Frame, previous);
        QFETCH(QList<int>, region);
        Frame expected = frame;
        for (int i = 0; i < region.size(); ++i)
            expected[size_t((2 + i / 4) * W + 2 + i % 4)] = uint8_t(region[i]);
        QVERIFY(applyApplication(code, frame.data(), frame.size(), previous.data(), previous.size(), W, H));
        QCOMPARE(frame, expected);
    }

    void inputBounds_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("previousLength");
        QTest::addColumn<bool>("accepted");
        for (int code : {6, 8, 10, 11}) {
            QTest::addRow("code %d short frame", code) << code << 4 << 4 << 15 << 16 << false;
            QTest::addRow("code %d zero width", code) << code << 0 << 4 << 16 << 16 << false;
            for (const auto &[w, h] : {std::pair{1, 1}, {1, 3}, {2, 1}, {5, 2}, {7, 3}, {9, 9}})
                QTest::addRow("code %d %dx%d", code, w, h) << code << w << h << w * h << w * h << true;
        }
        QTest::newRow("motion short previous") << 11 << 4 << 4 << 16 << 15 << false;
        QTest::newRow("motion no previous") << 11 << 4 << 4 << 16 << -1 << false;
        QTest::newRow("unknown code") << 12 << 4 << 4 << 16 << 16 << false;
    }

    // Buffers of exactly the given lengths, so a read or write past them shows under the sanitizers.
    void inputBounds()
    {
        QFETCH(int, code);
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, length);
        QFETCH(int, previousLength);
        QFETCH(bool, accepted);
        Frame frame(static_cast<size_t>(length));
        for (size_t i = 0; i < frame.size(); ++i)
            frame[i] = uint8_t(i * 37);
        Frame previous(size_t(qMax(0, previousLength)), 3);
        const Frame before = frame;
        QCOMPARE(applyApplication(code, frame.data(), frame.size(), previousLength < 0 ? nullptr : previous.data(), previous.size(),
                                  width, height), accepted);
        if (!accepted)
            QCOMPARE(frame, before);
        if (!accepted || code != 10)
            return;
        // Noise reduction at the frame's edges: the median of the 3 x 3 neighbours, the edge rows
        // and columns repeated outward, over the middle half of each side.
        Frame median = before;
        for (int y = height / 4; y < height - height / 4; ++y) {
            for (int x = width / 4; x < width - width / 4; ++x) {
                std::vector<uint8_t> near;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        near.push_back(before[size_t(qBound(0, y + dy, height - 1) * width + qBound(0, x + dx, width - 1))]);
                std::sort(near.begin(), near.end());
                median[size_t(y * width + x)] = near[4];
            }
        }
        QCOMPARE(frame, median);
    }

    // The timing faults as a viewer's stream timing sees them, each where it belongs (the board, the
    // way) and nowhere else. Every 10th frame held 150 ms, longer than the period, so the next frame
    // queues behind it: each held frame is late on the way, none at the board, and the worst latency
    // is the hold; the last, held too, still goes out before the run ends. 10 fps, as a frame counts as late past 1.5 periods; a busy machine may hold a
    // frame of its own, so other frames late on the way are let be.
    void lateFramesOnTheWay()
    {
        constexpr int Frames = 30, LateMs = 150;
        StreamTiming timing;
        const TimingFigures figures
            = timingOf(QStringLiteral("--fault-late-every 10 --late-ms %1").arg(LateMs), 10, Frames, &timing);
        QCOMPARE(figures.frames, Frames);
        std::vector<LateFrame> late;
        timing.lateFrames(0, timing.size(), late);
        QStringList held;
        for (const LateFrame &frame : late) {
            if (frame.where == Lateness::AtBoard || (frame.index + 1) % 10 == 0)
                held << QStringLiteral("%1 %2").arg(frame.index).arg(frame.where == Lateness::AtBoard ? "at board" : "on the way");
        }
        QCOMPARE(held.join(QStringLiteral(", ")), QStringLiteral("9 on the way, 19 on the way, 29 on the way"));
        QVERIFY2(figures.latency.p99Us >= LateMs * 1000 - 1000 && figures.latency.p99Us < LateMs * 1000 + SchedulingSlackUs,
                 qPrintable(describe(figures)));
    }

    // Timestamps jittering by up to 20 ms at 10 fps (well above this machine's scheduling noise,
    // under a quarter of the period, so the clock neither goes back nor reads as losing frames):
    // the board's intervals spread as the difference of two such draws does (sigma 20 ms x
    // sqrt(2/3)); the arrivals' spread is the machine's own and not judged here.
    void jitteringClock()
    {
        constexpr int JitterUs = 20000, Frames = 30;
        const TimingFigures figures = timingOf(QStringLiteral("--jitter-us %1").arg(JitterUs), 10, Frames);
        QCOMPARE(figures.frames, Frames);
        QVERIFY2(figures.boardJitter.maxUs > 0 && figures.boardJitter.maxUs <= 2 * JitterUs + SchedulingSlackUs
                     && std::abs(figures.boardJitter.sigmaUs - JitterUs * std::sqrt(2.0 / 3)) < JitterUs * 0.4,
                 qPrintable(describe(figures)));
        QVERIFY2(figures.clockRestarts == 0, qPrintable(describe(figures)));
    }

    // A board clock 2 % fast. 4 s, as the drift is fitted to one minimum a second.
    void driftingClock()
    {
        // Eight seconds, so one second's delay on a loaded machine barely tilts the fitted line.
        constexpr int DriftPpm = 20000, Frames = 160;
        const TimingFigures figures = timingOf(QStringLiteral("--drift-ppm %1").arg(DriftPpm), 20, Frames);
        QCOMPARE(figures.frames, Frames);
        QVERIFY2(figures.driftKnown && std::abs(figures.driftPpm - DriftPpm) < DriftPpm * 0.2,
                 qPrintable(describe(figures)));
    }

private:
    // A server on a free port making frames on demand (fps 0), and one client connected to it.
    bool start(int format, int width, int height, const VideoFaults &faults = {})
    {
        server = std::make_unique<VideoServer>();
        server->pattern().setJpegEncoder([](const uchar *, int, int, int, int) { return FakeJpeg; });
        server->setRandomSeed(7);
        server->setFaults(faults);
        if (!server->setConfiguration(format, width, height, 0) || !server->listen(QHostAddress(QHostAddress::LocalHost), 0))
            return false;
        client = std::make_unique<TestClient>(server->serverPort());
        return QTest::qWaitFor([this] { return server->clientCount() == 1; }, NetworkTimeoutMs);
    }
    // Runs the simulator with these faults for this many frames; the timing of what a stream client
    // received, and its frames' timing when asked. Fails the test (empty figures) if the run goes wrong.
    TimingFigures timingOf(const QString &faults, int fps, int frames, StreamTiming *timing = nullptr)
    {
        QProcess simulator;
        simulator.start(QStringLiteral(BREVANT_SIMULATOR), QStringLiteral("--video-port 0 --command-port 0 --width 16 --height 8 "
                                                                          "--fps %1 --frames %2 %3").arg(fps).arg(frames).arg(faults).split(u' '));
        QByteArray printed;
        if (!QTest::qWaitFor([&] { return (printed += simulator.readAllStandardOutput()).contains('\n'); }, NetworkTimeoutMs)) {
            QTest::qFail(qPrintable("The simulator did not start: " + printed + simulator.readAllStandardError()), __FILE__, __LINE__);
            return {};
        }
        client = std::make_unique<TestClient>(quint16(listeningPorts(printed).captured(1).toUInt()));
        client->statistics.setFrameRate(fps);
        // The simulator ends the run once the last frame, held or not, has gone out.
        const bool ended = QTest::qWaitFor([&] { return simulator.state() == QProcess::NotRunning && client->closed(); },
                                           2 * NetworkTimeoutMs);
        const StreamTiming &received = client->statistics.timing();
        if (!ended || simulator.exitCode() != 0 || received.size() != frames) {
            QTest::qFail(qPrintable(QStringLiteral("The run did not end with %1 frames: %2 arrived").arg(frames).arg(received.size())),
                         __FILE__, __LINE__);
            return {};
        }
        if (timing)
            *timing = received;
        return received.figures();
    }
    const QList<FrameSlot> &received() const { return client->frames; }
    const VideoServer::Statistics &stats() const { return server->statistics(); }
    QString writeDump(const QByteArray &bytes)
    {
        QFile file(dumpFolder.filePath(QStringLiteral("wire")));
        return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() ? file.fileName() : QString();
    }

    std::unique_ptr<VideoServer> server;
    std::unique_ptr<TestClient> client;
    QTemporaryDir dumpFolder;
};

QTEST_GUILESS_MAIN(TestPlatformSim)
#include "tst_platformsim.moc"
