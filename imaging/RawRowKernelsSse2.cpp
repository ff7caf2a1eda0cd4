#include "RawRowKernels.h"

#ifdef BREVANT_RAW_X86
#include <emmintrin.h>

// SSE2 is part of every x86-64 processor, so this path needs no target attribute.

namespace {

struct Chroma
{
    __m128i redA, redB, greenA, greenB, blueA, blueB;
};

inline __m128i splat(int value)
{
    return _mm_set1_epi16(static_cast<short>(value));
}

// Hides a factor from the compiler, which would otherwise turn the multiplication into a longer
// chain of shifts and adds.
BREVANT_INLINE __m128i factor(int value)
{
    __m128i vector = splat(value);
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+x"(vector));
#endif
    return vector;
}

BREVANT_INLINE Chroma chroma(__m128i u, __m128i v)
{
    using namespace RawLane;
    Chroma c;
    c.redA = _mm_add_epi16(_mm_mullo_epi16(v, factor(RedV)), splat(RedA));
    c.redB = _mm_add_epi16(v, splat(RedB));
    c.greenA = _mm_add_epi16(
        _mm_add_epi16(_mm_mullo_epi16(u, factor(GreenU)), _mm_mullo_epi16(v, factor(GreenV))),
        splat(GreenA));
    c.greenB = _mm_sub_epi16(splat(GreenB), v);
    c.blueA = _mm_add_epi16(_mm_slli_epi16(u, 2), splat(BlueA));
    c.blueB = _mm_add_epi16(_mm_slli_epi16(u, 1), splat(BlueB));
    return c;
}

BREVANT_INLINE __m128i channel(__m128i luma, __m128i scaled, __m128i a, __m128i b)
{
    return _mm_add_epi16(_mm_add_epi16(luma, b), _mm_srai_epi16(_mm_add_epi16(scaled, a), 8));
}

// Four pixels as R,G,B,0 dwords to their 12 bytes at the bottom of the register. Without a byte
// shuffle in SSE2, first close the gap inside each qword, then the one between the qwords.
BREVANT_INLINE __m128i squeeze(__m128i rgb0)
{
    const __m128i first = _mm_set1_epi64x(0xffffff);
    const __m128i second = _mm_set1_epi64x(0xffffff000000);
    const __m128i pairs = _mm_or_si128(_mm_and_si128(rgb0, first),
                                       _mm_and_si128(_mm_srli_epi64(rgb0, 8), second));
    return _mm_or_si128(_mm_move_epi64(pairs), _mm_slli_si128(_mm_srli_si128(pairs, 8), 6));
}

struct Channels
{
    __m128i r, g, b; // bytes 0..7 of the even pixels, 8..15 of the odd ones
};

// 16 pixels given as words of the eight even and the eight odd pixels.
BREVANT_INLINE Channels channels(__m128i even, __m128i odd, const Chroma &c)
{
    const __m128i lumaFactor = factor(RawLane::LumaFactor);
    const __m128i evenScaled = _mm_mullo_epi16(even, lumaFactor);
    const __m128i oddScaled = _mm_mullo_epi16(odd, lumaFactor);
    return {_mm_packus_epi16(channel(even, evenScaled, c.redA, c.redB),
                             channel(odd, oddScaled, c.redA, c.redB)),
            _mm_packus_epi16(channel(even, evenScaled, c.greenA, c.greenB),
                             channel(odd, oddScaled, c.greenA, c.greenB)),
            _mm_packus_epi16(channel(even, evenScaled, c.blueA, c.blueB),
                             channel(odd, oddScaled, c.blueA, c.blueB))};
}

BREVANT_INLINE void store16(uint8_t *dst, __m128i even, __m128i odd, const Chroma &c)
{
    const Channels rgb = channels(even, odd, c);
    const __m128i zero = _mm_setzero_si128();
    const __m128i rgEven = _mm_unpacklo_epi8(rgb.r, rgb.g), rgOdd = _mm_unpackhi_epi8(rgb.r, rgb.g);
    const __m128i bEven = _mm_unpacklo_epi8(rgb.b, zero), bOdd = _mm_unpackhi_epi8(rgb.b, zero);
    const __m128i even0 = _mm_unpacklo_epi16(rgEven, bEven);
    const __m128i even1 = _mm_unpackhi_epi16(rgEven, bEven);
    const __m128i odd0 = _mm_unpacklo_epi16(rgOdd, bOdd), odd1 = _mm_unpackhi_epi16(rgOdd, bOdd);
    const __m128i q0 = squeeze(_mm_unpacklo_epi32(even0, odd0));
    const __m128i q1 = squeeze(_mm_unpackhi_epi32(even0, odd0));
    const __m128i q2 = squeeze(_mm_unpacklo_epi32(even1, odd1));
    const __m128i q3 = squeeze(_mm_unpackhi_epi32(even1, odd1));
    auto *out = reinterpret_cast<__m128i *>(dst);
    _mm_storeu_si128(out, _mm_or_si128(q0, _mm_slli_si128(q1, 12)));
    _mm_storeu_si128(out + 1, _mm_or_si128(_mm_srli_si128(q1, 4), _mm_slli_si128(q2, 8)));
    _mm_storeu_si128(out + 2, _mm_or_si128(_mm_srli_si128(q2, 8), _mm_slli_si128(q3, 4)));
}

// The same pixels as native-endian 0xffRRGGBB words: B,G,R,255 in memory.
BREVANT_INLINE void store16(uint32_t *dst, __m128i even, __m128i odd, const Chroma &c)
{
    const Channels rgb = channels(even, odd, c);
    const __m128i opaque = _mm_set1_epi8(-1);
    const __m128i bgEven = _mm_unpacklo_epi8(rgb.b, rgb.g), bgOdd = _mm_unpackhi_epi8(rgb.b, rgb.g);
    const __m128i raEven = _mm_unpacklo_epi8(rgb.r, opaque);
    const __m128i raOdd = _mm_unpackhi_epi8(rgb.r, opaque);
    const __m128i even0 = _mm_unpacklo_epi16(bgEven, raEven);
    const __m128i even1 = _mm_unpackhi_epi16(bgEven, raEven);
    const __m128i odd0 = _mm_unpacklo_epi16(bgOdd, raOdd), odd1 = _mm_unpackhi_epi16(bgOdd, raOdd);
    auto *out = reinterpret_cast<__m128i *>(dst);
    _mm_storeu_si128(out, _mm_unpacklo_epi32(even0, odd0));
    _mm_storeu_si128(out + 1, _mm_unpackhi_epi32(even0, odd0));
    _mm_storeu_si128(out + 2, _mm_unpacklo_epi32(even1, odd1));
    _mm_storeu_si128(out + 3, _mm_unpackhi_epi32(even1, odd1));
}

template <typename Pixel>
BREVANT_INLINE void uyvyBlock(const uint8_t *src, Pixel *dst)
{
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 16));
    const __m128i low = _mm_set1_epi32(0xff);
    const __m128i u = _mm_packs_epi32(_mm_and_si128(a, low), _mm_and_si128(b, low));
    const __m128i even = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 8), low),
                                         _mm_and_si128(_mm_srli_epi32(b, 8), low));
    const __m128i v = _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, 16), low),
                                      _mm_and_si128(_mm_srli_epi32(b, 16), low));
    const __m128i odd = _mm_packs_epi32(_mm_srli_epi32(a, 24), _mm_srli_epi32(b, 24));
    store16(dst, even, odd, chroma(u, v));
}

