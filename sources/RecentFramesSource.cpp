#include "RecentFramesSource.h"

bool RecentFramesSource::open()
{
    if (!frames.empty())
        return true;
    error = QStringLiteral("%1: no frames have been received").arg(sourceName);
    return false;
}

bool RecentFramesSource::frame(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count()) {
        error = QStringLiteral("no frame %1").arg(index);
        return false;
    }
    slot = frames[size_t(index)];
    return true;
}

QDateTime RecentFramesSource::arrival(qint64 index) const
{
    return index >= 0 && index < qint64(arrivals.size()) ? arrivals[size_t(index)] : QDateTime();
}

// The payloads stay shared: nothing changes them.
std::unique_ptr<FrameSource> RecentFramesSource::reopened() const
{
    if (frames.empty())
        return nullptr;
    return std::make_unique<RecentFramesSource>(frames, sourceName, arrivals);
}
