#pragma once

#include "CaptureWriter.h"
#include "FrameDecoder.h"
#include "FrameSlot.h"
#include "PictureBuffers.h"

#include <QImage>
#include <QPixmap>

class StreamStatistics;

// The step from a completed frame to the picture on screen, with no socket: the frame decoder
// makes the frame a 32-bit picture in buffers of its kind's pool (grey, raw colour, JPEG), which
// the pixmap shares without copying; while capture is on, the frame goes to the capture writer.
// A frame that is not shown leaves the last good pixmap.
class FramePath
{
public:
    using Outcome = FrameDecoder::Outcome;
    // Values of Result::capture besides the number of the file written.
    static constexpr int NoCapture = -1; // capture off, or nothing of this frame to store
    static constexpr int CaptureFailed = -2;

    struct Result
    {
        Outcome outcome = Outcome::Shown;
        int capture = NoCapture;
        bool shown() const { return outcome == Outcome::Shown; }
        bool damaged() const { return FrameDecoder::isDamage(outcome); }
    };

    FramePath();
    FramePath(const FramePath &) = delete;
    FramePath &operator=(const FramePath &) = delete;

    Result show(const FrameSlot &frame);
    // Counts frames shown, damaged and hidden, and through the capture writer its files, from
    // now on.
    void setStatistics(StreamStatistics *statistics);
    // The last frame shown; null before the first.
    const QPixmap &pixmap() const { return currentPicture; }
    CaptureWriter &capture() { return captureWriter; }

private:
    QImage pictureFor(qint32 format, int width, int height);
    QImage allocColorImage(int width, int height);
    int store(const FrameSlot &frame, bool pictured);
    void logDecoderNotes();

    PictureBuffers grayPictures;
    PictureBuffers colorPictures;
    PictureBuffers jpegPictures;
    FrameDecoder decoder;
    qsizetype decoderNotesLogged = 0;
    QPixmap currentPicture;
    CaptureWriter captureWriter;
    StreamStatistics *statistics = nullptr;
};
