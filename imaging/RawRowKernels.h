#pragma once

#include <cstdint>

// Row converters of one instruction set, used by RawConvert.cpp. Each handles any width >= 1.
// A row pair shares one chroma row; for a lone last row both rows are passed as the same row.
// Rows come out as R,G,B bytes or as native-endian 0xffRRGGBB words (uint32_t).
struct RawRowKernels
{
    template <typename Pixel>
    struct Rows
    {
        void (*uyvyRow)(const uint8_t *src, Pixel *dst, int width);
        void (*yuv420RowPair)(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                              const uint8_t *v, Pixel *dst0, Pixel *dst1, int width);
        void (*nv12RowPair)(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, Pixel *dst0,
                            Pixel *dst1, int width);
    };
    Rows<uint8_t> rgb;
    Rows<uint32_t> words;
};

const RawRowKernels &rawRowKernelsScalar();

#if defined(__x86_64__) || defined(_M_X64)
#define BREVANT_RAW_X86 1
const RawRowKernels &rawRowKernelsSse2();
const RawRowKernels &rawRowKernelsAvx2();
const RawRowKernels &rawRowKernelsAvx512();
#endif

#if defined(__GNUC__) || defined(__clang__)
#define BREVANT_TARGET(isa) __attribute__((target(isa)))
#define BREVANT_INLINE inline __attribute__((always_inline))
#else
#define BREVANT_TARGET(isa)
#define BREVANT_INLINE __forceinline
#endif

// The SIMD paths compute in 16-bit lanes: with raw samples Y, U, V each channel is
// (Y + b) + ((42 * Y + a) >> 8), where a and b depend on the chroma only. This equals the 32-bit
// formula for all 2^24 inputs and keeps every intermediate inside int16.
namespace RawLane {
constexpr int LumaFactor = 42;
constexpr int RedV = 153, RedA = -20128, RedB = -144;
constexpr int GreenU = -100, GreenV = 48, GreenA = 6112, GreenB = 112;
constexpr int BlueA = -1056, BlueB = -272;
} // namespace RawLane

// Scalar pixels, also the SIMD paths' tails: 32-bit arithmetic, clamped before the shift so no
// negative value is ever shifted.
struct RawChroma
{
    int red, green, blue;
};

inline RawChroma rawChroma(int U, int V)
{
    const int u = U - 128, v = V - 128;
    return {409 * v + 128, -100 * u - 208 * v + 128, 516 * u + 128};
}

inline uint8_t rawClampShift(int value)
{
    const int low = value < 0 ? 0 : value;
    return static_cast<uint8_t>((low > (255 << 8) ? (255 << 8) : low) >> 8);
}

// Pixel x of a row of either output.
inline uint8_t *rawPixelAt(uint8_t *row, int x)
{
    return row + 3 * x;
}

inline uint32_t *rawPixelAt(uint32_t *row, int x)
{
    return row + x;
}

inline void rawPutPixel(uint8_t *dst, int Y, const RawChroma &c)
{
    const int luma = 298 * (Y - 16);
    dst[0] = rawClampShift(luma + c.red);
    dst[1] = rawClampShift(luma + c.green);
    dst[2] = rawClampShift(luma + c.blue);
}

inline void rawPutPixel(uint32_t *dst, int Y, const RawChroma &c)
{
    const int luma = 298 * (Y - 16);
    *dst = 0xff000000u | uint32_t(rawClampShift(luma + c.red)) << 16
        | uint32_t(rawClampShift(luma + c.green)) << 8 | rawClampShift(luma + c.blue);
}

// Pixels [from, to) of a row; from is even.
template <typename Pixel>
inline void rawScalarUyvy(const uint8_t *src, Pixel *dst, int from, int to)
{
    for (int x = from; x < to; x += 2) {
        const uint8_t *group = src + 2 * x;
        const RawChroma c = rawChroma(group[0], group[2]);
        rawPutPixel(rawPixelAt(dst, x), group[1], c);
        if (x + 1 < to)
            rawPutPixel(rawPixelAt(dst, x + 1), group[3], c);
    }
}

template <typename Pixel>
inline void rawScalarPair(const uint8_t *y0, const uint8_t *y1, Pixel *dst0, Pixel *dst1, int x,
                          int to, const RawChroma &c)
{
    rawPutPixel(rawPixelAt(dst0, x), y0[x], c);
    rawPutPixel(rawPixelAt(dst1, x), y1[x], c);
    if (x + 1 < to) {
        rawPutPixel(rawPixelAt(dst0, x + 1), y0[x + 1], c);
        rawPutPixel(rawPixelAt(dst1, x + 1), y1[x + 1], c);
    }
}

template <typename Pixel>
inline void rawScalarYuv420(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                            const uint8_t *v, Pixel *dst0, Pixel *dst1, int from, int to)
{
    for (int x = from; x < to; x += 2)
        rawScalarPair(y0, y1, dst0, dst1, x, to, rawChroma(u[x / 2], v[x / 2]));
}

template <typename Pixel>
inline void rawScalarNv12(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, Pixel *dst0,
                          Pixel *dst1, int from, int to)
{
    for (int x = from; x < to; x += 2)
        rawScalarPair(y0, y1, dst0, dst1, x, to, rawChroma(uv[x], uv[x + 1]));
}

// Where the last whole SIMD block of n pixels starts: it overlaps the one before, so at most one
// odd last column is left to the scalar code. Even, so blocks start on a chroma sample.
inline int rawLastBlockStart(int width, int n)
{
    return (width - n) & ~1;
}

// Byte position, within one 16-byte lane of a channel vector packed from even and odd pixel
// words, of the lane's pixel p (0..15): even pixels fill bytes 0..7, odd pixels bytes 8..15.
constexpr int rawLanePosition(int p)
{
    return (p & 1) ? 8 + p / 2 : p / 2;
}
