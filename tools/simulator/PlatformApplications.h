#pragma once

#include <cstddef>
#include <cstdint>

// The platform's demonstration applications. Each processes the central region of a Gray frame
// (rows of exactly width bytes) in place, so the operator sees processed and plain image side by
// side. Each returns false and leaves the frame untouched when width or height is not positive or
// a buffer is shorter than width * height.

struct FrameRegion {
    int x;
    int y;
    int width;
    int height;
};

// The middle half of the frame in each direction; the whole frame when it is under 4 pixels.
FrameRegion centralRegion(int width, int height);

// Edge magnitude (Sobel), thresholded to black and white.
bool detectEdges(uint8_t *gray, size_t length, int width, int height);
// Stretches the region's value range to 0..255.
bool enhanceContrast(uint8_t *gray, size_t length, int width, int height);
// 3 x 3 median.
bool reduceNoise(uint8_t *gray, size_t length, int width, int height);
// Absolute difference to the previous frame as produced, before any processing.
bool estimateMotion(uint8_t *gray, size_t length, const uint8_t *previous, size_t previousLength,
                    int width, int height);

// Runs the application of a command code: 6 edges, 8 contrast, 10 noise, 11 motion. Codes 0
// (no processing), 7 and 9 change nothing and return true; unknown codes return false.
bool applyApplication(int code, uint8_t *gray, size_t length, const uint8_t *previous,
                      size_t previousLength, int width, int height);
