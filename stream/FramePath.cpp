#include "FramePath.h"

#include "BoardProtocol.h"
#include "JpegDecoder.h"
#include "RawConvert.h"
#include "StreamStatistics.h"
#include "XrgbRows.h"

#include <QDebug>

#include <cstdarg>
#include <cstdio>

using namespace BoardProtocol;

namespace {

// The raw conversion's own errors go to standard output, apart from the debug channel.
void printError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// The logs give a picture's size as its R,G,B bytes, as they always have, though the buffers hold
// it as 32-bit pixels.
int rgbBytes(int width, int height)
{
    return 3 * width * height;
}

bool jpegHeaderFits(JpegDecoder &decoder, const FrameSlot &frame)
{
    decoder.setSource(reinterpret_cast<const unsigned char *>(frame.payload.constData()),
                      int(frame.payload.size()));
    if (decoder.jpeg_check_header(frame.width, frame.height) < 0) {
        qDebug("Error in jpeg_check_header");
        return false;
    }
    return true;
}

} // namespace

FramePath::FramePath()
    : jpegDecoder(std::make_unique<JpegDecoder>())
{
    jpegDecoder->init();
}

FramePath::~FramePath() = default;

void FramePath::setStatistics(StreamStatistics *counters)
{
    statistics = counters;
    captureWriter.setStatistics(counters);
}

FramePath::Result FramePath::show(const FrameSlot &frame)
{
    QImage picture;
    const Outcome outcome = makePicture(frame, picture);
    return settle(frame, outcome, picture);
}

FramePath::Result FramePath::showJudged(const FrameSlot &frame, Outcome judged)
{
    if (judged != Outcome::Shown)
        qDebug("Error in decoding jpeg");
    QImage none;
    return settle(frame, judged, none);
}

FramePath::Result FramePath::settle(const FrameSlot &frame, Outcome outcome, QImage &picture)
{
    Result result;
    result.outcome = outcome;
    const bool pictured = result.shown() && !picture.isNull();
    if (pictured)
        currentPicture = QPixmap::fromImage(std::move(picture));
    if (statistics) {
        if (result.shown())
            statistics->frameShown();
        else if (result.damaged())
            statistics->frameDamaged();
    }
    if (captureWriter.isEnabled() && result.outcome != Outcome::HiddenCode)
        result.capture = store(frame, pictured);
    return result;
}

bool FramePath::pictureWanted(const FrameSlot &frame) const
{
    const bool capturedAsPicture = captureWriter.isEnabled() && !captureWriter.savesRawData();
    return !screenless || (frame.format != FormatJpg && capturedAsPicture);
}

FramePath::Outcome FramePath::makePicture(const FrameSlot &frame, QImage &picture)
{
    switch (frame.format) {
    case FormatJpg: {
        const Outcome outcome = decodeJpegFrame(frame, picture);
        if (outcome != Outcome::Shown)
            qDebug("Error in decoding jpeg");
        return outcome;
    }
    case FormatGray:
        return makeGrayImage(frame, picture);
    case FormatUyvy:
    case FormatYuv420:
    case FormatNv12:
        return makeColorImage(frame, picture);
    default:
        return Outcome::HiddenCode;
    }
}

// Widened to 32-bit words straight from the payload, on its one way into the pixmap.
FramePath::Outcome FramePath::makeGrayImage(const FrameSlot &frame, QImage &picture)
{
    const qint64 pixels = qint64(frame.width) * frame.height;
    if (frame.width <= 0 || frame.height <= 0 || pixels > frame.payload.size()) {
        qDebug("Gray frame %dx%d does not fit its %d payload bytes, not shown", frame.width,
               frame.height, int(frame.payload.size()));
        return frame.width <= 0 || frame.height <= 0 ? Outcome::BadSize : Outcome::PayloadTooShort;
    }
    if (!pictureWanted(frame))
        return Outcome::Shown;
    grayPictures.setPictureSize(frame.width, frame.height);
    picture = grayPictures.acquire();
    if (picture.isNull())
        return Outcome::OutOfMemory;
    const auto *gray = reinterpret_cast<const uint8_t *>(frame.payload.constData());
    for (int y = 0; y < frame.height; ++y)
        grayRowToXrgb32(gray + qsizetype(y) * frame.width,
                        reinterpret_cast<uint32_t *>(picture.scanLine(y)), frame.width);
    return Outcome::Shown;
}

// All calls of the JPEG decoder are here and in judgeJpeg.
FramePath::Outcome FramePath::decodeJpegFrame(const FrameSlot &frame, QImage &picture)
{
    if (!pictureWanted(frame))
        return judgeJpeg(*jpegDecoder, frame);
    if (!jpegHeaderFits(*jpegDecoder, frame))
        return Outcome::JpegHeaderRefused;
    if (jpegPictures.setPictureSize(frame.width, frame.height))
        qDebug("Resizing  JPEG buffer to %d", rgbBytes(frame.width, frame.height));
    picture = jpegPictures.acquire();
    if (picture.isNull()) {
        qDebug("ERROR in allocating JPEG buffer memory");
        return Outcome::OutOfMemory;
    }
    if (jpegDecoder->decodeInto(picture.bits(), size_t(picture.sizeInBytes()),
                                size_t(picture.bytesPerLine()))
        < 0)
        return Outcome::JpegUndecodable;
    return Outcome::Shown;
}

FramePath::Outcome FramePath::judgeJpeg(JpegDecoder &decoder, const FrameSlot &frame)
{
    if (!jpegHeaderFits(decoder, frame))
        return Outcome::JpegHeaderRefused;
    return decoder.verifyData() < 0 ? Outcome::JpegUndecodable : Outcome::Shown;
}

// Refused before the buffers are touched, so a bad frame of another size keeps the last picture.
FramePath::Outcome FramePath::makeColorImage(const FrameSlot &frame, QImage &picture)
{
    const long long needed = rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed < 0 || needed > frame.payload.size()) {
        qDebug("Raw frame %dx%d refused: %d payload bytes", frame.width, frame.height,
               int(frame.payload.size()));
        qDebug("Problem in image conversion");
        return needed < 0 ? Outcome::BadSize : Outcome::PayloadTooShort;
    }
    if (!pictureWanted(frame))
        return Outcome::Shown;
    picture = allocColorImage(frame.width, frame.height);
    if (bvtCvtRawImage(frame, picture) < 0) {
        qDebug("Problem in image conversion");
        return picture.isNull() ? Outcome::OutOfMemory : Outcome::HiddenCode;
    }
    return Outcome::Shown;
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

int FramePath::bvtCvtRawImage(const FrameSlot &frame, QImage &picture)
{
    if (picture.isNull()) {
        printError("Error: dest image not available\n");
        return -1;
    }
    // The frame's size was checked against its payload; only an unknown layout is left to refuse.
    if (convertRawToXrgb32(reinterpret_cast<const uint8_t *>(frame.payload.constData()),
                           size_t(frame.payload.size()), frame.format, frame.width, frame.height,
                           reinterpret_cast<uint32_t *>(picture.bits()),
                           size_t(picture.sizeInBytes()))
        < 0) {
        printError("Pixel format not supported: %d\n", frame.format);
        return -1;
    }
    return 0;
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
