#pragma once

#include "FrameLossEstimator.h"
#include "StreamTiming.h"

#include <QString>
#include <QtGlobal>

#include <array>

// The counters of the video stream, as a copyable snapshot.
struct StreamCounters
{
    quint64 framesReceived = 0;
    quint64 framesShown = 0;
    quint64 framesDamaged = 0;
    quint64 framesHidden = 0; // codes the board sends but never shows: no trouble
    quint64 framesLostAtBoard = 0;
    quint64 recordsDropped = 0;
    quint64 bytesSkipped = 0;
    quint64 connectionsLost = 0;
    quint64 captureFilesWritten = 0;
    quint64 captureFailures = 0;

    // Whether lost, damaged or dropped frames grew since the earlier snapshot.
    bool troubleGrewSince(const StreamCounters &earlier) const;
};

// Stream statistics from start-up until reset(), kept by whoever handles the stream in one
// thread. Times are a monotonic clock, given by the caller: a frame's arrival in microseconds, the
// rest in milliseconds. Calls:
// - parser: frameReceived() for each frame record completed (codes below 10, including 5 to 9);
//   recordBytesReceived() alone for a header-only record (code 10 or more), which is not a frame
//   and neither received nor judged for loss; recordDropped() for a record refused for its size;
//   bytesSkipped() for bytes passed over while searching for the magic word.
// - picture path: frameShown(), frameDamaged() or frameHidden() for each frame.
// - connection: connectionStarted() on each connect, connectionLost() when it ended without the
//   operator asking.
// - capture writer: captureWritten() or captureFailed() for each file.
class StreamStatistics
{
public:
    // Timing is kept for the frames of the last timingKeptUs (0: all of them).
    explicit StreamStatistics(qint64 timingKeptUs = LiveTimingSpanUs) : frameTiming(timingKeptUs) {}

    void frameReceived(const FrameStamp &stamp, qint64 recordBytes, qint64 arrivalUs);
    void recordBytesReceived(qint64 recordBytes, qint64 nowMs);
    // Its stamp still keeps the loss estimate's and the timing's place, so the refused record is
    // not also lost, nor the next frame late.
    void recordDropped(const FrameStamp &stamp, qint64 arrivalUs);
    void bytesSkipped(qint64 bytes);
    void frameShown() { ++counts.framesShown; }
    // The frame judged is the newest one received: the viewer judges each before the next.
    void frameDamaged()
    {
        ++counts.framesDamaged;
        frameTiming.markNewestDamaged();
    }
    void frameHidden() { ++counts.framesHidden; }
    void connectionStarted()
    {
        lossEstimator.restart();
        frameTiming.restart();
    }
    void connectionLost() { ++counts.connectionsLost; }
    void captureWritten() { ++counts.captureFilesWritten; }
    void captureFailed() { ++counts.captureFailures; }
    void reset();

    // The monotonic clock every caller passes in, so the parser and a readout agree.
    static qint64 clockMs() { return clockUs() / 1000; }
    static qint64 clockUs();

    // The rate the board was set to, when known, gives the timing its nominal period.
    void setFrameRate(int framesPerSecond) { frameTiming.setFrameRate(framesPerSecond); }
    const StreamTiming &timing() const { return frameTiming; }

    const StreamCounters &counters() const { return counts; }
    // Bytes of records received in the last whole second before nowMs.
    qint64 bytesPerSecond(qint64 nowMs) const;
    // For example "12.4 MB/s · 0 lost · 0 damaged", and " · N dropped" once records were dropped.
    QString readoutText(qint64 nowMs) const;
    // Every counter, one "Name: N" per line, then "Throughput: X.X MB/s".
    QString detailText(qint64 nowMs) const;

    static constexpr int ThroughputSlots = 20;
    static constexpr qint64 ThroughputSlotMs = 1000 / ThroughputSlots;
    // One slot more than the second read: the slot being filled beside a whole second of full
    // ones.
    static constexpr int RingSlots = ThroughputSlots + 1;
    // What a live view of the timing shows, and a little more.
    static constexpr qint64 LiveTimingSpanUs = 70 * StreamTiming::MicrosPerSecond;

private:
    QString throughputText(qint64 nowMs) const;

    StreamCounters counts;
    FrameLossEstimator lossEstimator;
    StreamTiming frameTiming;
    std::array<qint64, RingSlots> slotBytes{};
    qint64 newestSlot = -1;
};
