#include "StreamTiming.h"

#include "FrameSlot.h"

#include <QJsonValue>
#include <QStringList>

#include <algorithm>
#include <cmath>

namespace {

// Rank (1-based) of the p-th percentile of n values, nearest-rank method.
qint64 percentileRank(int percent, qint64 n)
{
    return std::max<qint64>((percent * n + 99) / 100, 1);
}

QString spreadText(const TimingSpread &spread)
{
    if (spread.count == 0)
        return QStringLiteral("not known");
    return QStringLiteral("\u03C3 %1 \u00B5s, p50 %2, p95 %3, p99 %4, max %5 \u00B5s")
        .arg(qRound64(spread.sigmaUs))
        .arg(spread.p50Us)
        .arg(spread.p95Us)
        .arg(spread.p99Us)
        .arg(spread.maxUs);
}

} // namespace

TimingSpread TimingSpread::of(std::vector<qint64> &values)
{
    TimingSpread spread;
    const qint64 n = qint64(values.size());
    if (n == 0)
        return spread;
    spread.count = n;
    double mean = 0;
    for (const qint64 value : values)
        mean += double(value);
    mean /= double(n);
    double squares = 0;
    for (qint64 &value : values) {
        squares += (double(value) - mean) * (double(value) - mean);
        value = value < 0 ? -value : value;
    }
    spread.sigmaUs = std::sqrt(squares / double(n));
    // Each selection leaves the larger values after its place, so the next searches only those.
    auto from = values.begin();
    const auto select = [&](int percent) {
        const auto place = values.begin() + (percentileRank(percent, n) - 1);
        std::nth_element(from, place, values.end());
        from = place;
        return *place;
    };
    spread.p50Us = select(50);
    spread.p95Us = select(95);
    spread.p99Us = select(99);
    spread.maxUs = *std::max_element(from, values.end());
    return spread;
}

QJsonObject TimingSpread::toJson() const
{
    return {{QStringLiteral("count"), count},
            {QStringLiteral("sigma_us"), qRound64(sigmaUs)},
            {QStringLiteral("p50_us"), p50Us},
            {QStringLiteral("p95_us"), p95Us},
            {QStringLiteral("p99_us"), p99Us},
            {QStringLiteral("max_us"), maxUs}};
}

QString TimingFigures::text() const
{
    QString nominal = QStringLiteral("not known");
    if (nominalPeriodUs > 0)
        nominal = QStringLiteral("%1 \u00B5s (%2)")
                      .arg(nominalPeriodUs)
                      .arg(nominalFromRate ? QStringLiteral("the rate set")
                                           : QStringLiteral("median of the last 10 s"));
    const QString drift = driftKnown ? QStringLiteral("board %1 ppm against the host").arg(driftPpm, 0, 'f', 1)
                                     : QStringLiteral("not known");
    return QStringList{
        QStringLiteral("Frames: %1").arg(frames),
        QStringLiteral("Nominal period: %1").arg(nominal),
        QStringLiteral("Board interval jitter: %1").arg(spreadText(boardJitter)),
        QStringLiteral("Arrival interval jitter: %1").arg(spreadText(arrivalJitter)),
        QStringLiteral("Late frames: %1 (at the board %2, on the way %3)")
            .arg(lateFrames())
            .arg(lateAtBoard)
            .arg(lateOnArrival),
        QStringLiteral("Relative latency: %1").arg(spreadText(latency)),
        QStringLiteral("Clock drift: %1").arg(drift),
        QStringLiteral("Lost: %1, damaged: %2, clock restarts: %3")
            .arg(lost)
            .arg(damaged)
            .arg(clockRestarts),
    }.join(QLatin1Char('\n'));
}

