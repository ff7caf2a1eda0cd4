#include "FrameParser.h"

#include "BoardProtocol.h"
#include "StreamStatistics.h"

#include <QDebug>
#include <QIODevice>

using namespace BoardProtocol;

FrameParser::FrameParser()
{
    for (const char *name : FormatNames)
        formatNames << QLatin1String(name);
}

void FrameParser::setDevice(QIODevice *dev)
{
    device = dev;
    stream.setDevice(dev);
}

void FrameParser::process()
{
    if (!device)
        return;
    for (;;) {
        const qint64 available = device->bytesAvailable();
        if (available <= 0)
            return;
        switch (parseState) {
        case WaitMagic: {
            if (available < MagicBytes)
                return;
            quint32 word = 0;
            stream >> word;
            if (word == FrameMagic)
                parseState = WaitHeader;
            else if (statistics)
                statistics->bytesSkipped(MagicBytes);
            break;
        }
        case WaitHeader:
            if (available < HeaderFieldBytes)
                return;
            readHeader();
            break;
        case WaitSensors:
            if (available < SensorBytes)
                return;
            readSensors();
            break;
        case WaitPayload:
            if (!readPayload(available))
                return;
            completeFrame();
            break;
        }
    }
}

void FrameParser::readHeader()
{
    FrameSlot &slot = frameSlots[fillIndex];
    stream.resetStatus();
    stream >> slot.format >> slot.reserved >> slot.width >> slot.height >> slot.size
        >> slot.timestamp_s >> slot.timestamp_us;
    parseState = WaitSensors;
}

void FrameParser::readSensors()
{
    FrameSlot &slot = frameSlots[fillIndex];
    if (device->read(slot.CLum, SensorBlockBytes) < SensorBlockBytes)
        qDebug("CLum could not be read");
    if (device->read(slot.CPos, SensorBlockBytes) < SensorBlockBytes)
        qDebug("CPos could not be read");

    if (quint32(slot.format) >= FirstHeaderOnlyFormat) {
        if (statistics)
            statistics->recordBytesReceived(RecordPrefixBytes, StreamStatistics::clockMs());
        parseState = WaitMagic;
        return;
    }
    // Prevent DoS: never wait for, nor buffer, a payload no board could send.
    if (slot.size < 0 || slot.size > MaxPayloadBytes) {
        qDebug("Video Error: frame size %d out of bounds, record dropped", slot.size);
        if (statistics)
            statistics->recordDropped(stampOf(slot), StreamStatistics::clockUs());
        parseState = WaitMagic;
        if (onRecordDropped)
            onRecordDropped(slot);
        return;
    }
    // Storage that a reader still shares, or that is too small, is replaced rather than grown:
    // growing would copy the old bytes first, only for the reads to overwrite them.
    if (!slot.payload.isDetached() || slot.payload.capacity() < slot.size)
        slot.payload = QByteArray(slot.size, Qt::Uninitialized);
    else
        slot.payload.resize(slot.size);
    payloadFilled = 0;
    parseState = WaitPayload;
}

// Takes as much of the payload as the device holds, so that the device need never hold a whole
// payload; true once the payload is complete.
bool FrameParser::readPayload(qint64 available)
{
    FrameSlot &slot = frameSlots[fillIndex];
    const qint64 wanted = qMin<qint64>(available, slot.size - payloadFilled);
    const qint64 got = qMax<qint64>(device->read(slot.payload.data() + payloadFilled, wanted), 0);
    payloadFilled += int(got);
    if (got < wanted) // only if the device itself failed; never hand out stale bytes
        slot.payload.resize(payloadFilled);
    return got < wanted || payloadFilled == slot.size;
}

void FrameParser::completeFrame()
{
    fillIndex = 1 - fillIndex;
    const qint32 n = frameCounter;
    frameCounter = qint32(quint32(frameCounter) + 1u);
    if (n % 10 == 0 && onStatistics)
        onStatistics(makeStatistics(frameSlots[1 - fillIndex]));
    parseState = WaitMagic;
    if (statistics) {
        const FrameSlot &frame = frameSlots[1 - fillIndex];
        statistics->frameReceived(stampOf(frame), RecordPrefixBytes + qint64(frame.payload.size()),
                                  StreamStatistics::clockUs());
    }
    if (onFrameReady)
        onFrameReady();
}

FrameStatistics FrameParser::makeStatistics(const FrameSlot &frame)
{
    // The product wraps in 32 bits on purpose: the board's clock is read the same way.
    const quint32 ms = quint32(frame.timestamp_s) * 1000u;
    const double time = ms + quint32(frame.timestamp_us) / 1000.0;
    const quint32 previousMs = previousTimestampS * 1000u;
    const double previousTime = previousMs + previousTimestampUs / 1000.0;
    previousTimestampS = quint32(frame.timestamp_s);
    previousTimestampUs = quint32(frame.timestamp_us);

    FrameStatistics stats;
    stats.fps = QString::number(10000.0 / (time - previousTime), 'g', 4);
    stats.size = QString::number(double(quint32(frame.width)), 'g', 4) + QLatin1String("x")
        + QString::number(double(quint32(frame.height)), 'g', 4);
    if (frame.format >= 0 && frame.format < formatNames.size())
        stats.format = formatNames.at(frame.format);
    return stats;
}

FrameStamp FrameParser::stampOf(const FrameSlot &slot)
{
    return {slot.format, slot.width, slot.height, slot.timestamp_s, slot.timestamp_us};
}
