#include "RawRowKernels.h"

namespace {

void uyvyRow(const uint8_t *src, uint32_t *dst, int width)
{
    rawScalarUyvy(src, dst, 0, width);
}

void yuv420RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *u, const uint8_t *v,
                   uint32_t *dst0, uint32_t *dst1, int width)
{
    rawScalarYuv420(y0, y1, u, v, dst0, dst1, 0, width);
}

void nv12RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, uint32_t *dst0,
                 uint32_t *dst1, int width)
{
    rawScalarNv12(y0, y1, uv, dst0, dst1, 0, width);
}

} // namespace

const RawRowKernels &rawRowKernelsScalar()
{
    static const RawRowKernels kernels{uyvyRow, yuv420RowPair, nv12RowPair};
    return kernels;
}
