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
