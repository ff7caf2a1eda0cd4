#pragma once

#include "BoardProtocol.h"

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// One frame record as the board sends it on the video port: magic, seven big-endian header
// integers, two 16-byte sensor blocks and, for format codes below 10 (taken unsigned), the
// payload. Every field is the caller's to set, inconsistent ones included, so that fault tests
// can build broken records.
struct FrameRecord
{
    static constexpr quint32 Magic = BoardProtocol::FrameMagic;
    static constexpr int SensorBlockBytes = BoardProtocol::SensorBlockBytes;
    static constexpr quint32 FirstCodeWithoutPayload = BoardProtocol::FirstHeaderOnlyFormat;

    qint32 format = 1;
    qint32 reserved = 0;
    qint32 width = 0;
    qint32 height = 0;
    std::optional<qint32> size; // unset: the payload's length
    qint32 timestamp_s = 0;
    qint32 timestamp_us = 0;
    QByteArray CLum; // written as exactly 16 bytes, zero-padded or cut
    QByteArray CPos;
    QByteArray payload;

    bool hasPayload() const { return quint32(format) < FirstCodeWithoutPayload; }
    qint32 sizeField() const;
    // The BoardProtocol::RecordPrefixBytes bytes in front of the payload.
    QByteArray header() const;
    // The whole record: header, then the payload as it stands when hasPayload(), whatever the
    // size field says.
    QByteArray toBytes() const;

    // A sensor block of four big-endian 32-bit values.
    static QByteArray sensorBlock(qint32 first, qint32 second, qint32 third, qint32 fourth);
};
