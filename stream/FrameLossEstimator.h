#pragma once

#include <QtGlobal>

#include <array>

// The header fields of a frame record that tell its place in the board's stream.
struct FrameStamp
{
    qint32 format;
    qint32 width;
    qint32 height;
    qint32 timestamp_s;
    qint32 timestamp_us;
};

// Estimates the frames the board skipped, from the board's timestamps of consecutive records of
// one connection. The nominal interval is the median of the recent intervals; a gap of about k
// intervals (k rounded to nearest, halves up) means k - 1 frames lost. Nothing is judged until
// MinIntervals intervals are known; then those first intervals are judged too.
class FrameLossEstimator
{
public:
    // Counting starts afresh with the next record.
    void restart();
    // Returns the frames found missing before this record.
    quint64 addRecord(const FrameStamp &stamp);

    static constexpr int RecentIntervals = 15;
    static constexpr int MinIntervals = 3;
    // A forward gap counts at most this much time: a real outage that long still shows as many
    // lost frames, while a board clock that is set forward adds a bounded count, not millions.
    static constexpr qint64 MaxCountedGapUs = 60 * 1000 * 1000;

private:
    qint64 nominalIntervalUs() const;
    static quint64 framesMissingIn(qint64 gapUs, qint64 nominalUs);

    std::array<qint64, RecentIntervals> intervalsUs{};
    int intervalCount = 0;
    int nextInterval = 0;
    bool havePrevious = false;
    FrameStamp previous{}; // read only once havePrevious is set
    quint64 previousTimeUs = 0;
};
