#pragma once

#include <cstdint>

// Row converters of one instruction set, used by RawConvert.cpp. Each handles any width >= 1 and
// writes native-endian 32-bit words 0xffRRGGBB. A row pair shares one chroma row; for a lone last
// row both rows are passed as the same row.
struct RawRowKernels
{
    void (*uyvyRow)(const uint8_t *src, uint32_t *dst, int width);
    void (*yuv420RowPair)(const uint8_t *y0, const uint8_t *y1, const uint8_t *u, const uint8_t *v,
                          uint32_t *dst0, uint32_t *dst1, int width);
    void (*nv12RowPair)(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, uint32_t *dst0,
                        uint32_t *dst1, int width);
};

const RawRowKernels &rawRowKernelsScalar();

#if defined(__x86_64__) || defined(_M_X64)
#define BREVANT_RAW_X86 1
const RawRowKernels &rawRowKernelsSse2();
const RawRowKernels &rawRowKernelsAvx2();
const RawRowKernels &rawRowKernelsAvx512();
#endif

#if defined(__GNUC__) || defined(__clang__)
#define BREVANT_INLINE inline __attribute__((always_inline))
#define BREVANT_INLINE_LAMBDA __attribute__((always_inline))
#else
#define BREVANT_INLINE __forceinline
#define BREVANT_INLINE_LAMBDA
#endif

// The vector paths compute in 16-bit lanes: with raw samples Y, U, V each channel is
// (Y + b) + ((42 * Y + a) >> 8), where a and b depend on the chroma only. This equals the 32-bit
// formula for all 2^24 inputs and keeps every intermediate inside int16.
namespace RawLane {
constexpr int LumaFactor = 42;
constexpr int RedV = 153, RedA = -20128, RedB = -144;
constexpr int GreenU = -100, GreenV = 48, GreenA = 6112, GreenB = 112;
constexpr int BlueA = -1056, BlueB = -272;
} // namespace RawLane

// Scalar pixels, also the vector paths' tails: 32-bit arithmetic, clamped before the shift so no
// negative value is ever shifted. Static: each kernel file is compiled with its own instruction
// set, so each must keep its own copy rather than share one the linker picks.
struct RawChroma
{
    int red, green, blue;
};

static inline RawChroma rawChroma(int U, int V)
{
    const int u = U - 128, v = V - 128;
    return {409 * v + 128, -100 * u - 208 * v + 128, 516 * u + 128};
}

static inline uint32_t rawClampShift(int value)
{
    const int low = value < 0 ? 0 : value;
    return uint32_t((low > (255 << 8) ? (255 << 8) : low) >> 8);
}

static inline uint32_t rawPixel(int Y, const RawChroma &c)
{
    const int luma = 298 * (Y - 16);
    return 0xff000000u | rawClampShift(luma + c.red) << 16 | rawClampShift(luma + c.green) << 8
        | rawClampShift(luma + c.blue);
}

// Pixels [from, to) of a row; from is even.
static inline void rawScalarUyvy(const uint8_t *src, uint32_t *dst, int from, int to)
{
    for (int x = from; x < to; x += 2) {
        const uint8_t *group = src + 2 * x;
        const RawChroma c = rawChroma(group[0], group[2]);
        dst[x] = rawPixel(group[1], c);
        if (x + 1 < to)
            dst[x + 1] = rawPixel(group[3], c);
    }
}

static inline void rawScalarPair(const uint8_t *y0, const uint8_t *y1, uint32_t *dst0,
                                 uint32_t *dst1, int x, int to, const RawChroma &c)
{
    dst0[x] = rawPixel(y0[x], c);
    dst1[x] = rawPixel(y1[x], c);
    if (x + 1 < to) {
        dst0[x + 1] = rawPixel(y0[x + 1], c);
        dst1[x + 1] = rawPixel(y1[x + 1], c);
    }
}

static inline void rawScalarYuv420(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                                   const uint8_t *v, uint32_t *dst0, uint32_t *dst1, int from,
                                   int to)
{
    for (int x = from; x < to; x += 2)
        rawScalarPair(y0, y1, dst0, dst1, x, to, rawChroma(u[x / 2], v[x / 2]));
}

static inline void rawScalarNv12(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv,
                                 uint32_t *dst0, uint32_t *dst1, int from, int to)
{
    for (int x = from; x < to; x += 2)
        rawScalarPair(y0, y1, dst0, dst1, x, to, rawChroma(uv[x], uv[x + 1]));
}
