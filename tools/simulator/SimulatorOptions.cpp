#include "SimulatorOptions.h"

#include "VideoServer.h"

#include <QCommandLineParser>

#include <initializer_list>
#include <limits>

namespace {

constexpr int MaxPort = 65535;
constexpr int MaxCommandDelayMs = 60000;
constexpr int MaxJpegQuality = 100;
constexpr int MaxPercent = 100;
constexpr int MaxJitterUs = 1000000;
// A tenth fast or slow: far beyond any crystal, still a clock that runs forward.
constexpr int MaxDriftPpm = 100000;
constexpr int MaxLateMs = 60000;
constexpr int Unlimited = std::numeric_limits<int>::max();

// An integer option within minimum..maximum, or the line that refuses it.
std::optional<int> integerOption(const QCommandLineParser &parser, const QString &name,
                                 int minimum, int maximum, QString &refusal)
{
    bool ok = false;
    const int value = parser.value(name).toInt(&ok);
    if (!ok || value < minimum || value > maximum) {
        refusal = QStringLiteral("Invalid --%1: %2 (%3..%4)")
                      .arg(name, parser.value(name), QString::number(minimum), QString::number(maximum));
        return std::nullopt;
    }
    return value;
}

} // namespace

bool SimulatorOptions::refuse(const QString &text)
{
    error = text;
    return false;
}

