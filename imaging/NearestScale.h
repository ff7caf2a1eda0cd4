#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Nearest-neighbour scaling of 32-bit pixels. Each target pixel takes the source pixel under its
// centre, stepped in 16.16 fixed point from double-precision scale factors exactly as Qt's fast
// transformation steps them, so the result equals QImage::scaled(..., Qt::FastTransformation)
// pixel for pixel and the operator sees the same picture.
class NearestScaler
{
public:
    // Larger sides would overflow the 16.16 positions.
    static constexpr int MaxSide = 32767;

    // Picks the source column and row of every target pixel, once for all frames of these sizes.
    // False, and no scaling until sizes are accepted, when a side is not positive or above MaxSide.
    bool setSizes(int srcWidth, int srcHeight, int dstWidth, int dstHeight);
    // Scales src into dst, pictures of the sizes set; strides are in bytes. False, nothing
    // written, when no sizes are set, a pointer is null or a stride is shorter than its row.
    bool scale(const uint32_t *src, size_t srcStride, uint32_t *dst, size_t dstStride) const;

    // The source column (or row) that target column (or row) index shows when a side of
    // sourceSide is scaled to targetSide; -1 when a side is not positive or above MaxSide, or the
    // index lies outside the target.
    static int sourceIndex(int index, int sourceSide, int targetSide);

private:
    int sourceWidth = 0;
    int sourceHeight = 0;
    std::vector<uint32_t> columns; // source column of each target column
    std::vector<uint32_t> rows;    // source row of each target row
};
