#include "FrameDecoder.h"

#include "BoardProtocol.h"
#include "JpegDecoder.h"
#include "RawConvert.h"
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

} // namespace

FrameDecoder::FrameDecoder()
    : jpegDecoder(std::make_unique<JpegDecoder>())
{
    jpegDecoder->init();
}

FrameDecoder::~FrameDecoder() = default;

FrameDecoder::Outcome FrameDecoder::judge(const FrameSlot &frame)
{
    return run(frame, nullptr);
}

FrameDecoder::Outcome FrameDecoder::decode(const FrameSlot &frame, QImage &picture)
{
    const Outcome outcome = run(frame, &picture);
    if (outcome != Outcome::Shown)
        picture = QImage();
    return outcome;
}

// The caller's picture is written again when nothing else shares it and it has the frame's size.
void FrameDecoder::preparePicture(const FrameSlot &frame, QImage &picture)
{
    if (pictureSource)
        picture = pictureSource(frame.format, frame.width, frame.height);
    else if (picture.width() != frame.width || picture.height() != frame.height || !picture.isDetached()
             || picture.format() != QImage::Format_RGB32)
        picture = QImage(frame.width, frame.height, QImage::Format_RGB32);
}

FrameDecoder::Outcome FrameDecoder::run(const FrameSlot &frame, QImage *picture)
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

// Widened to 32-bit words straight from the payload.
FrameDecoder::Outcome FrameDecoder::makeGrayImage(const FrameSlot &frame, QImage *picture)
{
    const qint64 pixels = qint64(frame.width) * frame.height;
    if (frame.width <= 0 || frame.height <= 0 || pixels > frame.payload.size()) {
        qDebug("Gray frame %dx%d does not fit its %d payload bytes, not shown", frame.width,
               frame.height, int(frame.payload.size()));
        return frame.width <= 0 || frame.height <= 0 ? Outcome::BadSize : Outcome::PayloadTooShort;
    }
    if (!picture)
        return Outcome::Shown;
    preparePicture(frame, *picture);
    if (picture->isNull())
        return Outcome::OutOfMemory;
    const auto *gray = reinterpret_cast<const uint8_t *>(frame.payload.constData());
    for (int y = 0; y < frame.height; ++y)
        grayRowToXrgb32(gray + qsizetype(y) * frame.width,
                        reinterpret_cast<uint32_t *>(picture->scanLine(y)), frame.width);
    return Outcome::Shown;
}

// All calls of the JPEG decoder are here.
FrameDecoder::Outcome FrameDecoder::decodeJpegFrame(const FrameSlot &frame, QImage *picture)
{
    jpegDecoder->setSource(reinterpret_cast<const unsigned char *>(frame.payload.constData()),
                           int(frame.payload.size()));
    if (jpegDecoder->jpeg_check_header(frame.width, frame.height) < 0) {
        qDebug("Error in jpeg_check_header");
        return Outcome::JpegHeaderRefused;
    }
    if (!picture)
        return jpegDecoder->verifyData() < 0 ? Outcome::JpegUndecodable : Outcome::Shown;
    preparePicture(frame, *picture);
    if (picture->isNull())
        return Outcome::OutOfMemory;
    if (jpegDecoder->decodeInto(picture->bits(), size_t(picture->sizeInBytes()),
                                size_t(picture->bytesPerLine()))
        < 0)
        return Outcome::JpegUndecodable;
    return Outcome::Shown;
}

// Refused before a picture is asked for, so a bad frame of another size costs no buffer.
FrameDecoder::Outcome FrameDecoder::makeColorImage(const FrameSlot &frame, QImage *picture)
{
    const long long needed = rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed < 0 || needed > frame.payload.size()) {
        qDebug("Raw frame %dx%d refused: %d payload bytes", frame.width, frame.height,
               int(frame.payload.size()));
        qDebug("Problem in image conversion");
        return needed < 0 ? Outcome::BadSize : Outcome::PayloadTooShort;
    }
    if (!picture)
        return Outcome::Shown;
    preparePicture(frame, *picture);
    if (bvtCvtRawImage(frame, *picture) < 0) {
        qDebug("Problem in image conversion");
        return picture->isNull() ? Outcome::OutOfMemory : Outcome::BadSize;
    }
    return Outcome::Shown;
}

int FrameDecoder::bvtCvtRawImage(const FrameSlot &frame, QImage &picture)
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
