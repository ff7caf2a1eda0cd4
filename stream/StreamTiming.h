#pragma once

#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <vector>

// One frame's times, in microseconds: the board's clock and the host's monotonic clock when its
// record's last byte was read.
struct TimingSample
{
    qint64 boardUs = 0;    // runs on across the board clock's wrap within a run
    qint64 arrivalUs = -1; // -1: not known
    quint32 lostBefore = 0; // frames the loss estimate found missing just before this one
    bool startsRun = false; // first frame, first of a connection, or the board's clock jumped
    bool clockJumped = false; // went back, stood still or leapt forward: counted as a restart
    bool damaged = false;
};

// The size of a spread of signed values: their standard deviation, and percentiles (nearest
// rank) and maximum of their magnitude. All zero when count is 0.
struct TimingSpread
{
    qint64 count = 0;
    double sigmaUs = 0;
    qint64 p50Us = 0;
    qint64 p95Us = 0;
    qint64 p99Us = 0;
    qint64 maxUs = 0;

    static TimingSpread of(std::vector<qint64> &values); // reorders values
    QJsonObject toJson() const;
};

// What the frames of a stretch say about the stream's timing.
// - nominal period: from the frame rate the board was set to, else the median board interval of
//   the stretch's last 10 s;
// - jitter: an interval minus the nominal period, on the board's clock and on the host's, over
//   intervals with no frame lost in them (a gap with losses is counted as loss, not as jitter);
// - late: an interval over 1.5 x nominal with no loss in it, on the board's clock, or else on the
//   host's (the board was on time, the path held the frame);
// - latency: arrival minus board time, less the minimum of the 10 s before (the two clocks have
//   an unknown offset), and the drift of the two clocks from the per-second minima: how many ppm
//   the board's clock runs fast against the host's (negative: slow).
struct TimingFigures
{
    qint64 frames = 0;
    qint64 nominalPeriodUs = 0; // 0: not known (no rate set, no interval yet)
    bool nominalFromRate = false;
    TimingSpread boardJitter;
    TimingSpread arrivalJitter;
    TimingSpread latency;
    qint64 lateAtBoard = 0;
    qint64 lateOnArrival = 0;
    qint64 lost = 0;
    qint64 damaged = 0;
    qint64 clockRestarts = 0;
    bool driftKnown = false;
    double driftPpm = 0;

    qint64 lateFrames() const { return lateAtBoard + lateOnArrival; }
    // One figure a line, as the timing window shows and copies them.
    QString text() const;
    QJsonObject toJson() const;
};

// Where a late frame was held: by the board (its own interval is long) or on the way (the host's).
enum class Lateness { OnTime, AtBoard, OnTheWay };

// A frame counted late by figures().
struct LateFrame
{
    qint64 index; // as sample() takes it
    Lateness where;
};

// A frame's place in the timing plots.
struct TimingPoint
{
    qint64 boardUs;
    qint64 boardIntervalUs; // -1: first of its run
    qint64 latencyUs;       // relative; -1: arrival not known
    quint32 lostBefore;
    bool damaged;
};

// The timing of a stream, frame by frame. Adding a frame costs no allocation once the store has
// grown to its working size; figures and plot points are worked out when asked for, at the rate
// a window redraws or a line is printed.
class StreamTiming
{
public:
    static constexpr qint64 MicrosPerSecond = 1000000;
    // The span of the median nominal period, of the latency's minimum, and of a drift bucket.
    static constexpr qint64 NominalSpanUs = 10 * MicrosPerSecond;
    static constexpr qint64 LatencyFloorSpanUs = 10 * MicrosPerSecond;
    static constexpr qint64 DriftBucketUs = MicrosPerSecond;
    // A board clock that leaps further forward than this has restarted, not paused.
    static constexpr qint64 MaxIntervalUs = 60 * MicrosPerSecond;

    // keptUs > 0: frames that arrived more than keptUs before the newest are let go.
    explicit StreamTiming(qint64 keptUs = 0) : keptUs(keptUs) {}

    // The rate the board was set to; 0 when not known.
    void setFrameRate(int framesPerSecond);
    int frameRate() const { return framesPerSecond; }
    // boardUs: the board's time as sent (seconds x 10^6 + micros).
    void add(qint64 boardUs, qint64 arrivalUs, quint32 lostBefore);
    void markNewestDamaged();
    // A frame judged damaged after it was added (its payload read later than its header).
    void markDamaged(qint64 index);
    // The next frame starts a new run: a new connection.
    void restart() { runEnded = true; }
    void clear();

    qint64 size() const { return qint64(samples.size()) - head; }
    const TimingSample &sample(qint64 index) const { return samples[size_t(head + index)]; }
    // The first frame that arrived at or after arrivalUs (size() if none).
    qint64 firstArrivedAtOrAfter(qint64 arrivalUs) const;

    TimingFigures figures() const { return figures(0, size()); }
    TimingFigures figures(qint64 first, qint64 end) const;
    // The points of frames first..end-1, into out (cleared first).
    void points(qint64 first, qint64 end, std::vector<TimingPoint> &out) const;
    // The frames of first..end-1 that figures(first, end) counts late, into out (cleared first).
    void lateFrames(qint64 first, qint64 end, std::vector<LateFrame> &out) const;
    // One frame's lateness against a nominal period worked out beforehand (by nominalPeriodUs(),
    // which a caller judging every frame need not redo for each).
    Lateness latenessOf(qint64 index, qint64 nominalUs) const;
    // The rate set, else the median board interval of the last 10 s of first..end-1; 0 if neither.
    qint64 nominalPeriodUs(qint64 first, qint64 end) const;

private:
    qint64 boardIntervalUs(qint64 index) const;
    qint64 arrivalIntervalUs(qint64 index) const;
    // Whether the frame's intervals count for jitter and lateness: not the first of a run, nor
    // one after lost frames. arrivalUs is -1 when its arrival interval is not known.
    bool timedIntervals(qint64 index, qint64 &boardUs, qint64 &arrivalUs) const;
    static Lateness lateness(qint64 boardIntervalUs, qint64 arrivalIntervalUs, qint64 nominalUs);
    // Relative latency of frames first..end-1 into out, -1 where arrival is not known.
    void relativeLatencies(qint64 first, qint64 end, std::vector<qint64> &out) const;
    void dropOldFrames();

    std::vector<TimingSample> samples;
    qint64 head = 0; // frames before head are let go
    qint64 keptUs;
    int framesPerSecond = 0;
    bool runEnded = true;
    qint64 lastSentBoardUs = 0; // as sent, for the wrap-aware difference
};
