#include "RecentFrames.h"

qint64 RecentFrames::boardTimeUs(const FrameSlot &frame)
{
    return qint64(quint32(frame.timestamp_s)) * 1000000 + quint32(frame.timestamp_us);
}

void RecentFrames::add(const FrameSlot &frame)
{
    const qint64 newest = boardTimeUs(frame);
    // A board clock that went back (a restarted board) starts the seconds anew: frames from
    // before it would otherwise stay for as long as the old clock was ahead.
    if (!kept.empty() && newest < boardTimeUs(kept.back()))
        clear();
    kept.push_back(frame);
    bytes += frame.payload.size();
    while (kept.size() > 1
           && (newest - boardTimeUs(kept.front()) > KeptSpanUs || bytes > MaxKeptBytes)) {
        bytes -= kept.front().payload.size();
        kept.pop_front();
    }
}

void RecentFrames::clear()
{
    kept.clear();
    bytes = 0;
}
