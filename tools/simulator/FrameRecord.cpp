#include "FrameRecord.h"

#include <QtEndian>

#include <cstring>
#include <limits>

namespace {

char *putBigEndian(char *out, quint32 value)
{
    qToBigEndian(value, out);
    return out + 4;
}

char *putBlock(char *out, const QByteArray &block)
{
    const int used = qMin<int>(block.size(), FrameRecord::SensorBlockBytes);
    if (used > 0)
        std::memcpy(out, block.constData(), size_t(used));
    std::memset(out + used, 0, size_t(FrameRecord::SensorBlockBytes - used));
    return out + FrameRecord::SensorBlockBytes;
}

} // namespace

qint32 FrameRecord::sizeField() const
{
    if (size)
        return *size;
    return qint32(qMin<qsizetype>(payload.size(), std::numeric_limits<qint32>::max()));
}

QByteArray FrameRecord::header() const
{
    QByteArray bytes(BoardProtocol::RecordPrefixBytes, Qt::Uninitialized);
    char *out = bytes.data();
    out = putBigEndian(out, Magic);
    for (qint32 field : {format, reserved, width, height, sizeField(), timestamp_s, timestamp_us})
        out = putBigEndian(out, quint32(field));
    out = putBlock(out, CLum);
    putBlock(out, CPos);
    return bytes;
}

QByteArray FrameRecord::toBytes() const
{
    QByteArray bytes = header();
    if (hasPayload())
        bytes.append(payload);
    return bytes;
}

QByteArray FrameRecord::sensorBlock(qint32 first, qint32 second, qint32 third, qint32 fourth)
{
    QByteArray block(SensorBlockBytes, Qt::Uninitialized);
    char *out = block.data();
    for (qint32 value : {first, second, third, fourth})
        out = putBigEndian(out, quint32(value));
    return block;
}
