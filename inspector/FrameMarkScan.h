#pragma once

#include "FrameDecoder.h"
#include "FrameLossEstimator.h"

#include <vector>

class FrameSource;

// Finds, a few frames at a time, which frames of a source are damaged (as the decoder judges
// them, or as the recorder stored them) and which follow a gap in the board's time where frames
// were lost, as the stream statistics count them.
class FrameMarkScan
{
public:
    enum Mark : quint8 { Damaged = 1, Lost = 2 };

    explicit FrameMarkScan(FrameSource &source);

    // Scans up to `frames` more frames; true once every frame is scanned.
    bool scan(qint64 frames);
    bool complete() const;
    qint64 scanned() const { return next; }
    quint8 mark(qint64 index) const { return index < next ? marks[size_t(index)] : 0; }
    // The nearest marked frame after (step 1) or before (step -1) `from`, or -1.
    qint64 nearestMarked(qint64 from, int step) const;


private:
    FrameSource &source;
    FrameDecoder decoder;
    FrameLossEstimator loss;
    std::vector<quint8> marks;
    qint64 next = 0;
};
