#include "FramePath.h"

#include "BoardProtocol.h"
#include "StreamStatistics.h"

#include <QDebug>

#include <cstdio>

using namespace BoardProtocol;

namespace {

// The logs give a picture's size as its R,G,B bytes, as they always have, though the buffers hold
// it as 32-bit pixels.
int rgbBytes(int width, int height)
{
    return 3 * width * height;
}

} // namespace

FramePath::FramePath()
{
    decoder.setPictureSource([this](qint32 format, int width, int height) {
        return pictureFor(format, width, height);
    });
}

void FramePath::setStatistics(StreamStatistics *counters)
{
    statistics = counters;
    captureWriter.setStatistics(counters);
}

FramePath::Result FramePath::show(const FrameSlot &frame)
{
    QImage picture;
    Result result;
    decoderNotesLogged = 0;
    result.outcome = decoder.decode(frame, picture);
    logDecoderNotes();
    if (result.shown())
        currentPicture = QPixmap::fromImage(std::move(picture));
    if (statistics) {
        if (result.shown())
            statistics->frameShown();
        else if (result.outcome == Outcome::HiddenCode)
            statistics->frameHidden();
        else if (result.damaged())
            statistics->frameDamaged();
    }
    if (captureWriter.isEnabled() && result.outcome != Outcome::HiddenCode)
        result.capture = store(frame, result.shown());
    return result;
}

// A buffer of the frame's kind; a picture still on screen is never written.
QImage FramePath::pictureFor(qint32 format, int width, int height)
{
    logDecoderNotes();
    if (format == FormatGray) {
        grayPictures.setPictureSize(width, height);
        return grayPictures.acquire();
    }
    if (format != FormatJpg)
        return allocColorImage(width, height);
    if (jpegPictures.setPictureSize(width, height))
        qDebug("Resizing  JPEG buffer to %d", rgbBytes(width, height));
    QImage picture = jpegPictures.acquire();
    if (picture.isNull())
        qDebug("ERROR in allocating JPEG buffer memory");
    return picture;
}

// The buffer the next conversion writes, sized for width x height; null when memory ran out.
// Buffers of the old size still shown are freed once the picture on screen changes.
QImage FramePath::allocColorImage(int width, int height)
{
    const bool first = colorPictures.pictureBytes() == 0;
    const bool resized = colorPictures.setPictureSize(width, height);
    QImage picture = colorPictures.acquire();
    if (picture.isNull())
        qDebug(first || !resized ? "ERROR in allocating color image memory\n"
                                 : "ERROR in re-allocating color image memory\n");
    if (resized)
        qDebug(first ? "Allocating space for color image: %d"
                     : "Re-Allocating space for color image: %d",
               rgbBytes(width, height));
    return picture;
}

// The decoder's lines so far that are not written yet, where the viewer has always written them;
// those found before a picture was asked for come before the picture's own lines.
void FramePath::logDecoderNotes()
{
    const QList<FrameDecoder::Note> &notes = decoder.notes();
    for (; decoderNotesLogged < notes.size(); ++decoderNotesLogged) {
        const FrameDecoder::Note &note = notes.at(decoderNotesLogged);
        if (note.channel == FrameDecoder::Note::Channel::Debug) {
            qDebug("%s", qUtf8Printable(note.text));
        } else {
            std::fputs(qUtf8Printable(note.text), stdout);
            std::fflush(stdout);
        }
    }
}

// Payloads as received go out whatever became of the picture (JPEG always, raw data when chosen);
// a picture only when this frame made one, never the last good frame's in its place.
int FramePath::store(const FrameSlot &frame, bool pictured)
{
    int written;
    if (frame.format == FormatJpg)
        written = captureWriter.save_image_jpg(frame.payload);
    else if (pictured || captureWriter.savesRawData())
        written = captureWriter.save_image(pictured ? currentPicture : QPixmap(), frame.payload);
    else
        return NoCapture;
    return written < 0 ? CaptureFailed : written;
}
