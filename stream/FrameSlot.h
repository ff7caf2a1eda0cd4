#pragma once

#include "BoardProtocol.h"

#include <QByteArray>
#include <QtGlobal>

// One frame record as received: header fields as sent, sensor blocks verbatim, the payload.
struct FrameSlot
{
    qint32 format = 0;
    qint32 reserved = 0;
    qint32 width = 0;
    qint32 height = 0;
    qint32 size = 0;
    qint32 timestamp_s = 0;
    qint32 timestamp_us = 0;
    QByteArray payload;
    char CLum[BoardProtocol::SensorBlockBytes] = {};
    char CPos[BoardProtocol::SensorBlockBytes] = {};

    static constexpr qint64 MicrosPerSecond = 1000000;
    // The board's time in microseconds, both fields read unsigned as the parser does.
    static qint64 boardTimeUs(qint32 seconds, qint32 micros)
    {
        return qint64(quint32(seconds)) * MicrosPerSecond + quint32(micros);
    }
    qint64 boardTimeUs() const { return boardTimeUs(timestamp_s, timestamp_us); }

    // The board's time is read as seconds x 1000 in 32 bits, so it is known only modulo 2^32 ms;
    // differences taken modulo that run on across the wrap.
    static constexpr qint64 BoardClockModulusUs = (qint64(1) << 32) * 1000;
    // Signed difference of two board times, the shorter way round the clock.
    static qint64 boardTimeDifferenceUs(qint64 laterUs, qint64 earlierUs)
    {
        const qint64 forward = ((laterUs - earlierUs) % BoardClockModulusUs + BoardClockModulusUs)
            % BoardClockModulusUs;
        return forward <= BoardClockModulusUs / 2 ? forward : forward - BoardClockModulusUs;
    }
};
