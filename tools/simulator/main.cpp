// Platform simulator: plays the camera board on the local machine so that the viewer can be run
// and tested without one.

#include "BoardProtocol.h"
#include "CommandServer.h"
#include "JpegEncoder.h"
#include "PlatformApplications.h"
#include "SimulatorOptions.h"
#include "TestPattern.h"
#include "VideoFaults.h"
#include "VideoServer.h"
#include "WireDump.h"
#include "WireReplay.h"

#include <QCoreApplication>
#include <QTextStream>
#include <QTimer>

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

// What -v reports as it happens, and the statistics every few seconds.
void reportActivity(QCoreApplication &app, const VideoServer &video, const CommandServer &commands)
{
    const auto say = [](const QString &line) {
        out() << line << "\n";
        out().flush();
    };
    QObject::connect(&video, &VideoServer::clientConnected, &app, [say](const QString &peer) {
        say(QStringLiteral("Video client connected: ") + peer);
    });
    QObject::connect(&video, &VideoServer::clientDisconnected, &app, [say](const QString &peer) {
        say(QStringLiteral("Video client gone: ") + peer);
    });
    QObject::connect(&video, &VideoServer::streamRestarted, &app,
                     [say](int format, int width, int height, int fps) {
                         say(QStringLiteral("Stream restarted: %1 %2x%3 at %4 fps")
                                 .arg(TestPattern::formatName(format))
                                 .arg(width)
                                 .arg(height)
                                 .arg(fps));
                     });
    QObject::connect(&video, &VideoServer::configurationSwitched, &app,
                     [say](int format, int width, int height) {
                         say(QStringLiteral("Stream switched to %1 %2x%3")
                                 .arg(TestPattern::formatName(format))
                                 .arg(width)
                                 .arg(height));
                     });
    QObject::connect(&commands, &CommandServer::requestReceived, &app, [say](int code, int value) {
        say(QStringLiteral("Command %1 %2").arg(code).arg(value));
    });
    auto *statisticsTimer = new QTimer(&app);
    QObject::connect(statisticsTimer, &QTimer::timeout, &app,
                     [say, &video] { say(statisticsLine(video)); });
    statisticsTimer->start(StatisticsIntervalMs);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brevant-simulator"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));

    SimulatorOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        err() << options.errorText() << "\n";
        return ExitUsage;
    }
    // A dump is checked before anything listens. The replay outlives the server's sockets.
    WireDump dump;
    std::optional<WireReplay> replay;
    if (options.replayFile) {
        if (!dump.load(*options.replayFile)) {
            err() << dump.errorString() << "\n";
            return ExitUsage;
        }
        replay.emplace(dump, options.replayRate, options.loop);
    }

    VideoServer video;
    video.pattern().setJpegQuality(options.jpegQuality);
    video.pattern().setJpegEncoder(
        [](const uchar *pixels, int w, int h, int components, int jpegQuality) {
            return encodeJpeg(pixels, w, h, components, jpegQuality);
        });
    if (options.format == TestPattern::Jpeg && !video.pattern().canProduce(options.format)) {
        err() << "JPEG frames cannot be produced: this build has no JPEG encoder\n";
        return ExitFailure;
    }
    if (!video.setConfiguration(options.format, options.width, options.height, options.fps)) {
        err() << "Cannot stream " << TestPattern::formatName(options.format) << " at "
              << options.width << "x" << options.height << ": sizes run from 1 to "
              << TestPattern::MaxDimension
              << ", uyvy needs an even width, yuv420 and nv12 an even width and height\n";
        return ExitUsage;
    }
    video.setFaults(options.faults);
    if (replay)
        video.setReplay(&*replay);
    video.setFrameLimit(options.frameLimit);
    if (options.seed)
        video.setRandomSeed(*options.seed);
    QObject::connect(&video, &VideoServer::finished, &app, [&video] {
        out() << statisticsLine(video) << "\n";
        out().flush();
        QCoreApplication::quit();
    });

    CommandServer commands;
    commands.setProducibleFormats({ TestPattern::Jpeg, TestPattern::Gray, TestPattern::Uyvy,
                                    TestPattern::Yuv420, TestPattern::Nv12 });
    commands.setConfiguration({ options.format, options.width, options.height, options.fps });
    commands.setReplyShape(options.commandReply);
    commands.setRefuseAll(options.commandRefuseAll);
    commands.setAcceptDelay(options.commandDelayMs);
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
    if (options.verbose)
        reportActivity(app, video, commands);

    if (!commands.listen(options.address, options.commandPort)) {
        err() << "Cannot listen on " << options.address.toString() << ":" << options.commandPort
              << ": " << commands.errorString() << "\n";
        return ExitFailure;
    }
    if (!video.listen(options.address, options.videoPort)) {
        err() << "Cannot listen on " << options.address.toString() << ":" << options.videoPort
              << ": " << video.errorString() << "\n";
        return ExitFailure;
    }
    out() << "Video stream listening on " << video.serverAddress().toString() << ":"
          << video.serverPort() << " (";
    if (replay)
        out() << "replaying " << *options.replayFile << ", " << dump.records().size() << " records";
    else
        out() << TestPattern::formatName(video.format()) << " " << video.width() << "x"
              << video.height() << " at " << video.fps() << " fps";
    out() << "); commands on port " << commands.serverPort() << "\n";
    out().flush();
    return app.exec();
}
