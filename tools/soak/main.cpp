// Soak: the real stream client against the simulator with every video fault on, capture on,
// reconnecting after each loss; checks that nothing sent intact is lost or altered, that every
// capture file is reported and every report has its file, and that memory stays flat.

#include "RecorderSoak.h"
#include "Soak.h"
#include "TroubleSoak.h"

#include <QCommandLineParser>
#include <QGuiApplication>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace {

bool verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    // The client's debug lines come with every connection and every damaged frame.
    if (type == QtDebugMsg && !verbose)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
}

// Fails the run from outside the event loop when nothing moves for the given time.
class Watchdog
{
public:
    Watchdog(const std::atomic<qint64> &counter, int seconds)
        : thread([this, &counter, seconds] {
              qint64 last = -1;
              auto since = std::chrono::steady_clock::now();
              std::unique_lock<std::mutex> lock(mutex);
              while (!done.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop; })) {
                  const qint64 now = counter.load();
                  if (now != last) {
                      last = now;
                      since = std::chrono::steady_clock::now();
                  } else if (std::chrono::steady_clock::now() - since > std::chrono::seconds(seconds)) {
                      std::printf("FAIL: no progress for %d s: hang\n", seconds);
                      std::fflush(stdout);
                      std::_Exit(3);
                  }
              }
          })
    {
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stop = true;
        }
        done.notify_one();
        thread.join();
    }

