#include "RawVectorRows.h"

#ifdef BREVANT_RAW_X86
#include <emmintrin.h>

// SSE2 is part of every x86-64 processor: this file needs no flags of its own.

namespace {

struct Sse2
{
    using Vec = __m128i;
    BREVANT_LANE_OPS(_mm, si128)
    BREVANT_LANE_OPS_32(_mm)
    static constexpr int BlockPixels = 16;

    static BREVANT_INLINE void splitUyvy(const uint8_t *src, Vec &u, Vec &even, Vec &v, Vec &odd)
    {
        const Vec a = load(src), b = load(src + 16);
        const Vec low = _mm_set1_epi32(0xff);
        auto sample = [&](int shift) {
            return _mm_packs_epi32(_mm_and_si128(_mm_srli_epi32(a, shift), low),
                                   _mm_and_si128(_mm_srli_epi32(b, shift), low));
        };
        u = sample(0);
        even = sample(8);
        v = sample(16);
        odd = sample(24);
    }

    static BREVANT_INLINE Vec widenHalf(const uint8_t *bytes)
    {
        return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const Vec *>(bytes)),
                                 _mm_setzero_si128());
    }

    static BREVANT_INLINE void storeQuads(uint32_t *dst, Vec q0, Vec q1, Vec q2, Vec q3)
    {
        store(dst, q0);
        store(dst + 4, q1);
        store(dst + 8, q2);
        store(dst + 12, q3);
    }
};

} // namespace

const RawRowKernels &rawRowKernelsSse2()
{
    return RawVectorRows<Sse2>::kernels();
}

#endif
