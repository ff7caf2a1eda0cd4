#include "RecorderOptions.h"

#include "BoardProtocol.h"

#include <QCommandLineParser>

#include <limits>

namespace {

std::optional<qint64> integerIn(const QString &text, qint64 minimum, qint64 maximum)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < minimum || value > maximum)
        return std::nullopt;
    return value;
}

} // namespace

bool RecorderOptions::refuse(const QString &text)
{
    error = text;
    return false;
}

bool RecorderOptions::parse(const QStringList &arguments)
{
    host = QStringLiteral(BREVANT_DEFAULT_HOST);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Records the camera board's video stream unattended: every frame to a file of its own in "
        "FOLDER, and one row per frame in FOLDER/<prefix>index.csv with the board's timestamp "
        "and sensor blocks. With --mkv the frames go into one Matroska file instead, "
        "FOLDER/<prefix>0.mkv (the next number at each change of format or size), which any "
        "player opens: ffplay FOLDER/bvtgrab_0.mkv or mpv FOLDER/bvtgrab_0.mkv. Exit status: 0 every frame stored, 3 some frames damaged, failed or "
        "lost, 1 no connection or the index or the Matroska file could not be written, 2 bad "
        "usage."));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
        QStringLiteral("Board's host name or address (default %1).").arg(host),
        QStringLiteral("name"), host);
    const QCommandLineOption videoPortOption(QStringLiteral("video-port"),
        QStringLiteral("Video port (default %1).").arg(DefaultVideoPort), QStringLiteral("N"),
        QString::number(DefaultVideoPort));
    const QCommandLineOption commandPortOption(QStringLiteral("command-port"),
        QStringLiteral("Command port (default %1).").arg(DefaultCommandPort), QStringLiteral("N"),
        QString::number(DefaultCommandPort));
    const QCommandLineOption prefixOption(QStringLiteral("prefix"),
        QStringLiteral("Start of every file name (default \"%1\").").arg(prefix),
        QStringLiteral("text"), prefix);
    const QCommandLineOption rawOption(QStringLiteral("raw"),
        QStringLiteral("Store raw colour and Gray frames as received (.bvt) instead of as BMP "
                       "pictures. JPEG frames are always stored as received (.jpg)."));
    const QCommandLineOption mkvOption(QStringLiteral("mkv"),
        QStringLiteral("Record every frame as received into one Matroska file, <prefix>0.mkv, "
                       "timed by the board's clock, with its sensor blocks; a change of format or "
                       "size starts <prefix>1.mkv, and so on. Not with --raw."));
    const QCommandLineOption picturesOption(QStringLiteral("pictures"),
        QStringLiteral("Store every frame to a file of its own as without --keep-trouble (BMP pictures, "
                       "JPEG as received) beside the trouble clips, which otherwise come alone. Only "
                       "with --keep-trouble; not with --raw or --mkv."));
    const QCommandLineOption framesOption(QStringLiteral("frames"),
        QStringLiteral("Stop after N frame records have been received."), QStringLiteral("N"));
    const QCommandLineOption secondsOption(QStringLiteral("seconds"),
        QStringLiteral("Stop after S seconds."), QStringLiteral("S"));
    const QCommandLineOption formatOption(QStringLiteral("format"),
        QStringLiteral("Configure the board's pixel format: jpeg, gray, uyvy, yuv420 or nv12."),
        QStringLiteral("name"));
    const QCommandLineOption sizeOption(QStringLiteral("size"),
        QStringLiteral("Configure the board's image size: 640x480, 320x240 or 400x400."),
        QStringLiteral("WxH"));
    const QCommandLineOption fpsOption(QStringLiteral("fps"),
        QStringLiteral("Configure the board's frame rate, %1 to %2.").arg(MinFps).arg(MaxFps),
        QStringLiteral("N"));
    const QCommandLineOption reconnectOption(QStringLiteral("reconnect"),
        QStringLiteral("Connect again when the connection is lost or refused, backing off from "
                       "0.5 s to 5 s, sending the configuration again first if one was given. "
                       "Without it a lost connection ends the recording."));
    const QCommandLineOption wireOption(QStringLiteral("wire"),
        QStringLiteral("Also write every byte received on the video port to FILE; later "
                       "connections go to FILE.1, FILE.2, ..."),
        QStringLiteral("FILE"));
    const QCommandLineOption summaryOption(QStringLiteral("summary"),
        QStringLiteral("When the recording ends, however it ends, write FILE: one JSON document with "
                       "the options, the counts, the rates, the stream's timing and every damaged, "
                       "failed, lost, late or dropped frame and lost connection."),
        QStringLiteral("FILE"));
    const QCommandLineOption keepTroubleOption(QStringLiteral("keep-trouble"),
        QStringLiteral("Keep the stream's last S seconds in memory and, at each trouble (a frame lost at the "
                       "board, damaged or late, a record dropped for its size, a lost connection), write the "
                       "S seconds before and after it as a clip FOLDER/<prefix>trouble-N: stream.wire as "
                       "received, <prefix>0.mkv with <prefix>index.csv, and trouble.json; troubles closer "
                       "than S make one clip. Nothing else is stored unless --pictures, --raw or --mkv is "
                       "given. Memory: "
                       "(S + 2) x the stream's bytes per second, plus 256 bytes a record, plus 64 MiB; "
                       "never more than --keep-memory plus 64 MiB."),
        QStringLiteral("S"));
    const QCommandLineOption keepMemoryOption(QStringLiteral("keep-memory"),
        QStringLiteral("Most memory the seconds of --keep-trouble may take, in MB (default 512); a faster "
                       "stream keeps fewer seconds, and its clips say so."),
        QStringLiteral("MB"), QStringLiteral("512"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"),
                                         QStringLiteral("No progress line."));
    parser.addOptions({hostOption, videoPortOption, commandPortOption, prefixOption, rawOption,
                       mkvOption, picturesOption, framesOption, secondsOption, formatOption, sizeOption,
                       fpsOption, reconnectOption, wireOption, summaryOption, keepTroubleOption, keepMemoryOption,
                       quietOption});
    parser.addPositionalArgument(QStringLiteral("FOLDER"),
        QStringLiteral("Folder of the files and the index; made when missing."));

    if (!parser.parse(arguments))
        return refuse(parser.errorText());
    if (parser.isSet(helpOption))
        parser.showHelp(0);
    if (parser.isSet(versionOption))
        parser.showVersion();

    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return refuse(positional.isEmpty() ? QStringLiteral("No FOLDER given.")
                                            : QStringLiteral("Only one FOLDER may be given."));
    folder = positional.first();

    host = parser.value(hostOption);
    if (host.isEmpty())
        return refuse(QStringLiteral("Empty --host."));
    const auto videoPortValue = integerIn(parser.value(videoPortOption), 1, 65535);
    if (!videoPortValue)
        return refuse(QStringLiteral("Invalid --video-port: %1 (1..65535)").arg(parser.value(videoPortOption)));
    videoPort = quint16(*videoPortValue);
    const auto commandPortValue = integerIn(parser.value(commandPortOption), 1, 65535);
    if (!commandPortValue)
        return refuse(QStringLiteral("Invalid --command-port: %1 (1..65535)").arg(parser.value(commandPortOption)));
    commandPort = quint16(*commandPortValue);

    prefix = parser.value(prefixOption);
    // The files go into FOLDER itself, and the index names them in plain CSV.
    static const QString Forbidden = QStringLiteral("/\\,\"\n\r");
    for (const QChar c : prefix)
        if (Forbidden.contains(c))
            return refuse(QStringLiteral("Invalid --prefix: %1 (no folder separators, commas, quotes or line breaks)").arg(prefix));
    raw = parser.isSet(rawOption);
    matroska = parser.isSet(mkvOption);
    // A recording file holds payloads as received: the choice --raw makes is no choice there.
    if (raw && matroska)
        return refuse(QStringLiteral("--raw and --mkv exclude each other: --mkv always keeps payloads as received."));
    pictures = parser.isSet(picturesOption);
    if (pictures && (raw || matroska || !parser.isSet(keepTroubleOption)))
        return refuse(QStringLiteral("--pictures is for --keep-trouble alone: pictures are what is stored without "
                                     "--keep-trouble, --raw and --mkv."));

    if (parser.isSet(framesOption)) {
        const auto frames = integerIn(parser.value(framesOption), 1, std::numeric_limits<qint64>::max());
        if (!frames)
            return refuse(QStringLiteral("Invalid --frames: %1 (a whole number from 1)").arg(parser.value(framesOption)));
        frameLimit = *frames;
    }
    if (parser.isSet(secondsOption)) {
        bool ok = false;
        const double seconds = parser.value(secondsOption).toDouble(&ok);
        // Far beyond any recording, and still a whole number of milliseconds.
        constexpr double MaxSeconds = 1e9;
        if (!ok || !(seconds > 0) || seconds > MaxSeconds)
            return refuse(QStringLiteral("Invalid --seconds: %1 (a number above 0)").arg(parser.value(secondsOption)));
        timeLimitMs = qMax<qint64>(1, qint64(seconds * 1000.0 + 0.5));
    }

    BoardConfiguration board;
    if (parser.isSet(formatOption)) {
        const QString name = parser.value(formatOption);
        for (int code = 0; code < BoardProtocol::FormatCount; ++code)
            if (name == QLatin1String(BoardProtocol::FormatOptionNames[code]))
                board.format = code;
        if (!board.format)
            return refuse(QStringLiteral("Unknown --format: %1 (jpeg, gray, uyvy, yuv420 or nv12)").arg(name));
    }
    if (parser.isSet(sizeOption)) {
        const QString name = parser.value(sizeOption);
        for (const BoardProtocol::ImageSize &size : BoardProtocol::ImageSizes) {
            if (name == QLatin1String(size.name)) {
                board.width = size.width;
                board.height = size.height;
            }
        }
        if (!board.width)
            return refuse(QStringLiteral("Unknown --size: %1 (640x480, 320x240 or 400x400)").arg(name));
    }
    if (parser.isSet(fpsOption)) {
        const auto fps = integerIn(parser.value(fpsOption), MinFps, MaxFps);
        if (!fps)
            return refuse(QStringLiteral("Invalid --fps: %1 (%2..%3)").arg(parser.value(fpsOption)).arg(MinFps).arg(MaxFps));
        board.fps = int(*fps);
    }
    if (board.format || board.width || board.fps)
        configuration = board;

    reconnect = parser.isSet(reconnectOption);
    wireFile = parser.value(wireOption);
    if (parser.isSet(wireOption) && wireFile.isEmpty())
        return refuse(QStringLiteral("Empty --wire."));
    summaryFile = parser.value(summaryOption);
    if (parser.isSet(summaryOption) && summaryFile.isEmpty())
        return refuse(QStringLiteral("Empty --summary."));
    if (parser.isSet(keepTroubleOption)) {
        bool ok = false;
        const double seconds = parser.value(keepTroubleOption).toDouble(&ok);
        constexpr double MaxKeptSeconds = 3600;
        if (!ok || !(seconds > 0) || seconds > MaxKeptSeconds)
            return refuse(QStringLiteral("Invalid --keep-trouble: %1 (seconds above 0, at most 3600)")
                              .arg(parser.value(keepTroubleOption)));
        keepTroubleUs = qMax<qint64>(1, qint64(seconds * 1e6 + 0.5));
    }
    const auto memory = integerIn(parser.value(keepMemoryOption), 1, 1 << 20);
    if (!memory)
        return refuse(QStringLiteral("Invalid --keep-memory: %1 (1..1048576 MB)").arg(parser.value(keepMemoryOption)));
    keepMemoryBytes = *memory << 20;
    quiet = parser.isSet(quietOption);
    commandLine = arguments.mid(1);
    return true;
}
