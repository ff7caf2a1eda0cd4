#include "RawRowKernels.h"

#ifdef BREVANT_RAW_X86
#include <immintrin.h>

// Needs AVX-512BW for 16-bit lanes and AVX-512VBMI for byte permutes across the whole register,
// which put 64 pixels' R, G and B bytes in order with two permutes for each 64 output bytes.
#define AVX512 BREVANT_TARGET("avx512f,avx512bw,avx512vbmi")

namespace {

struct Tables
{
    // Output piece p (bytes 64p..64p+63 of 64 pixels): where its R and G bytes come from in
    // R (0..63) and G (64..127), where its B bytes come from, and which bytes are B.
    alignas(64) uint8_t redGreen[3][64];
    alignas(64) uint8_t blue[3][64];
    uint64_t blueBytes[3];
    // Bytes of 32 UYVY groups that become the words U, Y0, V, Y1 of each group.
    alignas(64) uint8_t uyvy[4][64];
};

// Byte of pixel p (0..63) in a channel vector packed from even and odd pixel words.
constexpr int position(int p)
{
    return 16 * (p / 16) + rawLanePosition(p % 16);
}

constexpr Tables makeTables()
{
    Tables t{};
    for (int piece = 0; piece < 3; ++piece) {
        for (int i = 0; i < 64; ++i) {
            const int k = 64 * piece + i;
            const int p = k / 3;
            switch (k % 3) {
            case 0:
                t.redGreen[piece][i] = static_cast<uint8_t>(position(p));
                break;
            case 1:
                t.redGreen[piece][i] = static_cast<uint8_t>(64 + position(p));
                break;
            default:
                t.blue[piece][i] = static_cast<uint8_t>(position(p));
                t.blueBytes[piece] |= uint64_t(1) << i;
                break;
            }
        }
    }
    for (int sample = 0; sample < 4; ++sample)
        for (int group = 0; group < 32; ++group)
            t.uyvy[sample][2 * group] = static_cast<uint8_t>(4 * group + sample);
    return t;
}

constexpr Tables tables = makeTables();

struct Chroma
{
    __m512i redA, redB, greenA, greenB, blueA, blueB;
};

AVX512 BREVANT_INLINE __m512i splat(int value)
{
    return _mm512_set1_epi16(static_cast<short>(value));
}

AVX512 BREVANT_INLINE __m512i load(const uint8_t *bytes)
{
    return _mm512_loadu_si512(bytes);
}

// Hides a factor from the compiler, which would otherwise turn the multiplication into a longer
// chain of shifts and adds.
AVX512 BREVANT_INLINE __m512i factor(int value)
{
    __m512i vector = splat(value);
#if defined(__GNUC__) || defined(__clang__)
    __asm__("" : "+v"(vector));
#endif
    return vector;
}

AVX512 BREVANT_INLINE Chroma chroma(__m512i u, __m512i v)
{
    using namespace RawLane;
    Chroma c;
    c.redA = _mm512_add_epi16(_mm512_mullo_epi16(v, factor(RedV)), splat(RedA));
    c.redB = _mm512_add_epi16(v, splat(RedB));
    c.greenA = _mm512_add_epi16(_mm512_add_epi16(_mm512_mullo_epi16(u, factor(GreenU)),
                                                 _mm512_mullo_epi16(v, factor(GreenV))),
                                splat(GreenA));
    c.greenB = _mm512_sub_epi16(splat(GreenB), v);
    c.blueA = _mm512_add_epi16(_mm512_slli_epi16(u, 2), splat(BlueA));
    c.blueB = _mm512_add_epi16(_mm512_slli_epi16(u, 1), splat(BlueB));
    return c;
}

AVX512 BREVANT_INLINE __m512i channel(__m512i luma, __m512i scaled, __m512i a, __m512i b)
{
    return _mm512_add_epi16(_mm512_add_epi16(luma, b),
                            _mm512_srai_epi16(_mm512_add_epi16(scaled, a), 8));
}

struct Channels
{
    __m512i r, g, b; // in each 128-bit lane, bytes 0..7 of the even pixels, 8..15 of the odd ones
};

// 64 pixels given as words of the even and of the odd pixels: word i of each 128-bit lane L
// belongs to pixels 16 L + 2 i and 16 L + 2 i + 1, like its chroma.
AVX512 BREVANT_INLINE Channels channels(__m512i even, __m512i odd, const Chroma &c)
{
    const __m512i lumaFactor = factor(RawLane::LumaFactor);
    const __m512i evenScaled = _mm512_mullo_epi16(even, lumaFactor);
    const __m512i oddScaled = _mm512_mullo_epi16(odd, lumaFactor);
    return {_mm512_packus_epi16(channel(even, evenScaled, c.redA, c.redB),
                                channel(odd, oddScaled, c.redA, c.redB)),
            _mm512_packus_epi16(channel(even, evenScaled, c.greenA, c.greenB),
                                channel(odd, oddScaled, c.greenA, c.greenB)),
            _mm512_packus_epi16(channel(even, evenScaled, c.blueA, c.blueB),
                                channel(odd, oddScaled, c.blueA, c.blueB))};
}

AVX512 BREVANT_INLINE void store64(uint8_t *dst, __m512i even, __m512i odd, const Chroma &c)
{
    const Channels rgb = channels(even, odd, c);
    for (int piece = 0; piece < 3; ++piece) {
        const __m512i rg = _mm512_permutex2var_epi8(rgb.r, load(tables.redGreen[piece]), rgb.g);
        const __m512i out = _mm512_mask_permutexvar_epi8(rg, tables.blueBytes[piece],
                                                         load(tables.blue[piece]), rgb.b);
        _mm512_storeu_si512(dst + 64 * piece, out);
    }
}

// GCC 12's plain forms of these two start from an undefined vector and warn once inlined; with
// every lane kept, the zero-masked forms are the same instructions.
AVX512 BREVANT_INLINE __m512i interleaveLow32(__m512i a, __m512i b)
{
    return _mm512_maskz_unpacklo_epi32(0xffff, a, b);
}

AVX512 BREVANT_INLINE __m512i interleaveHigh32(__m512i a, __m512i b)
{
    return _mm512_maskz_unpackhi_epi32(0xffff, a, b);
}

template <int lanes>
AVX512 BREVANT_INLINE __m512i pickLanes(__m512i a, __m512i b)
{
    return _mm512_maskz_shuffle_i32x4(0xffff, a, b, lanes);
}

// The same pixels as native-endian 0xffRRGGBB words: B,G,R,255 in memory.
AVX512 BREVANT_INLINE void store64(uint32_t *dst, __m512i even, __m512i odd, const Chroma &c)
{
    const Channels rgb = channels(even, odd, c);
    const __m512i opaque = _mm512_set1_epi8(-1);
    const __m512i bgEven = _mm512_unpacklo_epi8(rgb.b, rgb.g);
    const __m512i bgOdd = _mm512_unpackhi_epi8(rgb.b, rgb.g);
    const __m512i raEven = _mm512_unpacklo_epi8(rgb.r, opaque);
    const __m512i raOdd = _mm512_unpackhi_epi8(rgb.r, opaque);
    // Words of pixels 0, 2, 4, 6 and 8, 10, 12, 14 of each lane, then of the odd ones.
    const __m512i even0 = _mm512_unpacklo_epi16(bgEven, raEven);
    const __m512i even1 = _mm512_unpackhi_epi16(bgEven, raEven);
    const __m512i odd0 = _mm512_unpacklo_epi16(bgOdd, raOdd);
    const __m512i odd1 = _mm512_unpackhi_epi16(bgOdd, raOdd);
    // Pixels 0..3, 4..7, 8..11 and 12..15 of each lane.
    const __m512i w0 = interleaveLow32(even0, odd0), w1 = interleaveHigh32(even0, odd0);
    const __m512i w2 = interleaveLow32(even1, odd1), w3 = interleaveHigh32(even1, odd1);
    // Lane L of the four, in order, holds pixels 16 L .. 16 L + 15.
    const __m512i w01Low = pickLanes<0x44>(w0, w1), w01High = pickLanes<0xee>(w0, w1);
    const __m512i w23Low = pickLanes<0x44>(w2, w3), w23High = pickLanes<0xee>(w2, w3);
    _mm512_storeu_si512(dst, pickLanes<0x88>(w01Low, w23Low));
    _mm512_storeu_si512(dst + 16, pickLanes<0xdd>(w01Low, w23Low));
    _mm512_storeu_si512(dst + 32, pickLanes<0x88>(w01High, w23High));
    _mm512_storeu_si512(dst + 48, pickLanes<0xdd>(w01High, w23High));
}

template <typename Pixel>
AVX512 BREVANT_INLINE void uyvyBlock(const uint8_t *src, Pixel *dst)
{
    const __m512i a = load(src), b = load(src + 64);
    const __mmask64 lowBytes = 0x5555555555555555ull;
    const __m512i u = _mm512_maskz_permutex2var_epi8(lowBytes, a, load(tables.uyvy[0]), b);
    const __m512i even = _mm512_maskz_permutex2var_epi8(lowBytes, a, load(tables.uyvy[1]), b);
    const __m512i v = _mm512_maskz_permutex2var_epi8(lowBytes, a, load(tables.uyvy[2]), b);
    const __m512i odd = _mm512_maskz_permutex2var_epi8(lowBytes, a, load(tables.uyvy[3]), b);
    store64(dst, even, odd, chroma(u, v));
}

template <typename Pixel>
AVX512 BREVANT_INLINE void lumaRow(const uint8_t *y, Pixel *dst, const Chroma &c)
{
    const __m512i bytes = load(y);
    store64(dst, _mm512_and_si512(bytes, splat(0xff)), _mm512_srli_epi16(bytes, 8), c);
}

AVX512 BREVANT_INLINE __m512i widen(const uint8_t *bytes)
{
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes)));
}

