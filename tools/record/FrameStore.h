#pragma once

#include "FramePath.h"

#include <QString>

class StreamStatistics;
struct FrameSlot;

// Stores each frame as the window's capture would, through the stream library's own picture
// path and capture writer: JPEG as received (.jpg), raw colour and Gray frames as BMP pictures
// or, with raw chosen, as received (.bvt). One running number across all of them.
class FrameStore
{
public:
    enum class Status { Stored, Damaged, Failed };
    struct Stored
    {
        Status status = Status::Stored;
        QString file; // name in the folder; empty when nothing was written
    };

    // The picture path and the capture writer count into statistics.
    FrameStore(const QString &folder, const QString &prefix, bool raw, StreamStatistics &statistics);

    Stored store(const FrameSlot &frame);

    static QString statusWord(Status status);

private:
    FramePath framePath;
    const bool raw;
};
