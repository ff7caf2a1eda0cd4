#pragma once

#include "BoardProtocol.h"

#include <cstddef>
#include <cstdint>

// Raw colour frames (UYVY, YUV420, NV12; the codes of BoardProtocol.h) to the picture the screen
// shows: native-endian 32-bit words 0xffRRGGBB, the layout of a QImage::Format_RGB32 picture,
// rows of exactly width words, by the integer BT.601 limited-range formula. Plain pointers and
// explicit lengths, so the stream client, tests, benchmarks and fuzzers call it alike.

// Odd sizes, which the camera never sends, are read as if padded to even: a UYVY row holds
// (w + 1) / 2 whole U,Y0,V,Y1 groups, YUV420 and NV12 chroma planes have (w + 1) / 2 samples a row
// and (h + 1) / 2 rows, and pixel (r, c) takes the chroma of row r / 2, column c / 2. For even
// sizes this is exactly 2 * w * h (UYVY) and w * h * 3 / 2 (YUV420, NV12) bytes.

// Bytes a payload of this format and size must hold; -1 when the format is no raw colour layout
// or xrgbPictureSize refuses the size.
long long rawPayloadSize(int format, int width, int height);

// Where the Y, U and V samples of pixel (x, y) lie in a payload of this format and size, by the
// layout above. The format must be UYVY, YUV420 or NV12 and (x, y) inside the frame.
struct RawSampleOffsets
{
    long long y, u, v;
};
inline RawSampleOffsets rawSampleOffsets(int format, long long width, long long height, long long x,
                                         long long y)
{
    const long long chromaWidth = (width + 1) / 2, chromaRows = (height + 1) / 2;
    if (format == BoardProtocol::FormatUyvy) {
        // Each group of four bytes U, Y0, V, Y1 holds two pixels.
        const long long group = y * 4 * chromaWidth + x / 2 * 4;
        return {group + 1 + x % 2 * 2, group, group + 2};
    }
    const long long chroma = width * height, chromaAt = y / 2 * chromaWidth + x / 2;
    if (format == BoardProtocol::FormatYuv420)
        return {y * width + x, chroma + chromaAt, chroma + chromaWidth * chromaRows + chromaAt};
    return {y * width + x, chroma + 2 * chromaAt, chroma + 2 * chromaAt + 1};
}

// Bytes of the picture, 4 * w * h; -1 when width or height is not positive or it overflows int.
long long xrgbPictureSize(int width, int height);

// Converts src into dst. Returns 0, or -1 (nothing written) when the format is unsupported,
// the size is invalid, a pointer is null, srcLength is shorter than rawPayloadSize or dstLength
// (in bytes) shorter than xrgbPictureSize.
int convertRawToXrgb32(const uint8_t *src, size_t srcLength, int format, int width, int height,
                       uint32_t *dst, size_t dstLength);

// Instruction-set paths, each faster than the one before; every path gives the same words.
// convertRawToXrgb32 uses the fastest one this processor runs.
enum class RawConvertPath { Scalar, Sse2, Avx2, Avx512 };

RawConvertPath rawConvertDefaultPath();
bool rawConvertPathAvailable(RawConvertPath path);
const char *rawConvertPathName(RawConvertPath path);

// convertRawToXrgb32 through the given path; -1 also when this processor lacks it.
int convertRawToXrgb32Using(RawConvertPath path, const uint8_t *src, size_t srcLength, int format,
                            int width, int height, uint32_t *dst, size_t dstLength);
