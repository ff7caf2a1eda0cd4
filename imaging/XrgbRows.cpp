#include "XrgbRows.h"

#include "RawRowKernels.h"

#if defined(BREVANT_RAW_X86) && (defined(__GNUC__) || defined(__clang__))
#define BREVANT_XRGB_SIMD 1
#include <immintrin.h>
#endif

namespace {

constexpr uint32_t Opaque = 0xff000000u;

void rgbScalar(const uint8_t *rgb, uint32_t *dst, int from, int width)
{
    for (int x = from; x < width; ++x) {
        const uint8_t *p = rgb + 3 * x;
        dst[x] = Opaque | uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    }
}

#ifdef BREVANT_XRGB_SIMD
// Little-endian words: B, G, R, 0xff in memory.
BREVANT_TARGET("ssse3") void rgbSsse3(const uint8_t *rgb, uint32_t *dst, int width)
{
    const __m128i order = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
    const __m128i alpha = _mm_set1_epi32(int(Opaque));
    int x = 0;
    // Each load takes 16 bytes for 12: stop while they are all inside the row.
    for (; x + 6 <= width; x += 4) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(rgb + 3 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x),
                         _mm_or_si128(_mm_shuffle_epi8(in, order), alpha));
    }
    rgbScalar(rgb, dst, x, width);
}

bool hasSsse3()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("ssse3") != 0;
    }();
    return has;
}
#endif

} // namespace

void rgbRowToXrgb32(const uint8_t *rgb, uint32_t *dst, int width)
{
#ifdef BREVANT_XRGB_SIMD
    if (hasSsse3()) {
        rgbSsse3(rgb, dst, width);
        return;
    }
#endif
    rgbScalar(rgb, dst, 0, width);
}

void grayRowToXrgb32(const uint8_t *gray, uint32_t *dst, int width)
{
    int x = 0;
#ifdef BREVANT_XRGB_SIMD
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
