#pragma once

#include "FrameSlot.h"
#include "JpegDecoder.h"

#include <QImage>

// Turns a completed frame into a picture: grayscale wrapped as it is, JPEG decoded, raw colour
// converted into one of two alternating RGB buffers. Each picture wraps its bytes without copying
// and stays valid until the next frame of the same kind is converted.
class FrameConverter
{
public:
    FrameConverter();
    ~FrameConverter();
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
    void freeColorImage();

    QImage currentImage;
    unsigned char *colorImage[2] = { nullptr, nullptr };
    int colorImageSize = 0;
    int colorImageIndex = 0;
    JpegDecoder jpegDecoder;
};
