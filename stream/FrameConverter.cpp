#include "FrameConverter.h"

#include "FrameFormat.h"
#include "RawConvert.h"

#include <QDebug>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <utility>

// The conversion's own errors go to standard output, apart from the debug channel.
static void printError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

// The logs give a picture's size as its R,G,B bytes, as they always have, though the buffers
// hold it as 32-bit pixels that the screen takes as they are.
static int rgbBytes(int width, int height)
{
    return int(3LL * width * height);
}

FrameConverter::FrameConverter()
{
    jpegDecoder.init();
}

bool FrameConverter::convert(FrameSlot &frame)
{
    switch (frame.format) {
    case FormatJpg:
        return makeJpegImage(frame);
    case FormatGray:
        return makeGrayImage(frame);
    case FormatUyvy:
    case FormatYuv420:
    case FormatNv12:
        return makeColorImage(frame);
    default:
        return false;
    }
}

bool FrameConverter::makeGrayImage(const FrameSlot &frame)
{
    const qint64 pixels = qint64(frame.width) * frame.height;
    if (frame.width <= 0 || frame.height <= 0 || pixels > frame.payload.size()) {
        qDebug("Gray frame %dx%d does not fit its %d payload bytes, not shown", frame.width,
               frame.height, int(frame.payload.size()));
        return false;
    }
    currentImage = QImage(reinterpret_cast<const uchar *>(frame.payload.constData()), frame.width,
                          frame.height, frame.width, QImage::Format_Grayscale8);
    return true;
}

int FrameConverter::decodeJpegFrame(FrameSlot &frame)
{
    jpegDecoder.setSource(reinterpret_cast<unsigned char *>(frame.payload.data()),
                          int(frame.payload.size()));
    if (jpegDecoder.jpeg_check_header(frame.width, frame.height) < 0) {
        qDebug("Error in jpeg_check_header");
        return -1;
    }
    if (jpegImage.setPictureSize(frame.width, frame.height))
        qDebug("Resizing  JPEG buffer to %d", rgbBytes(frame.width, frame.height));
    QImage picture = jpegImage.acquire();
    if (picture.isNull()) {
        qDebug("ERROR in allocating JPEG buffer memory");
        return -1;
    }
    if (jpegDecoder.decodeInto(picture.bits(), size_t(picture.sizeInBytes()),
                               size_t(picture.bytesPerLine()))
        < 0)
        return -1;
    convertedImage = picture;
    return 0;
}

bool FrameConverter::makeJpegImage(FrameSlot &frame)
{
    if (decodeJpegFrame(frame) < 0) {
        qDebug("Error in decoding jpeg");
        return false;
    }
    currentImage = std::exchange(convertedImage, QImage());
    return true;
}

bool FrameConverter::makeColorImage(const FrameSlot &frame)
{
    // Refuse before touching the buffers, so a bad frame of another size keeps the last picture.
    const long long needed = rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed < 0 || needed > frame.payload.size()) {
        qDebug("Raw frame %dx%d refused: %d payload bytes", frame.width, frame.height,
               int(frame.payload.size()));
        qDebug("Problem in image conversion");
        return false;
    }
    allocColorImage(frame.width, frame.height);
    if (bvtCvtRawImage(reinterpret_cast<const unsigned char *>(frame.payload.constData()),
                       int(frame.payload.size()), frame.format, frame.width, frame.height)
        < 0) {
        qDebug("Problem in image conversion");
        return false;
    }
    currentImage = std::exchange(convertedImage, QImage());
    return true;
}

// Buffers of the old size still shown are freed once the picture on screen changes.
void FrameConverter::allocColorImage(int width, int height)
{
    const bool first = colorImage.pictureBytes() == 0;
    if (colorImage.setPictureSize(width, height))
        qDebug(first ? "Allocating space for color image: %d"
                     : "Re-Allocating space for color image: %d",
               rgbBytes(width, height));
}

int FrameConverter::bvtCvtRawImage(const unsigned char *src, int srcLength, int format, int width,
                                   int height)
{
    if (!src) {
        printError("%s: Error, invalid pointer provided\n", "bvtCvtRawImage");
        return -1;
    }
    if (colorImage.pictureBytes() == 0) {
        printError("Error: dest image not available\n");
        return -1;
    }
    if (format != FormatYuv420 && format != FormatNv12 && format != FormatUyvy) {
        printError("Pixel format not supported: %d\n", format);
        return -1;
    }
    QImage picture = colorImage.acquire();
    if (picture.isNull()) {
        qDebug("ERROR in allocating color image memory\n");
        return -1;
    }
    if (picture.width() != width || picture.height() != height) {
        qDebug("Raw frame %dx%d refused: the buffers are for %dx%d", width, height,
               picture.width(), picture.height());
        return -1;
    }
    if (convertRawToXrgb32(src, size_t(srcLength < 0 ? 0 : srcLength), format, width, height,
                           reinterpret_cast<uint32_t *>(picture.bits()),
                           size_t(picture.sizeInBytes()))
        < 0) {
        qDebug("Raw frame %dx%d refused: %d payload bytes", width, height, srcLength);
        return -1;
    }
    convertedImage = picture;
    return 0;
}
