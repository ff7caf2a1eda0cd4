#include "XrgbRows.h"

#include "RawRowKernels.h"

#ifdef BREVANT_RAW_X86
#include <emmintrin.h>
#endif

void grayRowToXrgb32(const uint8_t *gray, uint32_t *dst, int width)
{
    constexpr uint32_t Opaque = 0xff000000u;
    int x = 0;
#ifdef BREVANT_RAW_X86
    const __m128i alpha = _mm_set1_epi32(int(Opaque));
    for (; x + 16 <= width; x += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(gray + x));
        const __m128i low = _mm_unpacklo_epi8(v, v), high = _mm_unpackhi_epi8(v, v);
        auto *out = reinterpret_cast<__m128i *>(dst + x);
        _mm_storeu_si128(out, _mm_or_si128(_mm_unpacklo_epi16(low, low), alpha));
        _mm_storeu_si128(out + 1, _mm_or_si128(_mm_unpackhi_epi16(low, low), alpha));
        _mm_storeu_si128(out + 2, _mm_or_si128(_mm_unpacklo_epi16(high, high), alpha));
        _mm_storeu_si128(out + 3, _mm_or_si128(_mm_unpackhi_epi16(high, high), alpha));
    }
#endif
    for (; x < width; ++x)
        dst[x] = Opaque | uint32_t(gray[x]) * 0x010101u;
}