QJsonObject TimingFigures::toJson() const
{
    return {{QStringLiteral("frames"), frames},
            {QStringLiteral("nominal_period_us"), nominalPeriodUs},
            {QStringLiteral("nominal_from"),
             nominalPeriodUs == 0 ? QStringLiteral("none")
                                  : nominalFromRate ? QStringLiteral("rate") : QStringLiteral("median")},
            {QStringLiteral("board_jitter"), boardJitter.toJson()},
            {QStringLiteral("arrival_jitter"), arrivalJitter.toJson()},
            {QStringLiteral("relative_latency"), latency.toJson()},
            {QStringLiteral("late_at_board"), lateAtBoard},
            {QStringLiteral("late_on_arrival"), lateOnArrival},
            {QStringLiteral("lost"), lost},
            {QStringLiteral("damaged"), damaged},
            {QStringLiteral("clock_restarts"), clockRestarts},
            {QStringLiteral("drift_ppm"),
             driftKnown ? QJsonValue(std::round(driftPpm * 10) / 10) : QJsonValue()}};
}

void StreamTiming::setFrameRate(int rate)
{
    framesPerSecond = std::max(rate, 0);
}

void StreamTiming::add(qint64 boardUs, qint64 arrivalUs, quint32 lostBefore)
{
    // No board time is outside what the header's two unsigned fields can say; kept inside it, no
    // difference of times below can overflow.
    boardUs = std::clamp<qint64>(boardUs, 0, FrameSlot::boardTimeUs(-1, -1));
    TimingSample sample;
    sample.arrivalUs = arrivalUs;
    sample.lostBefore = lostBefore;
    sample.boardUs = boardUs;
    if (size() == 0 || runEnded) {
        sample.startsRun = true;
    } else {
        const qint64 intervalUs = FrameSlot::boardTimeDifferenceUs(boardUs, lastSentBoardUs);
        if (intervalUs <= 0 || intervalUs > MaxIntervalUs)
            sample.startsRun = sample.clockJumped = true;
        else
            sample.boardUs = samples.back().boardUs + intervalUs;
    }
    runEnded = false;
    lastSentBoardUs = boardUs;
    samples.push_back(sample);
    dropOldFrames();
}

void StreamTiming::markNewestDamaged()
{
    if (size() > 0)
        samples.back().damaged = true;
}

void StreamTiming::markDamaged(qint64 index)
{
    if (index >= 0 && index < size())
        samples[size_t(head + index)].damaged = true;
}

void StreamTiming::clear()
{
    samples.clear();
    head = 0;
    runEnded = true;
}

void StreamTiming::dropOldFrames()
{
    if (keptUs <= 0 || samples.back().arrivalUs < 0)
        return;
    const qint64 newestUs = samples.back().arrivalUs;
    const qint64 last = qint64(samples.size()) - 1;
    while (head < last && samples[size_t(head)].arrivalUs >= 0
           && newestUs - samples[size_t(head)].arrivalUs > keptUs)
        ++head;
    // Moving the kept frames down now and then keeps the store's size, so it never grows again.
    if (head >= 1024 && head * 2 >= qint64(samples.size())) {
        samples.erase(samples.begin(), samples.begin() + head);
        head = 0;
    }
}

qint64 StreamTiming::firstArrivedAtOrAfter(qint64 arrivalUs) const
{
    const auto begin = samples.begin() + head;
    const auto found = std::partition_point(begin, samples.end(), [&](const TimingSample &sample) {
        return sample.arrivalUs < arrivalUs;
    });
    return qint64(found - begin);
}

qint64 StreamTiming::boardIntervalUs(qint64 index) const
{
    if (index <= 0 || sample(index).startsRun)
        return -1;
    return sample(index).boardUs - sample(index - 1).boardUs;
}

qint64 StreamTiming::arrivalIntervalUs(qint64 index) const
{
    if (index <= 0 || sample(index).startsRun || sample(index).arrivalUs < 0
        || sample(index - 1).arrivalUs < 0)
        return -1;
    return sample(index).arrivalUs - sample(index - 1).arrivalUs;
}

bool StreamTiming::timedIntervals(qint64 index, qint64 &boardUs, qint64 &arrivalUs) const
{
    boardUs = boardIntervalUs(index);
    arrivalUs = arrivalIntervalUs(index);
    return boardUs >= 0 && sample(index).lostBefore == 0;
}

