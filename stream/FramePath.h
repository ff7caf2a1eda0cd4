#pragma once

#include "CaptureWriter.h"
#include "FrameSlot.h"
#include "PictureBuffers.h"

#include <QImage>
#include <QPixmap>

#include <memory>

class JpegDecoder;
class StreamStatistics;

// The step from a completed frame to the picture on screen, with no socket: the frame is made a
// 32-bit picture (grey widened, raw colour converted, JPEG decoded, each into buffers of its own
// kind that the pixmap shares without copying), the picture a pixmap, and, while capture is on,
// the frame handed to the capture writer. A frame that is not shown leaves the last good pixmap.
class FramePath
{
public:
    enum class Outcome {
        Shown,
        HiddenCode,        // a code whose payload is read but never shown (5 to 9)
        BadSize,           // width or height not positive, or too large to picture
        PayloadTooShort,   // fewer bytes than the layout of width x height needs
        JpegHeaderRefused, // no JPEG header, or not of the size the frame announces
        JpegUndecodable,   // the JPEG data is damaged or cut off
        OutOfMemory,       // no buffer for the picture
    };
    // Values of Result::capture besides the number of the file written.
    static constexpr int NoCapture = -1; // capture off, or nothing of this frame to store
    static constexpr int CaptureFailed = -2;

    struct Result
    {
        Outcome outcome = Outcome::Shown;
        int capture = NoCapture;
        bool shown() const { return outcome == Outcome::Shown; }
        // The frame arrived but what it carries cannot be shown.
        bool damaged() const { return outcome != Outcome::Shown && outcome != Outcome::OutOfMemory; }
    };

    FramePath();
    ~FramePath();
    FramePath(const FramePath &) = delete;
    FramePath &operator=(const FramePath &) = delete;

    Result show(const FrameSlot &frame);
    // With no screen, a picture is made only where the capture stores one; every other frame is
    // only checked, and Shown then means it would have shown. A JPEG is still read in full.
    void setScreenless(bool screenless) { this->screenless = screenless; }
    // show() without a screen in two steps, so that JPEG frames can be judged on other threads:
    // the check of a JPEG frame, with a decoder of the caller's; then, in the order the frames
    // came, the counting and storing that show() does.
    static Outcome judgeJpeg(JpegDecoder &decoder, const FrameSlot &frame);
    Result showJudged(const FrameSlot &frame, Outcome judged);
    // Counts frames shown and damaged, and through the capture writer its files, from now on.
    void setStatistics(StreamStatistics *statistics);
    // The last frame shown; null before the first.
    const QPixmap &pixmap() const { return currentPicture; }
    CaptureWriter &capture() { return captureWriter; }

private:
    Result settle(const FrameSlot &frame, Outcome outcome, QImage &picture);
    bool pictureWanted(const FrameSlot &frame) const;
    Outcome makePicture(const FrameSlot &frame, QImage &picture);
    Outcome makeGrayImage(const FrameSlot &frame, QImage &picture);
    Outcome makeColorImage(const FrameSlot &frame, QImage &picture);
    int store(const FrameSlot &frame, bool pictured);

    // The steps under their established names: each is the one path for its kind of frame.
    Outcome decodeJpegFrame(const FrameSlot &frame, QImage &picture);
    QImage allocColorImage(int width, int height);
    int bvtCvtRawImage(const FrameSlot &frame, QImage &picture);

    PictureBuffers grayPictures;
    PictureBuffers colorPictures;
    PictureBuffers jpegPictures;
    std::unique_ptr<JpegDecoder> jpegDecoder;
    QPixmap currentPicture;
    CaptureWriter captureWriter;
    StreamStatistics *statistics = nullptr;
    bool screenless = false;
};
