#pragma once

#include "StreamTiming.h"

#include <functional>

class FrameSource;

// The timing of a source's frames from their headers alone, never their payloads: each frame's
// board time, its arrival where the source keeps one, a recorder's trouble status as damage, and
// the frames lost at the board before it, found as the stream statistics find them.
class SourceTiming
{
public:
    // Every frame in order, all of them kept; stops early with those read so far when `stopped`
    // says so or a header cannot be read. Empty when the frames carry no board time.
    static StreamTiming read(FrameSource &source, const std::function<bool()> &stopped = {});
};
