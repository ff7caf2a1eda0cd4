#include "RawVectorRows.h"

#ifdef BREVANT_RAW_X86
#include <immintrin.h>

// Compiled for AVX2 (see CMakeLists.txt); called only on processors that have it.

namespace {

struct Avx2
{
    // Lane 0 holds pixels 0..15 of a block, lane 1 pixels 16..31.
    using Vec = __m256i;
    static constexpr int BlockPixels = 32;
    BREVANT_LANE_OPS(_mm256, si256)
    BREVANT_LANE_OPS_32(_mm256)

    static BREVANT_INLINE Vec widenHalf(const uint8_t *bytes)
    {
        return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes)));
    }

    static BREVANT_INLINE Vec load128x2(const uint8_t *low, const uint8_t *high)
    {
        return _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(low))),
            _mm_loadu_si128(reinterpret_cast<const __m128i *>(high)), 1);
    }

    static BREVANT_INLINE void splitUyvy(const uint8_t *src, Vec &u, Vec &even, Vec &v, Vec &odd)
    {
        // Lanes of a hold groups 0-3 and 8-11, of b groups 4-7 and 12-15, so that joining their
        // halves keeps pixels 0..15 in lane 0. In each lane the shuffles widen four groups' U
        // then V, or Y0 then Y1, to words.
        const Vec a = load128x2(src, src + 32), b = load128x2(src + 16, src + 48);
        const Vec chromaMask = _mm256_setr_epi8(0, -1, 4, -1, 8, -1, 12, -1, 2, -1, 6, -1, 10,
                                                -1, 14, -1, 0, -1, 4, -1, 8, -1, 12, -1, 2, -1,
                                                6, -1, 10, -1, 14, -1);
        const Vec lumaMask = _mm256_add_epi8(chromaMask, _mm256_set1_epi16(1));
        const Vec chromaA = _mm256_shuffle_epi8(a, chromaMask);
        const Vec chromaB = _mm256_shuffle_epi8(b, chromaMask);
        const Vec lumaA = _mm256_shuffle_epi8(a, lumaMask), lumaB = _mm256_shuffle_epi8(b, lumaMask);
        u = _mm256_unpacklo_epi64(chromaA, chromaB);
        v = _mm256_unpackhi_epi64(chromaA, chromaB);
        even = _mm256_unpacklo_epi64(lumaA, lumaB);
        odd = _mm256_unpackhi_epi64(lumaA, lumaB);
    }

    static BREVANT_INLINE void storeQuads(uint32_t *dst, Vec q0, Vec q1, Vec q2, Vec q3)
    {
        store(dst, _mm256_permute2x128_si256(q0, q1, 0x20));
        store(dst + 8, _mm256_permute2x128_si256(q2, q3, 0x20));
        store(dst + 16, _mm256_permute2x128_si256(q0, q1, 0x31));
        store(dst + 24, _mm256_permute2x128_si256(q2, q3, 0x31));
    }
};

} // namespace

const RawRowKernels &rawRowKernelsAvx2()
{
    return RawVectorRows<Avx2>::kernels();
}

#endif
