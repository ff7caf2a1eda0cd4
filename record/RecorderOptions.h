#pragma once

#include "BoardProtocol.h"

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// What the board is asked to stream before recording. Values left unset keep the camera
// controller's own start-up values.
struct BoardConfiguration
{
    std::optional<int> fps;
    std::optional<int> format;
    std::optional<int> width;
    std::optional<int> height;
};

// The recorder's command line. parse() refuses bad usage with one line in errorText(); --help
// and --version print and end the program there.
class RecorderOptions
{
public:
    static constexpr quint16 DefaultVideoPort = BoardProtocol::DefaultVideoPort;
    static constexpr quint16 DefaultCommandPort = BoardProtocol::DefaultCommandPort;
    static constexpr int MinFps = BoardProtocol::MinFrameRate;
    static constexpr int MaxFps = BoardProtocol::MaxFrameRate;

    bool parse(const QStringList &arguments);
    // Whether frames are stored at all, beside any trouble clips.
    bool storesFrames() const { return !judgeOnly && (keepTroubleUs == 0 || raw || matroska || pictures); }
    QString errorText() const { return error; }

    QString folder;
    QString host;
    quint16 videoPort = DefaultVideoPort;
    quint16 commandPort = DefaultCommandPort;
    QString prefix = QStringLiteral("bvtgrab_");
    bool raw = false;
    bool matroska = false; // one Matroska file per run instead of a file per frame
    bool pictures = false; // per-frame files beside trouble clips
    qint64 frameLimit = 0; // 0: no limit
    qint64 timeLimitMs = 0; // 0: no limit
    std::optional<BoardConfiguration> configuration;
    bool reconnect = false;
    QString wireFile;
    QString summaryFile; // empty: none
    qint64 keepTroubleUs = 0; // 0: no trouble clips
    qint64 keepMemoryBytes = qint64(512) << 20;
    // Frames judged, then neither stored nor indexed: what --keep-trouble costs beside its clips is
    // measured against it. No option sets it; a benchmark does.
    bool judgeOnly = false;
    bool quiet = false;
    QStringList commandLine; // the arguments as given, the program's name left out

private:
    bool refuse(const QString &text);

    QString error;
};
