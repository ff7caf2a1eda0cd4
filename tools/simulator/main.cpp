// Platform simulator: plays the camera board on the local machine so that the viewer can be run
// and tested without one.

#include "BoardProtocol.h"
#include "CommandServer.h"
#include "JpegEncoder.h"
#include "PlatformApplications.h"
#include "TestPattern.h"
#include "VideoFaults.h"
#include "VideoServer.h"
#include "WireDump.h"
#include "WireReplay.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>
#include <QTextStream>
#include <QTimer>

#include <limits>
#include <optional>

namespace {

constexpr int StatisticsIntervalMs = 5000;
// Exit statuses: a socket that cannot be listened on or a format this build cannot make; bad
// usage, the replay's included.
constexpr int ExitFailure = 1;
constexpr int ExitUsage = 2;

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &err()
{
    static QTextStream stream(stderr);
    return stream;
}

// An integer option within minimum..maximum (minimum >= 0), or -1 after reporting a bad value.
int intOption(const QCommandLineParser &parser, const QString &name, int minimum, int maximum)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < minimum || value > maximum) {
        err() << "Invalid --" << name << ": " << parser.value(name) << " (" << minimum << ".."
              << maximum << ")\n";
        err().flush();
        return -1;
    }
    return value;
}

QString statisticsLine(const VideoServer &video)
{
    const VideoServer::Statistics &s = video.statistics();
    return QStringLiteral("Frames: %1 produced, %2 records intact, %3 damaged, %4 skipped; "
                          "%5 clients")
        .arg(s.framesProduced)
        .arg(s.recordsIntact)
        .arg(s.recordsDamaged)
        .arg(s.framesSkipped)
        .arg(video.clientCount());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brevant-simulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Simulates the camera board: streams frame records of a moving test pattern on the video "
        "port to every viewer that connects, and answers the viewer's commands on the command "
        "port."));
    parser.addHelpOption();
    // addVersionOption() would claim -v, which is --verbose here.
    const QCommandLineOption versionOption(QStringLiteral("version"),
                                           QStringLiteral("Displays version information."));
    parser.addOption(versionOption);
    const QList<QCommandLineOption> options = {
        {QStringLiteral("address"), QStringLiteral("Address to listen on (default 127.0.0.1)."),
         QStringLiteral("address"), QStringLiteral("127.0.0.1")},
        {QStringLiteral("video-port"),
         QStringLiteral("Video port (default %1, 0: any free).").arg(BoardProtocol::DefaultVideoPort),
         QStringLiteral("port"), QString::number(BoardProtocol::DefaultVideoPort)},
        {QStringLiteral("command-port"),
         QStringLiteral("Command port (default %1, 0: any free).").arg(BoardProtocol::DefaultCommandPort),
         QStringLiteral("port"), QString::number(BoardProtocol::DefaultCommandPort)},
        {QStringLiteral("command-reply"),
         QStringLiteral("Fault: how commands are answered: normal, no-reply, truncated (2 bytes, "
                        "then silence), pieces (1-byte pieces) or long (5 bytes)."),
         QStringLiteral("shape"), QStringLiteral("normal")},
        {QStringLiteral("command-refuse-all"),
         QStringLiteral("Fault: answer every command with a non-zero result and carry none out.")},
        {QStringLiteral("command-delay"),
         QStringLiteral("Fault: leave each command connection unread for this long (slow acceptance)."),
         QStringLiteral("ms"), QStringLiteral("0")},
        {QStringLiteral("width"),
         QStringLiteral("Image width (default %1).").arg(BoardProtocol::VgaSize.width),
         QStringLiteral("pixels"), QString::number(BoardProtocol::VgaSize.width)},
        {QStringLiteral("height"),
         QStringLiteral("Image height (default %1).").arg(BoardProtocol::VgaSize.height),
         QStringLiteral("pixels"), QString::number(BoardProtocol::VgaSize.height)},
        {QStringLiteral("fps"),
         QStringLiteral("Frames per second (default %1).").arg(BoardProtocol::MaxFrameRate),
         QStringLiteral("rate"), QString::number(BoardProtocol::MaxFrameRate)},
        {QStringLiteral("format"),
         QStringLiteral("Pixel format: gray, uyvy, yuv420, nv12 or jpeg (default gray)."),
         QStringLiteral("name"), QStringLiteral("gray")},
        {QStringLiteral("quality"), QStringLiteral("JPEG quality, 1..100 (default 85)."),
         QStringLiteral("quality"), QString::number(TestPattern::DefaultJpegQuality)},
        {QStringLiteral("frames"),
         QStringLiteral("Stop after this many frames, counting only frames made while a viewer is "
                        "connected (default 0: never)."),
         QStringLiteral("count"), QStringLiteral("0")},
        {QStringLiteral("seed"), QStringLiteral("Seed of the random faults and sensor values."),
         QStringLiteral("number")},
        {QStringLiteral("fault-close-every"),
         QStringLiteral("Fault: close each connection after every N records."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("fault-close-chance"),
         QStringLiteral("Fault: close a connection after a record with this chance in percent."),
         QStringLiteral("percent"), QStringLiteral("0")},
        {QStringLiteral("fault-garbage-every"),
         QStringLiteral("Fault: random bytes (a multiple of 4) before every Nth record."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("fault-truncate-every"),
         QStringLiteral("Fault: cut every Nth record off in its payload, then close."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("fault-bad-size-every"),
         QStringLiteral("Fault: every Nth record announces a negative or huge size."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("fault-corrupt-jpeg-every"),
         QStringLiteral("Fault: damage the JPEG data of every Nth record."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("fault-switch-every"),
         QStringLiteral("Fault: change format and size every K frames without closing."),
         QStringLiteral("K"), QStringLiteral("0")},
        {QStringLiteral("replay"),
         QStringLiteral("Stream this wire dump (the bytes a client received on the video port) to "
                        "every client from its first byte, unchanged, instead of the test pattern."),
         QStringLiteral("file")},
        {QStringLiteral("replay-rate"),
         QStringLiteral("Pace of --replay: recorded (each record at its board timestamp, the "
                        "default) or max (as fast as the client takes it)."),
         QStringLiteral("rate"), QStringLiteral("recorded")},
        {QStringLiteral("loop"),
         QStringLiteral("Start --replay over at the end of the dump, the board's clock running on "
                        "from round to round; without it the connection stays open and silent "
                        "after the last byte.")},
        {{QStringLiteral("v"), QStringLiteral("verbose")},
         QStringLiteral("Report connections, restarts and statistics.")},
    };
    parser.addOptions(options);
    // process() would end an unknown option with status 1; once parse() has passed, it only
    // answers --help and --help-all.
    if (!parser.parse(QCoreApplication::arguments())) {
        err() << parser.errorText() << "\n";
        return ExitUsage;
    }
    parser.process(app);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const QHostAddress address(parser.value(QStringLiteral("address")));
    if (address.isNull()) {
        err() << "Invalid --address: " << parser.value(QStringLiteral("address")) << "\n";
        return ExitUsage;
    }
    const int format = TestPattern::formatCode(parser.value(QStringLiteral("format")));
    if (format < 0) {
        err() << "Unknown --format: " << parser.value(QStringLiteral("format"))
              << " (gray, uyvy, yuv420, nv12 or jpeg)\n";
        return ExitUsage;
    }
    constexpr int Unlimited = std::numeric_limits<int>::max();
    const int port = intOption(parser, QStringLiteral("video-port"), 0, 65535);
    const int commandPort = intOption(parser, QStringLiteral("command-port"), 0, 65535);
    const int commandDelay = intOption(parser, QStringLiteral("command-delay"), 0, 60000);
    if (!CommandServer::replyShapeFromName(parser.value(QStringLiteral("command-reply")))) {
        err() << "Unknown --command-reply: " << parser.value(QStringLiteral("command-reply"))
              << " (" << CommandServer::replyShapeNames().join(QStringLiteral(", ")) << ")\n";
        return ExitUsage;
    }
    const int width = intOption(parser, QStringLiteral("width"), 1, TestPattern::MaxDimension);
    const int height = intOption(parser, QStringLiteral("height"), 1, TestPattern::MaxDimension);
    const int fps = intOption(parser, QStringLiteral("fps"), 1, VideoServer::MaxSimulatedFps);
    const int quality = intOption(parser, QStringLiteral("quality"), 1, 100);
    const int frames = intOption(parser, QStringLiteral("frames"), 0, Unlimited);
    const int closeChance = intOption(parser, QStringLiteral("fault-close-chance"), 0, 100);
    bool seedValid = true;
    const uint seed = parser.value(QStringLiteral("seed")).toUInt(&seedValid);
    if (parser.isSet(QStringLiteral("seed")) && !seedValid) {
        err() << "Invalid --seed: " << parser.value(QStringLiteral("seed")) << "\n";
        return ExitUsage;
    }
    VideoFaults faults;
    struct
    {
        const char *name;
        int *field;
    } const everyOptions[] = {
        {"fault-close-every", &faults.closeEvery},
        {"fault-garbage-every", &faults.garbageEvery},
        {"fault-truncate-every", &faults.truncateEvery},
        {"fault-bad-size-every", &faults.badSizeEvery},
        {"fault-corrupt-jpeg-every", &faults.corruptJpegEvery},
        {"fault-switch-every", &faults.switchEvery},
    };
    bool valid = port >= 0 && commandPort >= 0 && commandDelay >= 0 && width >= 0 && height >= 0 && fps >= 0 && quality >= 0
                 && frames >= 0 && closeChance >= 0;
    for (const auto &option : everyOptions) {
        *option.field = intOption(parser, QLatin1String(option.name), 0, Unlimited);
        valid = valid && *option.field >= 0;
    }
    if (!valid)
        return ExitUsage;

    // A dump is checked before anything listens. The replay outlives the server's sockets.
    WireDump dump;
    std::optional<WireReplay> replay;
    if (parser.isSet(QStringLiteral("replay"))) {
        const auto rate = WireReplay::rateFromName(parser.value(QStringLiteral("replay-rate")));
        if (!rate) {
            err() << "Unknown --replay-rate: " << parser.value(QStringLiteral("replay-rate"))
                  << " (" << WireReplay::rateNames().join(QStringLiteral(" or ")) << ")\n";
            return ExitUsage;
        }
        if (!dump.load(parser.value(QStringLiteral("replay")))) {
            err() << dump.errorString() << "\n";
            return ExitUsage;
        }
        replay.emplace(dump, *rate, parser.isSet(QStringLiteral("loop")));
    } else if (parser.isSet(QStringLiteral("replay-rate")) || parser.isSet(QStringLiteral("loop"))) {
        err() << "--replay-rate and --loop need --replay\n";
        return ExitUsage;
    }
    faults.closeChance = closeChance / 100.0;
    const bool verbose = parser.isSet(QStringLiteral("verbose"));

    VideoServer video;
    video.pattern().setJpegQuality(quality);

    video.pattern().setJpegEncoder(
        [](const uchar *pixels, int w, int h, int components, int jpegQuality) {
            return encodeJpeg(pixels, w, h, components, jpegQuality);
        });

    if (format == TestPattern::Jpeg && !video.pattern().canProduce(format)) {
        err() << "JPEG frames cannot be produced: this build has no JPEG encoder\n";
        return ExitFailure;
    }
    if (!video.setConfiguration(format, width, height, fps)) {
        err() << "Cannot stream " << TestPattern::formatName(format) << " at " << width << "x"
              << height << ": sizes run from 1 to " << TestPattern::MaxDimension
              << ", uyvy needs an even width, yuv420 and nv12 an even width and height\n";
        return ExitUsage;
    }
    video.setFaults(faults);
    if (replay)
        video.setReplay(&*replay);
    video.setFrameLimit(frames);
    if (parser.isSet(QStringLiteral("seed")))
        video.setRandomSeed(seed);

    QObject::connect(&video, &VideoServer::finished, &app, [&video] {
        out() << statisticsLine(video) << "\n";
        out().flush();
        QCoreApplication::quit();
    });
    if (verbose) {
        QObject::connect(&video, &VideoServer::clientConnected, [](const QString &peer) {
            out() << "Video client connected: " << peer << "\n";
            out().flush();
        });
        QObject::connect(&video, &VideoServer::clientDisconnected, [](const QString &peer) {
            out() << "Video client gone: " << peer << "\n";
            out().flush();
        });
        QObject::connect(&video, &VideoServer::streamRestarted,
                         [](int newFormat, int newWidth, int newHeight, int newFps) {
                             out() << "Stream restarted: " << TestPattern::formatName(newFormat)
                                   << " " << newWidth << "x" << newHeight << " at " << newFps
                                   << " fps\n";
                             out().flush();
                         });
        QObject::connect(&video, &VideoServer::configurationSwitched,
                         [](int newFormat, int newWidth, int newHeight) {
                             out() << "Stream switched to " << TestPattern::formatName(newFormat)
                                   << " " << newWidth << "x" << newHeight << "\n";
                             out().flush();
                         });
        auto *statisticsTimer = new QTimer(&app);
        QObject::connect(statisticsTimer, &QTimer::timeout, [&video] {
            out() << statisticsLine(video) << "\n";
            out().flush();
        });
        statisticsTimer->start(StatisticsIntervalMs);
    }

    CommandServer commands;
    commands.setProducibleFormats({ TestPattern::Jpeg, TestPattern::Gray, TestPattern::Uyvy,
                                    TestPattern::Yuv420, TestPattern::Nv12 });
    commands.setConfiguration({ format, width, height, fps });
    commands.setReplyShape(*CommandServer::replyShapeFromName(parser.value(QStringLiteral("command-reply"))));
    commands.setRefuseAll(parser.isSet(QStringLiteral("command-refuse-all")));
    commands.setAcceptDelay(commandDelay);
    // "Send Values" ends with an apply: the board restarts its stream with the new settings.
    QObject::connect(&commands, &CommandServer::configurationApplied, &video,
                     &VideoServer::applyConfiguration);
    // The demonstration applications work on the middle of Gray frames, each against the
    // previous frame as produced.
    QByteArray previousGray;
    video.setFrameProcessor([&commands, &previousGray](int frameFormat, int w, int h,
                                                       QByteArray &payload) {
        if (frameFormat != TestPattern::Gray)
            return;
        const QByteArray produced = payload;
        for (int code : commands.activeApplications())
            applyApplication(code, reinterpret_cast<uint8_t *>(payload.data()),
                             size_t(payload.size()),
                             reinterpret_cast<const uint8_t *>(previousGray.constData()),
                             size_t(previousGray.size()), w, h);
        previousGray = produced;
    });
    if (verbose)
        QObject::connect(&commands, &CommandServer::requestReceived, [](int code, int value) {
            out() << "Command " << code << " " << value << "\n";
            out().flush();
        });
    if (!commands.listen(address, quint16(commandPort))) {
        err() << "Cannot listen on " << address.toString() << ":" << commandPort << ": "
              << commands.errorString() << "\n";
        return ExitFailure;
    }

    if (!video.listen(address, quint16(port))) {
        err() << "Cannot listen on " << address.toString() << ":" << port << ": "
              << video.errorString() << "\n";
        return ExitFailure;
    }
    out() << "Video stream listening on " << video.serverAddress().toString() << ":"
          << video.serverPort() << " (";
    if (replay)
        out() << "replaying " << parser.value(QStringLiteral("replay")) << ", "
              << dump.records().size() << " records";
    else
        out() << TestPattern::formatName(video.format()) << " " << video.width() << "x"
              << video.height() << " at " << video.fps() << " fps";
    out() << "); commands on port " << commands.serverPort() << "\n";
    out().flush();
    return app.exec();
}
