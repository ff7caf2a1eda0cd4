#pragma once

#include "FrameSlot.h"

#include <QDateTime>

#include <deque>
#include <vector>

// The frames of the last seconds of a stream as they were received, by the board's clock. The
// payloads are shared with whoever holds them, never copied; the oldest frames go once the
// newest is KeptSpanUs later than them, or once more than MaxKeptBytes would be held.
class RecentFrames
{
public:
    static constexpr qint64 KeptSpanUs = 10 * 1000 * 1000;
    static constexpr qint64 MaxKeptBytes = 256LL * 1024 * 1024;

    // arrival: when the frame's last byte was read, as an index records it.
    void add(const FrameSlot &frame, const QDateTime &arrival);
    void clear();
    std::vector<FrameSlot> frames() const;
    std::vector<QDateTime> arrivals() const;
    qint64 keptBytes() const { return bytes; }
    int size() const { return int(kept.size()); }

private:
    struct Kept
    {
        FrameSlot frame;
        QDateTime arrival;
    };
    std::deque<Kept> kept;
    qint64 bytes = 0;
};
