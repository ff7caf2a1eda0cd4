#pragma once

#include "FrameSlot.h"

#include <QDateTime>
#include <QImage>
#include <QString>

#include <memory>

// Frames that can be looked at again, one at a time and in any order: a wire dump, a Matroska
// recording, a capture folder or the viewer's recent frames all look alike through it. Frames are
// read on demand; only where each one lies is kept. Failures are returned and described by
// errorString().
class FrameSource
{
public:
    virtual ~FrameSource() = default;

    virtual bool open() = 0;
    virtual qint64 count() const = 0;
    // Header fields, sensor blocks and payload of frame `index` (0 for the first).
    virtual bool frame(qint64 index, FrameSlot &slot) = 0;
    virtual QString name() const = 0;
    // What the frames are, in a few words: "wire dump", "capture folder", ...
    virtual QString kind() const = 0;
    virtual QString errorString() const = 0;

    // Frame `index` without its payload where the source can leave it unread.
    virtual bool header(qint64 index, FrameSlot &slot) { return frame(index, slot); }
    // Whether the frames carry the board's time (a capture without its index does not).
    virtual bool hasBoardTime() const { return true; }

    // A frame kept only as a finished picture (a capture's BMP file); null for the others.
    virtual QImage picture(qint64 index) { Q_UNUSED(index); return QImage(); }
    // How a recorder judged the frame when it stored it ("damaged", "failed", ...); empty when
    // the source keeps no judgement.
    virtual QString recordedStatus(qint64 index) const { Q_UNUSED(index); return QString(); }
    // When the frame arrived, where the source keeps it (a recorder's index); null elsewhere.
    virtual QDateTime arrival(qint64 index) const { Q_UNUSED(index); return QDateTime(); }

    // The frame to show first: that of the file named when one file of a recording was opened.
    virtual qint64 startFrame() const { return 0; }
    // What the user should know of how the frames were read (an index of another shape); empty
    // when there is nothing to say.
    virtual QString notice() const { return QString(); }
    // An opened source of the same frames that shares nothing mutable with this one, for use on
    // another thread; null when it cannot be made.
    virtual std::unique_ptr<FrameSource> reopened() const = 0;
};
