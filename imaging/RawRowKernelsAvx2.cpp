#include "RawRowKernels.h"

#ifdef BREVANT_RAW_X86
#include <immintrin.h>

#define AVX2 BREVANT_TARGET("avx2")

namespace {

// vpshufb masks that gather one 16-byte lane's R, G and B bytes into its three 16-byte pieces of
// R,G,B output: masks[piece][channel].
struct InterleaveMasks
{
    alignas(32) uint8_t bytes[3][3][32];
};

constexpr InterleaveMasks makeInterleaveMasks()
{
    InterleaveMasks m{};
    for (int piece = 0; piece < 3; ++piece)
        for (int channel = 0; channel < 3; ++channel)
            for (int i = 0; i < 32; ++i) {
                const int k = 16 * piece + i % 16;
                m.bytes[piece][channel][i] =
                    k % 3 == channel ? static_cast<uint8_t>(rawLanePosition(k / 3)) : 0x80;
            }
    return m;
}

constexpr InterleaveMasks interleaveMasks = makeInterleaveMasks();

struct Chroma
{
    __m256i redA, redB, greenA, greenB, blueA, blueB;
};

AVX2 BREVANT_INLINE __m256i splat(int value)
{
    return _mm256_set1_epi16(static_cast<short>(value));
}

// Hides a factor from the compiler, which would otherwise turn the multiplication into a longer
// chain of shifts and adds.
AVX2 BREVANT_INLINE __m256i factor(int value)
{
    __m256i vector = splat(value);
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+x"(vector));
#endif
    return vector;
}

AVX2 BREVANT_INLINE Chroma chroma(__m256i u, __m256i v)
{
    using namespace RawLane;
    Chroma c;
    c.redA = _mm256_add_epi16(_mm256_mullo_epi16(v, factor(RedV)), splat(RedA));
    c.redB = _mm256_add_epi16(v, splat(RedB));
    c.greenA = _mm256_add_epi16(_mm256_add_epi16(_mm256_mullo_epi16(u, factor(GreenU)),
                                                 _mm256_mullo_epi16(v, factor(GreenV))),
                                splat(GreenA));
    c.greenB = _mm256_sub_epi16(splat(GreenB), v);
    c.blueA = _mm256_add_epi16(_mm256_slli_epi16(u, 2), splat(BlueA));
    c.blueB = _mm256_add_epi16(_mm256_slli_epi16(u, 1), splat(BlueB));
    return c;
}

AVX2 BREVANT_INLINE __m256i channel(__m256i luma, __m256i scaled, __m256i a, __m256i b)
{
    return _mm256_add_epi16(_mm256_add_epi16(luma, b),
                            _mm256_srai_epi16(_mm256_add_epi16(scaled, a), 8));
}

AVX2 BREVANT_INLINE __m256i mask(int piece, int channel)
{
    return _mm256_load_si256(
        reinterpret_cast<const __m256i *>(interleaveMasks.bytes[piece][channel]));
}

AVX2 BREVANT_INLINE __m256i piece(int index, __m256i r, __m256i g, __m256i b)
{
    return _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(r, mask(index, 0)),
                                           _mm256_shuffle_epi8(g, mask(index, 1))),
                           _mm256_shuffle_epi8(b, mask(index, 2)));
}

struct Channels
{
    __m256i r, g, b; // in each lane, bytes 0..7 of the even pixels, 8..15 of the odd ones
};

// 32 pixels given as words of the even and of the odd pixels, lane 0 holding pixels 0..15 and
// lane 1 pixels 16..31, with their chroma in the same word positions.
AVX2 BREVANT_INLINE Channels channels(__m256i even, __m256i odd, const Chroma &c)
{
    const __m256i lumaFactor = factor(RawLane::LumaFactor);
    const __m256i evenScaled = _mm256_mullo_epi16(even, lumaFactor);
    const __m256i oddScaled = _mm256_mullo_epi16(odd, lumaFactor);
    return {_mm256_packus_epi16(channel(even, evenScaled, c.redA, c.redB),
                                channel(odd, oddScaled, c.redA, c.redB)),
            _mm256_packus_epi16(channel(even, evenScaled, c.greenA, c.greenB),
                                channel(odd, oddScaled, c.greenA, c.greenB)),
            _mm256_packus_epi16(channel(even, evenScaled, c.blueA, c.blueB),
                                channel(odd, oddScaled, c.blueA, c.blueB))};
}

AVX2 BREVANT_INLINE void store32(uint8_t *dst, __m256i even, __m256i odd, const Chroma &c)
{
    const Channels rgb = channels(even, odd, c);
    const __m256i p0 = piece(0, rgb.r, rgb.g, rgb.b), p1 = piece(1, rgb.r, rgb.g, rgb.b),
                  p2 = piece(2, rgb.r, rgb.g, rgb.b);
    auto *out = reinterpret_cast<__m256i *>(dst);
    _mm256_storeu_si256(out, _mm256_permute2x128_si256(p0, p1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_blend_epi32(p2, p0, 0xf0));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(p1, p2, 0x31));
}

