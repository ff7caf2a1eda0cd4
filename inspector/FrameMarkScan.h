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
    // Listed: a trouble a clip lists (late, dropped, a lost connection, or damage and loss found
    // when it was written).
    enum Mark : quint8 { Damaged = 1, Lost = 2, Listed = 4 };

    explicit FrameMarkScan(FrameSource &source);

    // Scans up to `frames` more frames; true once every frame is scanned.
    bool scan(qint64 frames);
    bool complete() const;
    qint64 scanned() const { return next; }
    quint8 mark(qint64 index) const;
    // The nearest marked frame after (step 1) or before (step -1) `from`, or -1.
    qint64 nearestMarked(qint64 from, int step) const;
    // Frames marked Listed, whether scanned yet or not.
    void listTroubles(std::vector<qint64> frames);
    const std::vector<qint64> &listedTroubles() const { return listed; }


private:
    FrameSource &source;
    FrameDecoder decoder;
    FrameLossEstimator loss;
    std::vector<quint8> marks;
    std::vector<qint64> listed; // in order, each once
    qint64 next = 0;
};
