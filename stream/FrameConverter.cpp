#include "FrameConverter.h"

#include "FrameFormat.h"
#include "RawConvert.h"

#include <QDebug>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// The conversion's own errors go to standard output, apart from the debug channel.
static void printError(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}

FrameConverter::FrameConverter()
{
    jpegDecoder.init();
}

FrameConverter::~FrameConverter()
{
    freeColorImage();
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
    return jpegDecoder.decode();
}

bool FrameConverter::makeJpegImage(FrameSlot &frame)
{
    if (decodeJpegFrame(frame) < 0) {
        qDebug("Error in decoding jpeg");
        return false;
    }
    currentImage = QImage(jpegDecoder.outputData(), frame.width, frame.height, 3 * frame.width,
                          QImage::Format_RGB888);
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
    currentImage = QImage(colorImage[1 - colorImageIndex], frame.width, frame.height,
                          3 * frame.width, QImage::Format_RGB888);
    return true;
}

void FrameConverter::allocColorImage(int width, int height)
{
    const long long size = rgbPictureSize(width, height);
    if (size < 0 || size == colorImageSize)
        return; // an impossible size is refused by the conversion; nothing to allocate for it

    const bool first = colorImageSize == 0;
    if (currentImage.constBits() == colorImage[0] || currentImage.constBits() == colorImage[1])
        currentImage = currentImage.copy(); // it must not point into freed buffers
    freeColorImage();
    colorImage[0] = static_cast<unsigned char *>(std::malloc(size_t(size)));
    colorImage[1] = static_cast<unsigned char *>(std::malloc(size_t(size)));
    if (colorImage[0] && colorImage[1]) {
        colorImageSize = int(size);
    } else {
        // Keep the recorded size true to what exists: the conversion then refuses the frame.
        freeColorImage();
        qDebug(first ? "ERROR in allocating color image memory\n"
                     : "ERROR in re-allocating color image memory\n");
    }
    qDebug(first ? "Allocating space for color image: %d" : "Re-Allocating space for color image: %d",
           int(size));
}

void FrameConverter::freeColorImage()
{
    std::free(colorImage[0]);
    std::free(colorImage[1]);
    colorImage[0] = colorImage[1] = nullptr;
    colorImageSize = 0;
}

int FrameConverter::bvtCvtRawImage(const unsigned char *src, int srcLength, int format, int width,
                                   int height)
{
    if (!src) {
        printError("%s: Error, invalid pointer provided\n", "bvtCvtRawImage");
        return -1;
    }
    unsigned char *dest = colorImage[colorImageIndex];
    if (colorImageSize == 0) {
        printError("Error: dest image not available\n");
        return -1;
    }
    if (format != RawYuv420 && format != RawNv12 && format != RawUyvy) {
        printError("Pixel format not supported: %d\n", format);
        return -1;
    }
    if (convertRawToRgb(src, size_t(srcLength < 0 ? 0 : srcLength), format, width, height, dest,
                        size_t(colorImageSize))
        < 0) {
        qDebug("Raw frame %dx%d refused: %d payload bytes", width, height, srcLength);
        return -1;
    }
    colorImageIndex = 1 - colorImageIndex;
    return 0;
}
