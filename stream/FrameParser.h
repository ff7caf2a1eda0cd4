#pragma once

#include "FrameLossEstimator.h"
#include "FrameSlot.h"

#include <QDataStream>
#include <QString>
#include <QStringList>

#include <functional>

class QIODevice;
class StreamStatistics;

// Statistics of the frame just completed, made on the first frame and every tenth after it.
struct FrameStatistics
{
    QString fps;
    QString size;
    QString format; // empty when the code names no format
};

// Incremental parser of the frame record stream. It takes each piece of a record's prefix (magic,
// header, sensor blocks) only once the device holds all of it, the payload as it comes, and never
// waits for more.
// Completed frames alternate between two slots, so the frame handed out stays untouched while
// the next record is read into the other.
class FrameParser
{
public:
    enum ParseState { WaitMagic = 0, WaitHeader = 1, WaitSensors = 2, WaitPayload = 3 };

    FrameParser();

    void setDevice(QIODevice *device);
    // Counts records received, dropped and bytes skipped from now on; null stops counting.
    void setStatistics(StreamStatistics *statistics) { this->statistics = statistics; }
    void process();
    // A new connection starts with a new record: drop whatever record was cut off.
    void restartRecord() { parseState = WaitMagic; }

    std::function<void(const FrameStatistics &)> onStatistics;
    std::function<void()> onFrameReady;
    // A record refused for its size, once its header is read; its payload is then skipped.
    std::function<void(const FrameSlot &header)> onRecordDropped;

    const FrameSlot &completedSlot() const { return frameSlots[1 - fillIndex]; }
    // The header fields that place a record in the board's stream.
    static FrameStamp stampOf(const FrameSlot &slot);
    // Whether `data` lies in the payload being read: a read into it is the payload's.
    bool isPayloadBuffer(const char *data) const
    {
        const QByteArray &payload = frameSlots[fillIndex].payload;
        return parseState == WaitPayload && data >= payload.constData() && data < payload.constData() + payload.size();
    }
    // The payload read so far of a record not yet complete; empty outside a payload.
    QByteArray payloadSoFar() const
    {
        return parseState == WaitPayload ? frameSlots[fillIndex].payload.left(payloadFilled) : QByteArray();
    }
    ParseState state() const { return parseState; }
    qint32 framesCompleted() const { return frameCounter; }

private:
    void readHeader();
    void readSensors();
    bool readPayload(qint64 available);
    void completeFrame();
    FrameStatistics makeStatistics(const FrameSlot &frame);

    QIODevice *device = nullptr;
    StreamStatistics *statistics = nullptr;
    QDataStream stream;
    ParseState parseState = WaitMagic;
    FrameSlot frameSlots[2];
    int fillIndex = 0;
    int payloadFilled = 0; // bytes of the payload read so far
    qint32 frameCounter = 0;
    quint32 previousTimestampS = 0;
    quint32 previousTimestampUs = 0;
    QStringList formatNames;
};
