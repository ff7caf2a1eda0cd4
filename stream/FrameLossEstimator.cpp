#include "FrameLossEstimator.h"

#include "FrameSlot.h"

#include <algorithm>

namespace {

quint64 boardTimeUs(const FrameStamp &stamp)
{
    return quint64(FrameSlot::boardTimeUs(stamp.timestamp_s, stamp.timestamp_us))
        % FrameSlot::BoardClockModulusUs;
}

} // namespace

void FrameLossEstimator::restart()
{
    havePrevious = false;
    intervalCount = 0;
    nextInterval = 0;
}

quint64 FrameLossEstimator::addRecord(const FrameStamp &stamp)
{
    const quint64 timeUs = boardTimeUs(stamp);
    const bool sameStream = havePrevious && stamp.format == previous.format
        && stamp.width == previous.width && stamp.height == previous.height;
    const qint64 gapUs
        = sameStream ? FrameSlot::boardTimeDifferenceUs(qint64(timeUs), qint64(previousTimeUs)) : 0;
    if (sameStream && gapUs == 0) // a repeated stamp tells nothing
        return 0;
    if (!sameStream || gapUs < 0) { // first record, new format or size, or the board restarted
        restart();
        havePrevious = true;
        previous = stamp;
        previousTimeUs = timeUs;
        return 0;
    }
    previous = stamp;
    previousTimeUs = timeUs;
    intervalsUs[nextInterval] = gapUs;
    nextInterval = (nextInterval + 1) % RecentIntervals;
    if (intervalCount < RecentIntervals)
        ++intervalCount;
    if (intervalCount < MinIntervals)
        return 0;
    const qint64 nominalUs = nominalIntervalUs();
    if (intervalCount > MinIntervals)
        return framesMissingIn(gapUs, nominalUs);
    quint64 missing = 0; // the first intervals, held back until there was a nominal to judge by
    for (int i = 0; i < MinIntervals; ++i)
        missing += framesMissingIn(intervalsUs[i], nominalUs);
    return missing;
}

qint64 FrameLossEstimator::nominalIntervalUs() const
{
    std::array<qint64, RecentIntervals> sorted = intervalsUs;
    const auto begin = sorted.begin();
    const auto end = begin + intervalCount;
    const auto upper = begin + intervalCount / 2;
    std::nth_element(begin, upper, end);
    if (intervalCount % 2 != 0)
        return *upper;
    const qint64 lower = *std::max_element(begin, upper);
    return lower + (*upper - lower) / 2;
}

quint64 FrameLossEstimator::framesMissingIn(qint64 gapUs, qint64 nominalUs)
{
    gapUs = std::min(gapUs, MaxCountedGapUs);
    const qint64 intervals = (2 * gapUs + nominalUs) / (2 * nominalUs);
    return intervals > 1 ? quint64(intervals - 1) : 0;
}
