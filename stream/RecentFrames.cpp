#include "RecentFrames.h"

void RecentFrames::add(const FrameSlot &frame)
{
    const qint64 newest = frame.boardTimeUs();
    // A board clock that went back (a restarted board) starts the seconds anew: frames from
    // before it would otherwise stay for as long as the old clock was ahead.
    if (!kept.empty() && newest < kept.back().boardTimeUs())
        clear();
    kept.push_back(frame);
    bytes += frame.payload.size();
    while (kept.size() > 1
           && (newest - kept.front().boardTimeUs() > KeptSpanUs || bytes > MaxKeptBytes)) {
        bytes -= kept.front().payload.size();
        kept.pop_front();
    }
}

void RecentFrames::clear()
{
    kept.clear();
    bytes = 0;
}
