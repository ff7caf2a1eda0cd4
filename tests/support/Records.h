#pragma once

#include "FrameRecord.h"

// A record as a board sends it; the size field follows the payload unless set afterwards.
inline FrameRecord makeRecord(qint32 format, qint32 width, qint32 height, const QByteArray &payload = {}, qint32 seconds = 0)
{
    FrameRecord r;
    r.format = format;
    r.width = width;
    r.height = height;
    r.payload = payload;
    r.timestamp_s = seconds;
    return r;
}

inline FrameRecord grayRecord(int width, int height, qint32 seconds = 0)
{
    QByteArray pixels(width * height, Qt::Uninitialized);
    for (int i = 0; i < pixels.size(); ++i)
        pixels[i] = char(i * 7);
    return makeRecord(1, width, height, pixels, seconds);
}
