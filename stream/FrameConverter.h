#pragma once

#include "FrameSlot.h"
#include "JpegDecoder.h"
#include "PictureBuffers.h"

#include <QImage>

// Turns a completed frame into a picture: grayscale wrapped as it is, JPEG decoded and raw colour
// converted into 32-bit RGB buffers that a pixmap shares without copying. A colour buffer is
// written again only once no picture refers to it, so two of them alternate while the stream
// runs; a grayscale picture stays valid until the frame slot it wraps is filled again.
class FrameConverter
{
public:
    FrameConverter();
    FrameConverter(const FrameConverter &) = delete;
    FrameConverter &operator=(const FrameConverter &) = delete;

    // False when the frame cannot be shown (bad size, undecodable, unsupported code); the
    // previous picture is then left as it was.
    bool convert(FrameSlot &frame);
    const QImage &image() const { return currentImage; }

    int decodeJpegFrame(FrameSlot &frame);
    void allocColorImage(int width, int height);
    int bvtCvtRawImage(const unsigned char *src, int srcLength, int format, int width, int height);

private:
    bool makeGrayImage(const FrameSlot &frame);
    bool makeJpegImage(FrameSlot &frame);
    bool makeColorImage(const FrameSlot &frame);

    QImage currentImage;
    QImage convertedImage; // the picture of the frame just converted, until it becomes current
    PictureBuffers colorImage;
    PictureBuffers jpegImage;
    JpegDecoder jpegDecoder;
};
