#pragma once

#include "FrameDecoder.h"
#include "FrameSlot.h"

#include <QString>

#include <memory>
#include <optional>

class RecordingNames;

// Where a recording's frames go, chosen once: one file per frame, or Matroska files. Frames are
// stored in the order they came and come back, in that order, once they are safe: written where
// a crash leaves them.
class FrameStorage
{
public:
    struct Stored
    {
        FrameDecoder::Outcome outcome = FrameDecoder::Outcome::Shown; // the frame's judgement
        bool failed = false; // it should have been written and is not
        QString file; // name in the folder; empty when nothing was written
        qint64 place = -1; // the frame's number in a file of many frames
    };

    enum class Kind { Matroska, Payloads, Pictures, Nothing };
    // Matroska files; one file per frame with payloads as received; pictures (BMP), JPEG always
    // as received; or nothing at all, the frames only judged.
    static std::unique_ptr<FrameStorage> make(Kind kind, const RecordingNames &names);

    virtual ~FrameStorage() = default;

    // Stores the next frame and returns its judgement: `judged` when it was judged elsewhere
    // (a JPEG), else the storage's own, made as it needs (a picture made or not).
    virtual FrameDecoder::Outcome store(const FrameSlot &frame, std::optional<FrameDecoder::Outcome> judged) = 0;
    // The oldest frame stored and not yet given back, once it is safe; false while none is.
    virtual bool giveBack(Stored &stored) = 0;
    // Writes whatever is gathered, so that its frames become safe.
    virtual void flush() = 0;
    // Writes and closes what is open: every frame stored can then be given back.
    virtual void close() = 0;
    // Why the storage can write no more; empty while all is well.
    virtual QString errorString() const = 0;
    // Whether the index numbers each frame within its file.
    virtual bool numbersFramesInFiles() const = 0;
};
