#pragma once

#include "FrameSlot.h"
#include "PixelSamples.h"

// The source samples of one pixel of a frame as received.
using FramePixel = PixelSamples;

// None when (x, y) lies outside the frame or the payload is too short to hold the pixel.
FramePixel framePixelAt(const FrameSlot &frame, int x, int y);
