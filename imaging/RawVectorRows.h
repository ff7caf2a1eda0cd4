#pragma once

#include "RawRowKernels.h"

// The row loops of every vector instruction set, written once over Ops, a set's handful of
// vector operations. Ops is declared in an anonymous namespace of a kernel file compiled for its
// instruction set, which keeps every instantiation inside that file.
//
// Ops provides Vec (16-bit lanes) and BlockPixels (the pixels of one block); the lane operations
// of BREVANT_LANE_OPS; widenHalf (half a block of bytes to words, each where load puts its pixel
// pair); splitUyvy (a block of U,Y0,V,Y1 groups to four vectors of words); storeQuads (four
// vectors of words, each 128-bit lane holding four pixels, in the pixels' order).

// The lane operations that SSE2 and AVX2 name alike, _mm<bits>_op: mm is _mm or _mm256, si is
// si128 or si256. factor is splat hidden from the compiler, which would otherwise turn the
// multiplication into a longer chain of shifts and adds.
#if defined(__GNUC__) || defined(__clang__)
#define BREVANT_HIDE_FROM_OPTIMISER(vector) __asm__("" : "+v"(vector))
#else
#define BREVANT_HIDE_FROM_OPTIMISER(vector)
#endif
#define BREVANT_LANE_OPS(mm, si)                                                                 \
    static BREVANT_INLINE Vec splat(int value) { return mm##_set1_epi16(short(value)); }       \
    static BREVANT_INLINE Vec factor(int value)                                                 \
    {                                                                                           \
        Vec vector = splat(value);                                                              \
        BREVANT_HIDE_FROM_OPTIMISER(vector);                                                    \
        return vector;                                                                          \
    }                                                                                           \
    static BREVANT_INLINE Vec add(Vec a, Vec b) { return mm##_add_epi16(a, b); }               \
    static BREVANT_INLINE Vec sub(Vec a, Vec b) { return mm##_sub_epi16(a, b); }               \
    static BREVANT_INLINE Vec mul(Vec a, Vec b) { return mm##_mullo_epi16(a, b); }             \
    static BREVANT_INLINE Vec shiftLeft(Vec a, int bits) { return mm##_slli_epi16(a, bits); }  \
    static BREVANT_INLINE Vec shiftRightSigned8(Vec a) { return mm##_srai_epi16(a, 8); }       \
    static BREVANT_INLINE Vec packUnsigned(Vec a, Vec b) { return mm##_packus_epi16(a, b); }   \
    static BREVANT_INLINE Vec load(const uint8_t *bytes)                                        \
    {                                                                                           \
        return mm##_loadu_##si(reinterpret_cast<const Vec *>(bytes));                           \
    }                                                                                           \
    static BREVANT_INLINE void store(uint32_t *dst, Vec a)                                      \
    {                                                                                           \
        mm##_storeu_##si(reinterpret_cast<Vec *>(dst), a);                                      \
    }                                                                                           \
    /* Bytes at even and at odd positions of each word. */                                      \
    static BREVANT_INLINE Vec lowBytes(Vec a) { return mm##_and_##si(a, splat(0xff)); }        \
    static BREVANT_INLINE Vec highBytes(Vec a) { return mm##_srli_epi16(a, 8); }               \
    static BREVANT_INLINE Vec allOnes() { return mm##_set1_epi8(-1); }                          \
    static BREVANT_INLINE Vec low8(Vec a, Vec b) { return mm##_unpacklo_epi8(a, b); }          \
    static BREVANT_INLINE Vec high8(Vec a, Vec b) { return mm##_unpackhi_epi8(a, b); }         \
    static BREVANT_INLINE Vec low16(Vec a, Vec b) { return mm##_unpacklo_epi16(a, b); }        \
    static BREVANT_INLINE Vec high16(Vec a, Vec b) { return mm##_unpackhi_epi16(a, b); }

// low32 and high32 too, where the plain forms compile cleanly (not AVX-512 with GCC 12).
#define BREVANT_LANE_OPS_32(mm)                                                                 \
    static BREVANT_INLINE Vec low32(Vec a, Vec b) { return mm##_unpacklo_epi32(a, b); }        \
    static BREVANT_INLINE Vec high32(Vec a, Vec b) { return mm##_unpackhi_epi32(a, b); }

template <typename Ops>
struct RawVectorRows
{
    using Vec = typename Ops::Vec;
    static constexpr int BlockPixels = Ops::BlockPixels;

    struct Chroma
    {
        Vec redA, redB, greenA, greenB, blueA, blueB;
    };

    static BREVANT_INLINE Chroma chroma(Vec u, Vec v)
    {
        using namespace RawLane;
        Chroma c;
        c.redA = Ops::add(Ops::mul(v, Ops::factor(RedV)), Ops::splat(RedA));
        c.redB = Ops::add(v, Ops::splat(RedB));
        c.greenA = Ops::add(Ops::add(Ops::mul(u, Ops::factor(GreenU)),
                                     Ops::mul(v, Ops::factor(GreenV))),
                            Ops::splat(GreenA));
        c.greenB = Ops::sub(Ops::splat(GreenB), v);
        c.blueA = Ops::add(Ops::shiftLeft(u, 2), Ops::splat(BlueA));
        c.blueB = Ops::add(Ops::shiftLeft(u, 1), Ops::splat(BlueB));
        return c;
    }

    static BREVANT_INLINE Vec channel(Vec luma, Vec scaled, Vec a, Vec b)
    {
        return Ops::add(Ops::add(luma, b), Ops::shiftRightSigned8(Ops::add(scaled, a)));
    }

    // A block given as words of its even and of its odd pixels, with their chroma in the same
    // word positions.
    static BREVANT_INLINE void store(uint32_t *dst, Vec even, Vec odd, const Chroma &c)
    {
        const Vec lumaFactor = Ops::factor(RawLane::LumaFactor);
        const Vec evenScaled = Ops::mul(even, lumaFactor), oddScaled = Ops::mul(odd, lumaFactor);
        storeWords(dst,
                   Ops::packUnsigned(channel(even, evenScaled, c.redA, c.redB),
                                     channel(odd, oddScaled, c.redA, c.redB)),
                   Ops::packUnsigned(channel(even, evenScaled, c.greenA, c.greenB),
                                     channel(odd, oddScaled, c.greenA, c.greenB)),
                   Ops::packUnsigned(channel(even, evenScaled, c.blueA, c.blueB),
                                     channel(odd, oddScaled, c.blueA, c.blueB)));
    }

    // R, G and B bytes of a block, even pixels in bytes 0..7 of each 128-bit lane and odd ones in
    // 8..15, as native-endian 0xffRRGGBB words: B,G,R,255 in memory.
    static BREVANT_INLINE void storeWords(uint32_t *dst, Vec r, Vec g, Vec b)
    {
        const Vec bgEven = Ops::low8(b, g), bgOdd = Ops::high8(b, g);
        const Vec raEven = Ops::low8(r, Ops::allOnes()), raOdd = Ops::high8(r, Ops::allOnes());
        // Words of pixels 0, 2, 4, 6 and 8, 10, 12, 14 of each lane, then of the odd ones.
        const Vec even0 = Ops::low16(bgEven, raEven), even1 = Ops::high16(bgEven, raEven);
        const Vec odd0 = Ops::low16(bgOdd, raOdd), odd1 = Ops::high16(bgOdd, raOdd);
        // Pixels 0..3, 4..7, 8..11 and 12..15 of each lane.
        Ops::storeQuads(dst, Ops::low32(even0, odd0), Ops::high32(even0, odd0),
                        Ops::low32(even1, odd1), Ops::high32(even1, odd1));
    }

    static BREVANT_INLINE void lumaBlock(const uint8_t *y, uint32_t *dst, const Chroma &c)
    {
        const Vec bytes = Ops::load(y);
        store(dst, Ops::lowBytes(bytes), Ops::highBytes(bytes), c);
    }

    // Covers [0, width) with whole blocks, the last overlapping the one before, and returns
    // where the scalar code goes on: at most one odd last column is left to it.
    template <typename Block>
    static BREVANT_INLINE int coverWithBlocks(int width, Block block)
    {
        if (width < BlockPixels)
            return 0;
        int x = 0;
        for (; x + BlockPixels <= width; x += BlockPixels)
            block(x);
        if (x == width)
            return x;
        x = (width - BlockPixels) & ~1; // even, so the block starts on a chroma sample
        block(x);
        return x + BlockPixels;
    }

    static void uyvyRow(const uint8_t *src, uint32_t *dst, int width)
    {
        const int done = coverWithBlocks(width, [&](int x) BREVANT_INLINE_LAMBDA {
            Vec u, even, v, odd;
            Ops::splitUyvy(src + 2 * x, u, even, v, odd);
            store(dst + x, even, odd, chroma(u, v));
        });
        rawScalarUyvy(src, dst, done, width);
    }

    static void yuv420RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *u,
                              const uint8_t *v, uint32_t *dst0, uint32_t *dst1, int width)
    {
        const int done = coverWithBlocks(width, [&](int x) BREVANT_INLINE_LAMBDA {
            const Chroma c = chroma(Ops::widenHalf(u + x / 2), Ops::widenHalf(v + x / 2));
            lumaBlock(y0 + x, dst0 + x, c);
            lumaBlock(y1 + x, dst1 + x, c);
        });
        rawScalarYuv420(y0, y1, u, v, dst0, dst1, done, width);
    }

    static void nv12RowPair(const uint8_t *y0, const uint8_t *y1, const uint8_t *uv,
                            uint32_t *dst0, uint32_t *dst1, int width)
    {
        const int done = coverWithBlocks(width, [&](int x) BREVANT_INLINE_LAMBDA {
            const Vec pairs = Ops::load(uv + x);
            const Chroma c = chroma(Ops::lowBytes(pairs), Ops::highBytes(pairs));
            lumaBlock(y0 + x, dst0 + x, c);
            lumaBlock(y1 + x, dst1 + x, c);
        });
        rawScalarNv12(y0, y1, uv, dst0, dst1, done, width);
    }

    static const RawRowKernels &kernels()
    {
        static const RawRowKernels table{uyvyRow, yuv420RowPair, nv12RowPair};
        return table;
    }
};
