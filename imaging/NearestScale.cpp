#include "NearestScale.h"

#include <cmath>
#include <cstring>

namespace {

// Qt maps the source rectangle through the scale matrix and divides back, in doubles; the same
// arithmetic gives the same picks. Empty when a pick would fall outside the source.
struct Stepping
{
    uint32_t first;
    uint32_t step;
};

Stepping stepping(int source, int target)
{
    const double scale = double(target) / double(source);
    const double perTarget = double(source) / (double(source) * scale);
    return { uint32_t(std::ceil(0.5 * perTarget * 65536.0) - 1.0),
             uint32_t(int(65536.0 * perTarget)) };
}

std::vector<uint32_t> picks(int source, int target)
{
    const Stepping steps = stepping(source, target);
    uint32_t position = steps.first;
    const uint32_t step = steps.step;
    std::vector<uint32_t> picked(static_cast<size_t>(target));
    for (uint32_t &pick : picked) {
        pick = position >> 16;
        if (pick >= uint32_t(source))
            return {};
        position += step;
    }
    return picked;
}

bool sideAccepted(int side)
{
    return side > 0 && side <= NearestScaler::MaxSide;
}

} // namespace

int NearestScaler::sourceIndex(int index, int sourceSide, int targetSide)
{
    if (!sideAccepted(sourceSide) || !sideAccepted(targetSide) || index < 0 || index >= targetSide)
        return -1;
    const Stepping steps = stepping(sourceSide, targetSide);
    const uint32_t pick = (steps.first + uint32_t(index) * steps.step) >> 16;
    return pick < uint32_t(sourceSide) ? int(pick) : -1;
}

bool NearestScaler::setSizes(int srcWidth, int srcHeight, int dstWidth, int dstHeight)
{
    // The same sizes as last time, accepted then (none are set before the first).
    if (!columns.empty() && srcWidth == sourceWidth && srcHeight == sourceHeight
        && size_t(dstWidth) == columns.size() && size_t(dstHeight) == rows.size())
        return true;
    sourceWidth = sourceHeight = 0;
    columns.clear();
    rows.clear();
    if (!sideAccepted(srcWidth) || !sideAccepted(srcHeight) || !sideAccepted(dstWidth)
        || !sideAccepted(dstHeight))
        return false;
    columns = picks(srcWidth, dstWidth);
    rows = picks(srcHeight, dstHeight);
    if (columns.empty() || rows.empty()) {
        columns.clear();
        rows.clear();
        return false;
    }
    sourceWidth = srcWidth;
    sourceHeight = srcHeight;
    return true;
}

bool NearestScaler::scale(const uint32_t *src, size_t srcStride, uint32_t *dst,
                          size_t dstStride) const
{
    const size_t width = columns.size();
    if (width == 0 || !src || !dst || srcStride < 4 * size_t(sourceWidth)
        || dstStride < 4 * width)
        return false;
    const auto *srcBytes = reinterpret_cast<const unsigned char *>(src);
    auto *dstBytes = reinterpret_cast<unsigned char *>(dst);
    const uint32_t *column = columns.data();
    for (size_t row = 0; row < rows.size(); ++row) {
        auto *out = reinterpret_cast<uint32_t *>(dstBytes + row * dstStride);
        if (row > 0 && rows[row] == rows[row - 1]) {
            // Enlarging: the row above picked the same pixels.
            std::memcpy(out, dstBytes + (row - 1) * dstStride, 4 * width);
            continue;
        }
        const auto *in = reinterpret_cast<const uint32_t *>(srcBytes + rows[row] * srcStride);
        size_t x = 0;
        for (; x + 4 <= width; x += 4) {
            const uint32_t a = in[column[x]], b = in[column[x + 1]], c = in[column[x + 2]],
                           d = in[column[x + 3]];
            out[x] = a;
            out[x + 1] = b;
            out[x + 2] = c;
            out[x + 3] = d;
        }
        for (; x < width; ++x)
            out[x] = in[column[x]];
    }
    return true;
}