// Over 1.5 x nominal: by the board's own clock, else by the host's while the board was on time.
Lateness StreamTiming::lateness(qint64 boardIntervalUs, qint64 arrivalIntervalUs, qint64 nominalUs)
{
    if (2 * boardIntervalUs > 3 * nominalUs)
        return Lateness::AtBoard;
    if (arrivalIntervalUs >= 0 && 2 * arrivalIntervalUs > 3 * nominalUs)
        return Lateness::OnTheWay;
    return Lateness::OnTime;
}

qint64 StreamTiming::nominalPeriodUs(qint64 first, qint64 end) const
{
    if (framesPerSecond > 0)
        return (MicrosPerSecond + framesPerSecond / 2) / framesPerSecond;
    if (end <= first)
        return 0;
    std::vector<qint64> intervals;
    const qint64 lastUs = sample(end - 1).boardUs;
    for (qint64 i = end - 1; i >= first && lastUs - sample(i).boardUs <= NominalSpanUs; --i) {
        const qint64 intervalUs = boardIntervalUs(i);
        if (intervalUs < 0)
            break;
        if (sample(i).lostBefore == 0)
            intervals.push_back(intervalUs);
    }
    if (intervals.empty())
        return 0;
    const auto upper = intervals.begin() + qint64(intervals.size()) / 2;
    std::nth_element(intervals.begin(), upper, intervals.end());
    if (intervals.size() % 2 != 0)
        return *upper;
    const qint64 lower = *std::max_element(intervals.begin(), upper);
    return lower + (*upper - lower) / 2;
}

void StreamTiming::relativeLatencies(qint64 first, qint64 end, std::vector<qint64> &out) const
{
    out.assign(size_t(std::max<qint64>(end - first, 0)), -1);
    // The floor of the first frames is the minimum of the 10 s before them, kept or not asked.
    qint64 start = first;
    while (start > 0 && !sample(start).startsRun
           && sample(first).boardUs - sample(start - 1).boardUs <= LatencyFloorSpanUs)
        --start;
    // The frames that may still be a later frame's minimum, their offsets rising.
    std::vector<qint64> candidates;
    size_t oldest = 0;
    const auto offset = [&](qint64 index) { return sample(index).arrivalUs - sample(index).boardUs; };
    for (qint64 i = start; i < end; ++i) {
        const TimingSample &current = sample(i);
        if (current.startsRun) {
            candidates.clear();
            oldest = 0;
        }
        if (current.arrivalUs < 0)
            continue;
        while (oldest < candidates.size()
               && current.boardUs - sample(candidates[oldest]).boardUs > LatencyFloorSpanUs)
            ++oldest;
        while (candidates.size() > oldest && offset(candidates.back()) >= offset(i))
            candidates.pop_back();
        candidates.push_back(i);
        if (i >= first)
            out[size_t(i - first)] = offset(i) - offset(candidates[oldest]);
    }
}