private:
    std::mutex mutex;
    std::condition_variable done;
    bool stop = false;
    std::thread thread;
};

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler(messageHandler);
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("soak"));

    SoakOptions options;
    VideoFaults &faults = options.faults;
    faults.closeEvery = 97;
    faults.closeChance = 0.005;
    faults.garbageEvery = 7;
    faults.truncateEvery = 101;
    faults.badSizeEvery = 13;
    faults.corruptJpegEvery = 3;
    faults.switchEvery = 50;

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Drives the stream client against the simulator with video faults and capture on, and "
        "checks frames, capture files and memory. Fault options take 0 for off."));
    parser.addHelpOption();
    struct IntOption
    {
        const char *name, *help;
        qint64 *wide;
        int *narrow;
        qint64 minimum;
    };
    int seed = int(options.seed), watchdogSeconds = 60;
    qint64 frames = options.frames, warmup = options.warmupFrames;
    const IntOption intOptions[] = {
        {"frames", "Frames to send.", &frames, nullptr, 1},
        {"seed", "Seed of the simulator's random faults.", nullptr, &seed, 0},
        {"close-every", "Close the connection after every N records.", nullptr, &faults.closeEvery, 0},
        {"garbage-every", "Garbage before every Nth record.", nullptr, &faults.garbageEvery, 0},
        {"truncate-every", "Cut every Nth record off mid-payload, then close.", nullptr, &faults.truncateEvery, 0},
        {"bad-size-every", "A negative or oversized size field in every Nth record.", nullptr, &faults.badSizeEvery, 0},
        {"corrupt-jpeg-every", "Damage the JPEG data of every Nth record.", nullptr, &faults.corruptJpegEvery, 0},
        {"switch-every", "Change format and size every K frames.", nullptr, &faults.switchEvery, 0},
        {"reconnect-delay", "Milliseconds from a loss to the reconnect.", nullptr, &options.reconnectDelayMs, 0},
        {"capture-cycle", "Frames per capture mode (payload files, then pictures).", nullptr, &options.captureCycle, 1},
        {"warmup", "Frames before the RSS baseline (-1: a tenth, at least 1000).", &warmup, nullptr, -1},
        {"watchdog", "Seconds without progress that count as a hang.", nullptr, &watchdogSeconds, 1},
    };
    for (const IntOption &option : intOptions) {
        const qint64 value = option.wide ? *option.wide : *option.narrow;
        parser.addOption({QLatin1String(option.name), QLatin1String(option.help),
                          QStringLiteral("n"), QString::number(value)});
    }
    parser.addOption({QStringLiteral("close-chance"),
                      QStringLiteral("Close the connection after a record with this chance (0..1)."),
                      QStringLiteral("p"), QString::number(faults.closeChance)});
    parser.addOption({QStringLiteral("max-rss-growth"),
                      QStringLiteral("MiB the RSS may grow after warm-up."), QStringLiteral("MiB"),
                      QString::number(options.maxRssGrowthMiB)});
    parser.addOption({QStringLiteral("verbose"), QStringLiteral("Show the client's debug output.")});
    parser.addOption({QStringLiteral("recorder"),
                      QStringLiteral("Soak the recorder instead: brevant-record --reconnect --raw under "
                                     "the same faults; every record sent intact must be in its index "
                                     "and on disk, byte for byte.")});
    parser.addOption({QStringLiteral("trouble"),
                      QStringLiteral("Soak the recorder's trouble clips instead: brevant-record --keep-trouble "
                                     "against a board streaming at a full rate (by default UYVY 1920x1080 at 30 fps, "
                                     "124 MB/s: a gigabit link filled) with one trouble a minute, a record of a bad "
                                     "size (corrupt JPEG for jpeg); one clip per trouble (clips of frames late "
                                     "or lost alone, which the machine makes too, told apart), each clip "
                                     "readable, and the recorder's peak RSS within the bound its --help states. "
                                     "The options below are this mode's.")});
    const TroubleSoak::Settings troubleDefaults;
    parser.addOption({QStringLiteral("seconds"),
                      QStringLiteral("Seconds of troubles, one at the end of each minute (default %1).")
                          .arg(troubleDefaults.seconds),
                      QStringLiteral("n"), QString::number(troubleDefaults.seconds)});
    parser.addOption({QStringLiteral("keep"),
                      QStringLiteral("The recorder's --keep-trouble (default %1).").arg(troubleDefaults.keptSeconds),
                      QStringLiteral("s"), QString::number(troubleDefaults.keptSeconds)});
    parser.addOption({QStringLiteral("format"),
                      QStringLiteral("The stream's format: gray, uyvy, yuv420, nv12 or jpeg (default uyvy)."),
                      QStringLiteral("name"), QStringLiteral("uyvy")});
    parser.addOption({QStringLiteral("size"), QStringLiteral("The stream's frame size (default 1920x1080)."),
                      QStringLiteral("WxH"), QStringLiteral("1920x1080")});
    parser.addOption({QStringLiteral("fps"), QStringLiteral("The stream's frame rate, up to 1000 (default 30)."),
                      QStringLiteral("n"), QStringLiteral("30")});
    parser.addOption({QStringLiteral("baseline-seconds"),
                      QStringLiteral("Seconds of the run without --keep-trouble, for the recorder's own RSS "
                                     "(default %1).")
                          .arg(troubleDefaults.baselineSeconds),
                      QStringLiteral("n"), QString::number(troubleDefaults.baselineSeconds)});
    parser.addOption({QStringLiteral("folder"),
                      QStringLiteral("Where the clips go, each removed once checked (default: a temporary folder)."),
                      QStringLiteral("dir")});
    parser.addOption({QStringLiteral("rss-log"), QStringLiteral("Write every RSS sample to this CSV file."),
                      QStringLiteral("file")});
    parser.addPositionalArgument(QStringLiteral("frames"), QStringLiteral("Same as --frames."), QStringLiteral("[frames]"));
    parser.process(app);

    bool valid = true;
    for (const IntOption &option : intOptions) {
        bool ok = false;
        const qint64 value = parser.value(QLatin1String(option.name)).toLongLong(&ok);
        if (!ok || value < option.minimum || value > (option.wide ? qint64(1) << 40 : INT_MAX)) {
            std::fprintf(stderr, "Invalid --%s: %s\n", option.name,
                         qPrintable(parser.value(QLatin1String(option.name))));
            valid = false;
        } else if (option.wide) {
            *option.wide = value;
        } else {
            *option.narrow = int(value);
        }
    }
    bool chanceOk = false, growthOk = false;
    faults.closeChance = parser.value(QStringLiteral("close-chance")).toDouble(&chanceOk);
    options.maxRssGrowthMiB = parser.value(QStringLiteral("max-rss-growth")).toDouble(&growthOk);
    if (!parser.positionalArguments().isEmpty())
        frames = parser.positionalArguments().first().toLongLong(&valid);
    if (!valid || !chanceOk || faults.closeChance < 0 || faults.closeChance > 1 || !growthOk
        || frames < 1 || frames > INT_MAX) {
        std::fprintf(stderr, "Invalid options; see --help\n");
        return 2;
    }

    if (parser.isSet(QStringLiteral("trouble"))) {
        TroubleSoak::Settings settings;
        settings.recorderPath = QStringLiteral(BREVANT_RECORD);
        settings.format = TestPattern::formatCode(parser.value(QStringLiteral("format")));
        const QStringList size = parser.value(QStringLiteral("size")).split(QLatin1Char('x'));
        bool ok[6] = {};
        settings.width = size.value(0).toInt(&ok[0]);
        settings.height = size.value(1).toInt(&ok[1]);
        settings.fps = parser.value(QStringLiteral("fps")).toInt(&ok[2]);
        settings.seconds = parser.value(QStringLiteral("seconds")).toLongLong(&ok[3]);
        settings.keptSeconds = parser.value(QStringLiteral("keep")).toInt(&ok[4]);
        settings.baselineSeconds = parser.value(QStringLiteral("baseline-seconds")).toInt(&ok[5]);
        settings.folder = parser.value(QStringLiteral("folder"));
        settings.rssLog = parser.value(QStringLiteral("rss-log"));
        if (!std::all_of(std::begin(ok), std::end(ok), [](bool b) { return b; }) || settings.format < 0
            || size.size() != 2 || !TestPattern::isValidSize(settings.format, settings.width, settings.height)
            || settings.fps < 1 || settings.fps > VideoServer::MaxSimulatedFps || settings.seconds < 1
            || settings.keptSeconds < 1 || settings.keptSeconds > 3600 || settings.baselineSeconds < 1) {
            std::fprintf(stderr, "Invalid options; see --help\n");
            return 2;
        }
        TroubleSoak soak(settings);
        Watchdog watchdog(soak.progress, watchdogSeconds);
        return soak.run() ? 0 : 1;
    }
    options.frames = frames;
    options.warmupFrames = warmup;
    options.seed = quint32(seed);
    verbose = parser.isSet(QStringLiteral("verbose"));

    if (parser.isSet(QStringLiteral("recorder"))) {
        RecorderSoak soak(QStringLiteral(BREVANT_RECORD), options.frames, options.seed, faults,
                          options.maxRssGrowthMiB);
        Watchdog watchdog(soak.progress, watchdogSeconds);
        return soak.run() ? 0 : 1;
    }
    Soak soak(options);
    Watchdog watchdog(soak.progress, watchdogSeconds);
    return soak.run() ? 0 : 1;
}
