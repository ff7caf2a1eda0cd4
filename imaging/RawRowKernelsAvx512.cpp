#include "RawVectorRows.h"

#ifdef BREVANT_RAW_X86
#include <immintrin.h>

// Compiled for AVX-512BW, for 16-bit lanes, and AVX-512VBMI, for byte permutes across the whole
// register (see CMakeLists.txt); called only on processors that have both.

namespace {

// Bytes of 32 UYVY groups that become the words U, Y0, V, Y1 of each group.
struct UyvyTables
{
    alignas(64) uint8_t sample[4][64];
};

constexpr UyvyTables makeUyvyTables()
{
    UyvyTables t{};
    for (int sample = 0; sample < 4; ++sample)
        for (int group = 0; group < 32; ++group)
            t.sample[sample][2 * group] = static_cast<uint8_t>(4 * group + sample);
    return t;
}

constexpr UyvyTables uyvyTables = makeUyvyTables();

struct Avx512
{
    // 128-bit lane L holds pixels 16 L .. 16 L + 15 of a block.
    using Vec = __m512i;
    static constexpr int BlockPixels = 64;
    BREVANT_LANE_OPS(_mm512, si512)

    static BREVANT_INLINE void splitUyvy(const uint8_t *src, Vec &u, Vec &even, Vec &v, Vec &odd)
    {
        const Vec a = load(src), b = load(src + 64);
        const __mmask64 wordLowBytes = 0x5555555555555555ull;
        auto sample = [&](int index) {
            return _mm512_maskz_permutex2var_epi8(wordLowBytes, a,
                                                  load(uyvyTables.sample[index]), b);
        };
        u = sample(0);
        even = sample(1);
        v = sample(2);
        odd = sample(3);
    }

    static BREVANT_INLINE Vec widenHalf(const uint8_t *bytes)
    {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(bytes)));
    }

    // GCC 12's plain forms of these start from an undefined vector and warn once inlined; with
    // every lane kept, the zero-masked forms are the same instructions.
    static BREVANT_INLINE Vec low32(Vec a, Vec b) { return _mm512_maskz_unpacklo_epi32(0xffff, a, b); }
    static BREVANT_INLINE Vec high32(Vec a, Vec b) { return _mm512_maskz_unpackhi_epi32(0xffff, a, b); }

    template <int lanes>
    static BREVANT_INLINE Vec pickLanes(Vec a, Vec b)
    {
        return _mm512_maskz_shuffle_i32x4(0xffff, a, b, lanes);
    }

    static BREVANT_INLINE void storeQuads(uint32_t *dst, Vec q0, Vec q1, Vec q2, Vec q3)
    {
        const Vec q01Low = pickLanes<0x44>(q0, q1), q01High = pickLanes<0xee>(q0, q1);
        const Vec q23Low = pickLanes<0x44>(q2, q3), q23High = pickLanes<0xee>(q2, q3);
        store(dst, pickLanes<0x88>(q01Low, q23Low));
        store(dst + 16, pickLanes<0xdd>(q01Low, q23Low));
        store(dst + 32, pickLanes<0x88>(q01High, q23High));
        store(dst + 48, pickLanes<0xdd>(q01High, q23High));
    }
};

} // namespace

const RawRowKernels &rawRowKernelsAvx512()
{
    return RawVectorRows<Avx512>::kernels();
}

#endif