TimingFigures StreamTiming::figures(qint64 first, qint64 end) const
{
    TimingFigures figures;
    first = std::clamp<qint64>(first, 0, size());
    end = std::clamp<qint64>(end, first, size());
    figures.frames = end - first;
    figures.nominalPeriodUs = nominalPeriodUs(first, end);
    figures.nominalFromRate = framesPerSecond > 0;
    const qint64 nominalUs = figures.nominalPeriodUs;

    std::vector<qint64> boardJitter;
    std::vector<qint64> arrivalJitter;
    for (qint64 i = first; i < end; ++i) {
        const TimingSample &current = sample(i);
        figures.lost += current.lostBefore;
        figures.damaged += current.damaged ? 1 : 0;
        figures.clockRestarts += current.clockJumped ? 1 : 0;
        qint64 boardIntervalUs = 0;
        qint64 arrivalIntervalUs = 0;
        if (nominalUs == 0 || !timedIntervals(i, boardIntervalUs, arrivalIntervalUs))
            continue;
        boardJitter.push_back(boardIntervalUs - nominalUs);
        if (arrivalIntervalUs >= 0)
            arrivalJitter.push_back(arrivalIntervalUs - nominalUs);
        const Lateness late = lateness(boardIntervalUs, arrivalIntervalUs, nominalUs);
        figures.lateAtBoard += late == Lateness::AtBoard ? 1 : 0;
        figures.lateOnArrival += late == Lateness::OnTheWay ? 1 : 0;
    }
    figures.boardJitter = TimingSpread::of(boardJitter);
    figures.arrivalJitter = TimingSpread::of(arrivalJitter);

    std::vector<qint64> latencies;
    relativeLatencies(first, end, latencies);
    latencies.erase(std::remove(latencies.begin(), latencies.end(), qint64(-1)), latencies.end());
    figures.latency = TimingSpread::of(latencies);

    // Drift: delays only ever add to arrival minus board time, so each second's minimum lies on
    // the line the two clocks draw; its slope over the last run of the stretch, least squares.
    if (end == first)
        return figures;
    qint64 runStart = end - 1;
    while (runStart > first && !sample(runStart).startsRun)
        --runStart;
    struct Minimum
    {
        qint64 bucket;
        double boardUs;
        double offsetUs;
    };
    std::vector<Minimum> minima;
    for (qint64 i = runStart; i < end; ++i) {
        const TimingSample &current = sample(i);
        if (current.arrivalUs < 0)
            continue;
        const qint64 bucket = (current.boardUs - sample(runStart).boardUs) / DriftBucketUs;
        const double offsetUs = double(current.arrivalUs - current.boardUs);
        const double boardUs = double(current.boardUs - sample(runStart).boardUs);
        if (minima.empty() || minima.back().bucket != bucket)
            minima.push_back({bucket, boardUs, offsetUs});
        else if (offsetUs < minima.back().offsetUs)
            minima.back() = {bucket, boardUs, offsetUs};
    }
    if (minima.size() >= 2) {
        double meanX = 0;
        double meanY = 0;
        for (const Minimum &m : minima) {
            meanX += m.boardUs;
            meanY += m.offsetUs;
        }
        meanX /= double(minima.size());
        meanY /= double(minima.size());
        double covariance = 0;
        double variance = 0;
        for (const Minimum &m : minima) {
            covariance += (m.boardUs - meanX) * (m.offsetUs - meanY);
            variance += (m.boardUs - meanX) * (m.boardUs - meanX);
        }
        // The offset falls by s per board microsecond when the board's clock runs 1/(1+s) - 1 fast.
        const double slope = covariance / variance;
        if (variance > 0 && slope > -1) {
            figures.driftKnown = true;
            figures.driftPpm = (1 / (1 + slope) - 1) * 1e6;
        }
    }
    return figures;
}

void StreamTiming::points(qint64 first, qint64 end, std::vector<TimingPoint> &out) const
{
    first = std::clamp<qint64>(first, 0, size());
    end = std::clamp<qint64>(end, first, size());
    std::vector<qint64> latencies;
    relativeLatencies(first, end, latencies);
    out.clear();
    out.reserve(size_t(end - first));
    for (qint64 i = first; i < end; ++i) {
        const TimingSample &current = sample(i);
        out.push_back({current.boardUs, boardIntervalUs(i), latencies[size_t(i - first)],
                       current.lostBefore, current.damaged});
    }
}

Lateness StreamTiming::latenessOf(qint64 index, qint64 nominalUs) const
{
    qint64 boardIntervalUs = 0;
    qint64 arrivalIntervalUs = 0;
    if (nominalUs == 0 || index < 0 || index >= size() || !timedIntervals(index, boardIntervalUs, arrivalIntervalUs))
        return Lateness::OnTime;
    return lateness(boardIntervalUs, arrivalIntervalUs, nominalUs);
}

void StreamTiming::lateFrames(qint64 first, qint64 end, std::vector<LateFrame> &out) const
{
    first = std::clamp<qint64>(first, 0, size());
    end = std::clamp<qint64>(end, first, size());
    out.clear();
    const qint64 nominalUs = nominalPeriodUs(first, end);
    if (nominalUs == 0)
        return;
    for (qint64 i = first; i < end; ++i) {
        const Lateness late = latenessOf(i, nominalUs);
        if (late != Lateness::OnTime)
            out.push_back({i, late});
    }
}
