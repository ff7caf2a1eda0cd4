#pragma once

#include "BoardProtocol.h"

#include <QObject>

class CommandController;

// Keeps the chosen source configuration and processing application and turns them into
// commands on the command channel.
class CameraController : public QObject
{
    Q_OBJECT

public:
    explicit CameraController(CommandController *command);

    // Records what is valid (fps 1..30, format other than 5, positive sizes); sends nothing.
    void store_config(int fps, int format, int width, int height);
    // Records and sends an fps in 1..30 at once; ignores any other value.
    void send_fps(int fps);
    // Switches the current application off and, if that was carried out, the given one on.
    void switch_application(int code);

public slots:
    int try_connection();
    void send_camera_config();

private:
    CommandController *command;
    int fps = BoardProtocol::MaxFrameRate;
    int format = BoardProtocol::FormatJpg;
    int width = BoardProtocol::VgaSize.width;
    int height = BoardProtocol::VgaSize.height;
    int application = BoardProtocol::CommandNoProcessing;
};