bool SimulatorOptions::parse(const QStringList &arguments)
{
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
        {QStringLiteral("fault-skip-every"),
         QStringLiteral("Fault: make every Nth frame and never send it (lost at the board)."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("jitter-us"),
         QStringLiteral("Fault: the board's clock jitters: each timestamp off its true time by a "
                        "random amount of up to this many microseconds either way."),
         QStringLiteral("us"), QStringLiteral("0")},
        {QStringLiteral("drift-ppm"),
         QStringLiteral("Fault: the board's clock runs this many parts per million fast (negative: "
                        "slow) against the host's."),
         QStringLiteral("ppm"), QStringLiteral("0")},
        {QStringLiteral("fault-late-every"),
         QStringLiteral("Fault: send every Nth frame --late-ms late, with its right timestamp; the "
                        "frames after it keep their schedule, queueing behind it."),
         QStringLiteral("N"), QStringLiteral("0")},
        {QStringLiteral("late-ms"),
         QStringLiteral("How late --fault-late-every sends its frames."), QStringLiteral("ms")},
        {QStringLiteral("replay"),
         QStringLiteral("Stream this wire dump (the bytes a client received on the video port) to "
                        "every client from its first byte, unchanged, instead of the test pattern."),
         QStringLiteral("file")},
        {QStringLiteral("replay-rate"),
         QStringLiteral("Pace of --replay: recorded (each record at its board timestamp, the "
                        "default), link (as a gigabit link brings bytes: 119 MB a second) or max "
                        "(as fast as the client takes it)."),
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
    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    parser.process(arguments);
    if (parser.isSet(versionOption))
        parser.showVersion();

    address = QHostAddress(parser.value(QStringLiteral("address")));
    if (address.isNull())
        return refuse(QStringLiteral("Invalid --address: %1").arg(parser.value(QStringLiteral("address"))));
    format = TestPattern::formatCode(parser.value(QStringLiteral("format")));
    if (format < 0)
        return refuse(QStringLiteral("Unknown --format: %1 (gray, uyvy, yuv420, nv12 or jpeg)")
                          .arg(parser.value(QStringLiteral("format"))));

    QString refusal;
    const auto integer = [&](const char *name, int minimum, int maximum, int &value) {
        const std::optional<int> read = integerOption(parser, QLatin1String(name), minimum, maximum, refusal);
        if (read)
            value = *read;
        return read.has_value();
    };
    // Read in this order, whatever the command line's: the first bad one is the one named.
    struct Bounded
    {
        const char *name;
        int minimum;
        int maximum;
        int &value;
    };
    const auto allRead = [&](std::initializer_list<Bounded> bounded) {
        for (const Bounded &option : bounded) {
            if (!integer(option.name, option.minimum, option.maximum, option.value))
                return false;
        }
        return true;
    };
    int videoPortValue = 0;
    int commandPortValue = 0;
    if (!allRead({{"video-port", 0, MaxPort, videoPortValue},
                  {"command-port", 0, MaxPort, commandPortValue},
                  {"command-delay", 0, MaxCommandDelayMs, commandDelayMs}}))
        return refuse(refusal);
    videoPort = quint16(videoPortValue);
    commandPort = quint16(commandPortValue);
    const QString replyName = parser.value(QStringLiteral("command-reply"));
    const auto shape = CommandServer::replyShapeFromName(replyName);
    if (!shape)
        return refuse(QStringLiteral("Unknown --command-reply: %1 (%2)")
                          .arg(replyName, CommandServer::replyShapeNames().join(QStringLiteral(", "))));
    commandReply = *shape;
    commandRefuseAll = parser.isSet(QStringLiteral("command-refuse-all"));

    int closeChance = 0;
    if (!allRead({{"width", 1, TestPattern::MaxDimension, width},
                  {"height", 1, TestPattern::MaxDimension, height},
                  {"fps", 1, VideoServer::MaxSimulatedFps, fps},
                  {"quality", 1, MaxJpegQuality, jpegQuality},
                  {"frames", 0, Unlimited, frameLimit},
                  {"fault-close-chance", 0, MaxPercent, closeChance}}))
        return refuse(refusal);
    if (parser.isSet(QStringLiteral("seed"))) {
        bool ok = false;
        seed = parser.value(QStringLiteral("seed")).toUInt(&ok);
        if (!ok)
            return refuse(QStringLiteral("Invalid --seed: %1").arg(parser.value(QStringLiteral("seed"))));
    }
    faults.closeChance = closeChance / double(MaxPercent);
    if (!allRead({{"fault-close-every", 0, Unlimited, faults.closeEvery},
                  {"fault-garbage-every", 0, Unlimited, faults.garbageEvery},
                  {"fault-truncate-every", 0, Unlimited, faults.truncateEvery},
                  {"fault-bad-size-every", 0, Unlimited, faults.badSizeEvery},
                  {"fault-corrupt-jpeg-every", 0, Unlimited, faults.corruptJpegEvery},
                  {"fault-switch-every", 0, Unlimited, faults.switchEvery},
                  {"fault-skip-every", 0, Unlimited, faults.skipEvery},
                  {"jitter-us", 0, MaxJitterUs, faults.jitterUs},
                  {"drift-ppm", -MaxDriftPpm, MaxDriftPpm, faults.driftPpm},
                  {"fault-late-every", 0, Unlimited, faults.lateEvery}}))
        return refuse(refusal);
    const bool lateEverySet = parser.isSet(QStringLiteral("fault-late-every"));
    if (lateEverySet != parser.isSet(QStringLiteral("late-ms")))
        return refuse(QStringLiteral("--fault-late-every and --late-ms need each other"));
    if (lateEverySet && !integer("late-ms", 1, MaxLateMs, faults.lateMs))
        return refuse(refusal);

    loop = parser.isSet(QStringLiteral("loop"));
    if (parser.isSet(QStringLiteral("replay"))) {
        const QString rateName = parser.value(QStringLiteral("replay-rate"));
        const auto rate = WireReplay::rateFromName(rateName);
        if (!rate)
            return refuse(QStringLiteral("Unknown --replay-rate: %1 (%2)")
                              .arg(rateName, WireReplay::rateNames().join(QStringLiteral(", "))));
        replayRate = *rate;
        replayFile = parser.value(QStringLiteral("replay"));
    } else if (parser.isSet(QStringLiteral("replay-rate")) || loop) {
        return refuse(QStringLiteral("--replay-rate and --loop need --replay"));
    }
    verbose = parser.isSet(QStringLiteral("verbose"));
    return true;
}
