#pragma once

#include <cstddef>
#include <cstdint>

// Raw colour frames to packed R,G,B bytes (3 bytes a pixel, rows of exactly 3 * width bytes),
// by the integer BT.601 limited-range formula. Plain pointers and explicit lengths, so the stream
// client, tests, benchmarks and fuzzers call it alike.

// Frame format codes of the raw colour layouts, as carried on the wire.
enum RawFormat { RawUyvy = 2, RawYuv420 = 3, RawNv12 = 4 };

// Bytes a payload of this format and size must hold; -1 when the format is no raw colour layout,
// width or height is not positive, or the RGB picture (3 * w * h) would not fit an int.
long long rawPayloadSize(int format, int width, int height);

// Bytes of the RGB picture, 3 * w * h; -1 when width or height is not positive or it overflows int.
long long rgbPictureSize(int width, int height);

// Converts src into dst. Returns 0, or -1 (nothing written) when the format is unsupported,
// the size is invalid, srcLength is shorter than rawPayloadSize or dstLength shorter than
// rgbPictureSize.
int convertRawToRgb(const uint8_t *src, size_t srcLength, int format, int width, int height,
                    uint8_t *dst, size_t dstLength);