// The same pixels as native-endian 0xffRRGGBB words: B,G,R,255 in memory.
AVX2 BREVANT_INLINE void store32(uint32_t *dst, __m256i even, __m256i odd, const Chroma &c)
{
    const Channels rgb = channels(even, odd, c);
    const __m256i opaque = _mm256_set1_epi8(-1);
    const __m256i bgEven = _mm256_unpacklo_epi8(rgb.b, rgb.g);
    const __m256i bgOdd = _mm256_unpackhi_epi8(rgb.b, rgb.g);
    const __m256i raEven = _mm256_unpacklo_epi8(rgb.r, opaque);
    const __m256i raOdd = _mm256_unpackhi_epi8(rgb.r, opaque);
    // Words of pixels 0, 2, 4, 6 and 8, 10, 12, 14 of each lane, then of the odd ones.
    const __m256i even0 = _mm256_unpacklo_epi16(bgEven, raEven);
    const __m256i even1 = _mm256_unpackhi_epi16(bgEven, raEven);
    const __m256i odd0 = _mm256_unpacklo_epi16(bgOdd, raOdd);
    const __m256i odd1 = _mm256_unpackhi_epi16(bgOdd, raOdd);
    // Pixels 0..3, 4..7, 8..11 and 12..15 of each lane.
    const __m256i w0 = _mm256_unpacklo_epi32(even0, odd0), w1 = _mm256_unpackhi_epi32(even0, odd0);
    const __m256i w2 = _mm256_unpacklo_epi32(even1, odd1), w3 = _mm256_unpackhi_epi32(even1, odd1);
    auto *out = reinterpret_cast<__m256i *>(dst);
    _mm256_storeu_si256(out, _mm256_permute2x128_si256(w0, w1, 0x20));
    _mm256_storeu_si256(out + 1, _mm256_permute2x128_si256(w2, w3, 0x20));
    _mm256_storeu_si256(out + 2, _mm256_permute2x128_si256(w0, w1, 0x31));
    _mm256_storeu_si256(out + 3, _mm256_permute2x128_si256(w2, w3, 0x31));
}

AVX2 BREVANT_INLINE __m256i load128x2(const uint8_t *low, const uint8_t *high)
{
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(low))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(high)), 1);
}

template <typename Pixel>
AVX2 BREVANT_INLINE void uyvyBlock(const uint8_t *src, Pixel *dst)
{
    // Lanes of a hold groups 0-3 and 8-11, of b groups 4-7 and 12-15, so that joining their
    // halves keeps pixels 0..15 in lane 0. In each lane the shuffles widen four groups' U then V,
    // or Y0 then Y1, to words.
    const __m256i a = load128x2(src, src + 32), b = load128x2(src + 16, src + 48);
    const __m256i chromaMask = _mm256_setr_epi8(0, -1, 4, -1, 8, -1, 12, -1, 2, -1, 6, -1, 10, -1,
                                                14, -1, 0, -1, 4, -1, 8, -1, 12, -1, 2, -1, 6, -1,
                                                10, -1, 14, -1);
    const __m256i lumaMask = _mm256_add_epi8(chromaMask, _mm256_set1_epi16(1));
    const __m256i chromaA = _mm256_shuffle_epi8(a, chromaMask);
    const __m256i chromaB = _mm256_shuffle_epi8(b, chromaMask);
    const __m256i lumaA = _mm256_shuffle_epi8(a, lumaMask);
    const __m256i lumaB = _mm256_shuffle_epi8(b, lumaMask);
    store32(dst, _mm256_unpacklo_epi64(lumaA, lumaB), _mm256_unpackhi_epi64(lumaA, lumaB),
            chroma(_mm256_unpacklo_epi64(chromaA, chromaB),
                   _mm256_unpackhi_epi64(chromaA, chromaB)));
}

template <typename Pixel>
AVX2 BREVANT_INLINE void lumaRow(const uint8_t *y, Pixel *dst, const Chroma &c)
{
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(y));
    store32(dst, _mm256_and_si256(bytes, splat(0xff)), _mm256_srli_epi16(bytes, 8), c);
}

AVX2 BREVANT_INLINE __m256i widen(const uint8_t *bytes)
{
    return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
}

template <typename Pixel>
AVX2 BREVANT_INLINE void yuv420Block(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                                     const uint8_t *v, Pixel *dst0, Pixel *dst1, int x)
{
    const Chroma c = chroma(widen(u + x / 2), widen(v + x / 2));
    lumaRow(y0 + x, rawPixelAt(dst0, x), c);
    lumaRow(y1 + x, rawPixelAt(dst1, x), c);
}

template <typename Pixel>
AVX2 BREVANT_INLINE void nv12Block(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv,
                                   Pixel *dst0, Pixel *dst1, int x)
{
    const __m256i pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(uv + x));
    const Chroma c = chroma(_mm256_and_si256(pairs, splat(0xff)), _mm256_srli_epi16(pairs, 8));
    lumaRow(y0 + x, rawPixelAt(dst0, x), c);
    lumaRow(y1 + x, rawPixelAt(dst1, x), c);
}

constexpr int BlockPixels = 32;

template <typename Pixel>
AVX2 void uyvyRow(const uint8_t *src, Pixel *dst, int width)
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
AVX2 void yuv420RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *u, const uint8_t *v,
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
AVX2 void nv12RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, Pixel *dst0,
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

const RawRowKernels &rawRowKernelsAvx2()
{
    static const RawRowKernels kernels{
        {uyvyRow<uint8_t>, yuv420RowPair<uint8_t>, nv12RowPair<uint8_t>},
        {uyvyRow<uint32_t>, yuv420RowPair<uint32_t>, nv12RowPair<uint32_t>}};
    return kernels;
}

#endif
