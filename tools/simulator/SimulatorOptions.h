#pragma once

#include "BoardProtocol.h"
#include "CommandServer.h"
#include "TestPattern.h"
#include "VideoFaults.h"
#include "WireReplay.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <optional>

// The simulator's command line. parse() refuses bad usage with one line in errorText(); --help,
// --help-all and --version print and end the program there. Whether a replay's dump can be read
// and whether the pattern can be made at the size asked for are left to the program.
class SimulatorOptions
{
public:
    bool parse(const QStringList &arguments);
    QString errorText() const { return error; }

    QHostAddress address;
    quint16 videoPort = BoardProtocol::DefaultVideoPort;
    quint16 commandPort = BoardProtocol::DefaultCommandPort;
    CommandServer::ReplyShape commandReply = CommandServer::ReplyShape::Normal;
    bool commandRefuseAll = false;
    int commandDelayMs = 0;
    int format = TestPattern::Gray;
    int width = BoardProtocol::VgaSize.width;
    int height = BoardProtocol::VgaSize.height;
    int fps = BoardProtocol::MaxFrameRate;
    int jpegQuality = TestPattern::DefaultJpegQuality;
    int frameLimit = 0; // 0: never stop
    std::optional<quint32> seed;
    VideoFaults faults;
    std::optional<QString> replayFile;
    WireReplay::Rate replayRate = WireReplay::Rate::Recorded;
    bool loop = false;
    bool verbose = false;

private:
    bool refuse(const QString &text);

    QString error;
};
