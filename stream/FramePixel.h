#pragma once

#include "FrameSlot.h"

// The source samples of one pixel of a frame as received: the level of a grayscale frame, or the
// Y, U and V of a raw colour frame (chroma shared by 2 x 2 pixels, odd sizes read as padded to
// even). JPEG frames and other codes carry no samples to read.
struct FramePixel
{
    enum Kind { None, Gray, Yuv };
    Kind kind = None;
    int level = 0; // Gray
    int y = 0, u = 0, v = 0; // Yuv
};

// None when (x, y) lies outside the frame or the payload is too short to hold the pixel.
FramePixel framePixelAt(const FrameSlot &frame, int x, int y);
