#pragma once

#include "FrameSlot.h"

#include <QImage>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class JpegDecoder;

// Judges a completed frame and, when asked, makes its picture: grey widened, raw colour
// converted, JPEG decoded, each into a 32-bit picture (QImage::Format_RGB32). It knows no screen
// and no files, so the window's path, the recorder and the tools share it. It prints nothing:
// what it found on the way is kept in notes() for a caller that logs it. One per thread.
class FrameDecoder
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
    // The picture for a frame of this format and size, its pixels to be overwritten; null when
    // memory ran out. Without one, the picture passed in is reused when it fits, else made anew.
    using PictureSource = std::function<QImage(qint32 format, int width, int height)>;

    // A line about the last frame, for the debug log or, from the raw conversion, standard output.
    struct Note
    {
        enum class Channel { Debug, StandardOutput };
        Channel channel;
        QString text;
    };

    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder &) = delete;
    FrameDecoder &operator=(const FrameDecoder &) = delete;

    void setPictureSource(PictureSource source) { pictureSource = std::move(source); }
    // Whether the frame would show, for a fraction of the cost: sizes checked, a JPEG's data read
    // in full but no picture made.
    Outcome judge(const FrameSlot &frame);
    // The frame's picture into picture, which is left null unless the outcome is Shown.
    Outcome decode(const FrameSlot &frame, QImage &picture);
    // What the last judge() or decode() found, in order: libjpeg's first warning, each step that
    // refused the frame. Those before the picture source was asked come first.
    const QList<Note> &notes() const { return frameNotes; }

    // Why a frame with this outcome is not shown, in a few words; empty for a shown one.
    static QString reason(Outcome outcome, const FrameSlot &frame);

    // The frame arrived but what it carries cannot be shown: not a code the board hides, nor a
    // picture this side could not find memory for.
    static bool isDamage(Outcome outcome)
    {
        return outcome != Outcome::Shown && outcome != Outcome::HiddenCode
               && outcome != Outcome::OutOfMemory;
    }

private:
    Outcome run(const FrameSlot &frame, QImage *picture);
    void preparePicture(const FrameSlot &frame, QImage &picture);
    Outcome makeGrayImage(const FrameSlot &frame, QImage *picture);
    Outcome makeColorImage(const FrameSlot &frame, QImage *picture);

    // The steps under their established names: each is the one path for its kind of frame.
    Outcome decodeJpegFrame(const FrameSlot &frame, QImage *picture);
    int bvtCvtRawImage(const FrameSlot &frame, QImage &picture);

    void note(const QString &text, Note::Channel channel = Note::Channel::Debug);
    void noteJpegFindings();

    std::unique_ptr<JpegDecoder> jpegDecoder;
    PictureSource pictureSource;
    QList<Note> frameNotes;
    bool jpegWarningNoted = false;
};
