#pragma once

#include <QtGlobal>

// The source samples of one pixel of a board payload: the level of a grayscale one, or the Y, U
// and V of a raw colour one (chroma shared by 2 x 2 pixels, odd sizes read as padded to even).
// JPEG payloads and other codes carry no samples to read.
struct PixelSamples
{
    enum Kind { None, Gray, Yuv };
    Kind kind = None;
    int level = 0; // Gray
    int y = 0, u = 0, v = 0; // Yuv
};

// None when (x, y) lies outside the picture or the payload is too short to hold the pixel.
PixelSamples pixelSamplesAt(const uchar *payload, qint64 length, int format, int width, int height, int x, int y);
