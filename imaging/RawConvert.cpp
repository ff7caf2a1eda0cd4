#include "RawConvert.h"

#include "BoardProtocol.h"
#include "RawRowKernels.h"

#include <climits>

#if defined(BREVANT_RAW_X86) && defined(_MSC_VER) && !defined(__clang__)
#include <immintrin.h>
#include <intrin.h>
#endif

using namespace BoardProtocol;

namespace {

RawConvertPath detectPath()
{
#if defined(BREVANT_RAW_X86) && (defined(__GNUC__) || defined(__clang__))
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi"))
        return RawConvertPath::Avx512;
    return __builtin_cpu_supports("avx2") ? RawConvertPath::Avx2 : RawConvertPath::Sse2;
#elif defined(BREVANT_RAW_X86) && defined(_MSC_VER)
    int info[4];
    __cpuid(info, 0);
    const int maxLeaf = info[0];
    __cpuid(info, 1);
    const bool osSavesYmm = (info[2] & (1 << 27)) != 0 && (info[2] & (1 << 28)) != 0;
    if (maxLeaf < 7 || !osSavesYmm)
        return RawConvertPath::Sse2;
    const unsigned long long enabledState = _xgetbv(0);
    if ((enabledState & 0x6) != 0x6)
        return RawConvertPath::Sse2;
    __cpuidex(info, 7, 0);
    const bool avx2 = (info[1] & (1 << 5)) != 0;
    const bool avx512bw = (info[1] & (1 << 16)) != 0 && (info[1] & (1 << 30)) != 0;
    const bool avx512vbmi = (info[2] & (1 << 1)) != 0;
    if (avx2 && avx512bw && avx512vbmi && (enabledState & 0xe6) == 0xe6)
        return RawConvertPath::Avx512;
    return avx2 ? RawConvertPath::Avx2 : RawConvertPath::Sse2;
#else
    return RawConvertPath::Scalar;
#endif
}

const RawRowKernels *kernelsFor(RawConvertPath path)
{
    switch (path) {
    case RawConvertPath::Scalar:
        return &rawRowKernelsScalar();
#ifdef BREVANT_RAW_X86
    case RawConvertPath::Sse2:
        return &rawRowKernelsSse2();
    case RawConvertPath::Avx2:
        return &rawRowKernelsAvx2();
    case RawConvertPath::Avx512:
        return &rawRowKernelsAvx512();
#endif
    default:
        return nullptr;
    }
}

// Checked by the caller: every offset below fits the payload and the picture.
void convertFrame(const RawRowKernels &kernels, const uint8_t *src, int format, int width,
                  int height, uint32_t *dst)
{
    const size_t w = static_cast<size_t>(width);
    if (format == FormatUyvy) {
        for (int r = 0; r < height; ++r) {
            const RawSampleOffsets first = rawSampleOffsets(format, width, height, 0, r);
            kernels.uyvyRow(src + first.u, dst + r * w, width);
        }
        return;
    }
    // Rows in pairs sharing one chroma row; a lone last row of an odd height is paired with itself.
    for (int r = 0; r < height; r += 2) {
        const int next = r + 1 < height ? r + 1 : r;
        const RawSampleOffsets first = rawSampleOffsets(format, width, height, 0, r);
        const uint8_t *y0 = src + first.y;
        const uint8_t *y1 = src + rawSampleOffsets(format, width, height, 0, next).y;
        uint32_t *dst0 = dst + r * w, *dst1 = dst + next * w;
        if (format == FormatYuv420)
            kernels.yuv420RowPair(y0, y1, src + first.u, src + first.v, dst0, dst1, width);
        else
            kernels.nv12RowPair(y0, y1, src + first.u, dst0, dst1, width);
    }
}

bool convertible(const uint8_t *src, size_t srcLength, int format, int width, int height,
                 const uint32_t *dst, size_t dstLength)
{
    const long long payload = rawPayloadSize(format, width, height);
    return src && dst && payload >= 0 && srcLength >= static_cast<unsigned long long>(payload)
        && dstLength >= static_cast<unsigned long long>(xrgbPictureSize(width, height));
}

} // namespace

long long xrgbPictureSize(int width, int height)
{
    if (width <= 0 || height <= 0)
        return -1;
    const long long pixels = static_cast<long long>(width) * height;
    return pixels > INT_MAX / 4 ? -1 : 4 * pixels;
}

long long rawPayloadSize(int format, int width, int height)
{
    if (xrgbPictureSize(width, height) < 0)
        return -1;
    const long long w = width, h = height;
    const long long chromaWidth = (w + 1) / 2, chromaRows = (h + 1) / 2;
    switch (format) {
    case FormatUyvy:
        return 4 * chromaWidth * h;
    case FormatYuv420:
    case FormatNv12:
        return w * h + 2 * chromaWidth * chromaRows;
    default:
        return -1;
    }
}

RawConvertPath rawConvertDefaultPath()
{
    static const RawConvertPath path = detectPath();
    return path;
}

bool rawConvertPathAvailable(RawConvertPath path)
{
    return kernelsFor(path) && static_cast<int>(path) <= static_cast<int>(rawConvertDefaultPath());
}

const char *rawConvertPathName(RawConvertPath path)
{
    switch (path) {
    case RawConvertPath::Scalar:
        return "scalar";
    case RawConvertPath::Sse2:
        return "sse2";
    case RawConvertPath::Avx2:
        return "avx2";
    case RawConvertPath::Avx512:
        return "avx512";
    }
    return "unknown";
}

int convertRawToXrgb32(const uint8_t *src, size_t srcLength, int format, int width, int height,
                       uint32_t *dst, size_t dstLength)
{
    static const RawRowKernels &kernels = *kernelsFor(rawConvertDefaultPath());
    if (!convertible(src, srcLength, format, width, height, dst, dstLength))
        return -1;
    convertFrame(kernels, src, format, width, height, dst);
    return 0;
}

int convertRawToXrgb32Using(RawConvertPath path, const uint8_t *src, size_t srcLength, int format,
                            int width, int height, uint32_t *dst, size_t dstLength)
{
    if (!rawConvertPathAvailable(path)
        || !convertible(src, srcLength, format, width, height, dst, dstLength))
        return -1;
    convertFrame(*kernelsFor(path), src, format, width, height, dst);
    return 0;
}
