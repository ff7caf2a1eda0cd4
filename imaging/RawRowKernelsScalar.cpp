#include "RawRowKernels.h"

namespace {

template <typename Pixel>
void uyvyRow(const uint8_t *src, Pixel *dst, int width)
{
    rawScalarUyvy(src, dst, 0, width);
}

template <typename Pixel>
void yuv420RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *u, const uint8_t *v,
                   Pixel *dst0, Pixel *dst1, int width)
{
    rawScalarYuv420(y0, y1, u, v, dst0, dst1, 0, width);
}

template <typename Pixel>
void nv12RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, Pixel *dst0,
                 Pixel *dst1, int width)
{
    rawScalarNv12(y0, y1, uv, dst0, dst1, 0, width);
}

} // namespace

const RawRowKernels &rawRowKernelsScalar()
{
    static const RawRowKernels kernels{
        {uyvyRow<uint8_t>, yuv420RowPair<uint8_t>, nv12RowPair<uint8_t>},
        {uyvyRow<uint32_t>, yuv420RowPair<uint32_t>, nv12RowPair<uint32_t>}};
    return kernels;
}
