#pragma once

#include "FrameSlot.h"

// A frame as the parser hands it out; its size field follows the payload.
inline FrameSlot frameOf(qint32 format, int width, int height, const QByteArray &payload = {})
{
    FrameSlot frame;
    frame.format = format;
    frame.width = width;
    frame.height = height;
    frame.payload = payload;
    frame.size = qint32(payload.size());
    return frame;
}
