#include "RecentFrames.h"

void RecentFrames::add(const FrameSlot &frame, const QDateTime &arrival)
{
    const qint64 newest = frame.boardTimeUs();
    // A board clock that went back (a restarted board) starts the seconds anew: frames from
    // before it would otherwise stay for as long as the old clock was ahead.
    if (!kept.empty() && newest < kept.back().frame.boardTimeUs())
        clear();
    kept.push_back({frame, arrival});
    bytes += frame.payload.size();
    while (kept.size() > 1
           && (newest - kept.front().frame.boardTimeUs() > KeptSpanUs || bytes > MaxKeptBytes)) {
        bytes -= kept.front().frame.payload.size();
        kept.pop_front();
    }
}

void RecentFrames::clear()
{
    kept.clear();
    bytes = 0;
}

std::vector<FrameSlot> RecentFrames::frames() const
{
    std::vector<FrameSlot> frames;
    frames.reserve(kept.size());
    for (const Kept &k : kept)
        frames.push_back(k.frame);
    return frames;
}

std::vector<QDateTime> RecentFrames::arrivals() const
{
    std::vector<QDateTime> arrivals;
    arrivals.reserve(kept.size());
    for (const Kept &k : kept)
        arrivals.push_back(k.arrival);
    return arrivals;
}
