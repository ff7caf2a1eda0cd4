#include "CameraController.h"

#include "BoardProtocol.h"
#include "CommandController.h"

#include <QtDebug>

using namespace BoardProtocol;

namespace {
bool isValidFps(int fps)
{
    return fps >= MinFrameRate && fps <= MaxFrameRate;
}
}

CameraController::CameraController(CommandController *command)
    : command(command)
{
}

void CameraController::store_config(int fps, int format, int width, int height)
{
    if (isValidFps(fps))
        this->fps = fps;
    if (format != KeepFormatCode)
        this->format = format;
    if (width > 0)
        this->width = width;
    if (height > 0)
        this->height = height;
    qDebug("Selected config: %d %d %d %d \n", this->fps, this->format, this->width, this->height);
}

void CameraController::send_fps(int fps)
{
    if (!isValidFps(fps))
        return;
    this->fps = fps;
    command->send_command(CommandFrameRate, static_cast<quint16>(fps));
}

void CameraController::switch_application(int code)
{
    qDebug("Prev is %d new is %d", application, code);
    const qint8 previous = static_cast<qint8>(application);
    if (code == application) {
        command->send_command(previous, 0);
        return;
    }
    if (command->send_command(previous, 0) == CommandDone)
        command->send_command(static_cast<qint8>(code), 1);
    // The request is recorded even when the switch failed, so the next switch turns it off.
    application = code;
}

int CameraController::try_connection()
{
    command->send_command(CommandProbe, 0);
    return 0;
}

void CameraController::send_camera_config()
{
    const struct {
        qint8 code;
        int value;
    } sequence[] = {
        {CommandFrameRate, fps},
        {CommandPixelFormat, format},
        {CommandImageWidth, width},
        {CommandImageHeight, height},
    };
    for (const auto &step : sequence) {
        if (command->send_command(step.code, static_cast<quint16>(step.value)) < 0)
            return;
    }
    command->send_command(CommandApply, 1);
}