template <typename Pixel>
AVX512 BREVANT_INLINE void yuv420Block(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                                       const uint8_t *v, Pixel *dst0, Pixel *dst1, int x)
{
    const Chroma c = chroma(widen(u + x / 2), widen(v + x / 2));
    lumaRow(y0 + x, rawPixelAt(dst0, x), c);
    lumaRow(y1 + x, rawPixelAt(dst1, x), c);
}

template <typename Pixel>
AVX512 BREVANT_INLINE void nv12Block(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv,
                                     Pixel *dst0, Pixel *dst1, int x)
{
    const __m512i pairs = load(uv + x);
    const Chroma c = chroma(_mm512_and_si512(pairs, splat(0xff)), _mm512_srli_epi16(pairs, 8));
    lumaRow(y0 + x, rawPixelAt(dst0, x), c);
    lumaRow(y1 + x, rawPixelAt(dst1, x), c);
}

constexpr int BlockPixels = 64;

template <typename Pixel>
AVX512 void uyvyRow(const uint8_t *src, Pixel *dst, int width)
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
AVX512 void yuv420RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                          const uint8_t *v, Pixel *dst0, Pixel *dst1, int width)
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
AVX512 void nv12RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv, Pixel *dst0,
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

const RawRowKernels &rawRowKernelsAvx512()
{
    static const RawRowKernels kernels{
        {uyvyRow<uint8_t>, yuv420RowPair<uint8_t>, nv12RowPair<uint8_t>},
        {uyvyRow<uint32_t>, yuv420RowPair<uint32_t>, nv12RowPair<uint32_t>}};
    return kernels;
}

#endif