template <typename Pixel>
BREVANT_INLINE void lumaRow(const uint8_t *y, Pixel *dst, const Chroma &c)
{
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(y));
    store16(dst, _mm_and_si128(bytes, splat(0xff)), _mm_srli_epi16(bytes, 8), c);
}

BREVANT_INLINE __m128i widen(const uint8_t *bytes)
{
    return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(bytes)),
                             _mm_setzero_si128());
}

template <typename Pixel>
BREVANT_INLINE void yuv420Block(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                                const uint8_t *v, Pixel *dst0, Pixel *dst1, int x)
{
    const Chroma c = chroma(widen(u + x / 2), widen(v + x / 2));
    lumaRow(y0 + x, rawPixelAt(dst0, x), c);
    lumaRow(y1 + x, rawPixelAt(dst1, x), c);
}

template <typename Pixel>
BREVANT_INLINE void nv12Block(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv,
                              Pixel *dst0, Pixel *dst1, int x)
{
    const __m128i pairs = _mm_loadu_si128(reinterpret_cast<const __m128i *>(uv + x));
    const Chroma c = chroma(_mm_and_si128(pairs, splat(0xff)), _mm_srli_epi16(pairs, 8));
    lumaRow(y0 + x, rawPixelAt(dst0, x), c);
    lumaRow(y1 + x, rawPixelAt(dst1, x), c);
}

constexpr int BlockPixels = 16;

template <typename Pixel>
void uyvyRow(const uint8_t *src, Pixel *dst, int width)
{
    int x = 0;
    if (width >= BlockPixels) {
        for (; x + BlockPixels <= width; x += BlockPixels)
            uyvyBlock(src + 2 * x, rawPixelAt(dst, x));
        if (x < width) {
            x = rawLastBlockStart(width, BlockPixels);
            uyvyBlock(src + 2 * x, rawPixelAt(dst, x));
            x += BlockPixels;
        }
    }
    rawScalarUyvy(src, dst, x, width);
}

template <typename Pixel>
void yuv420RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *u, const uint8_t *v,
                   Pixel *dst0, Pixel *dst1, int width)
{
    int x = 0;
    if (width >= BlockPixels) {
        for (; x + BlockPixels <= width; x += BlockPixels)
            yuv420Block(y0, y1, u, v, dst0, dst1, x);
        if (x < width) {
            x = rawLastBlockStart(width, BlockPixels);
            yuv420Block(y0, y1, u, v, dst0, dst1, x);
            x += BlockPixels;
        }
    }
    rawScalarYuv420(y0, y1, u, v, dst0, dst1, x, width);
}

template <typename Pixel>
void nv12RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, Pixel *dst0,
                 Pixel *dst1, int width)
{
    int x = 0;
    if (width >= BlockPixels) {
        for (; x + BlockPixels <= width; x += BlockPixels)
            nv12Block(y0, y1, uv, dst0, dst1, x);
        if (x < width) {
            x = rawLastBlockStart(width, BlockPixels);
            nv12Block(y0, y1, uv, dst0, dst1, x);
            x += BlockPixels;
        }
    }
    rawScalarNv12(y0, y1, uv, dst0, dst1, x, width);
}

} // namespace

const RawRowKernels &rawRowKernelsSse2()
{
    static const RawRowKernels kernels{
        {uyvyRow<uint8_t>, yuv420RowPair<uint8_t>, nv12RowPair<uint8_t>},
        {uyvyRow<uint32_t>, yuv420RowPair<uint32_t>, nv12RowPair<uint32_t>}};
    return kernels;
}

#endif
