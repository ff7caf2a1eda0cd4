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
};
