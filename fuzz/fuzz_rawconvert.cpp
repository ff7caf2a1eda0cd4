// The raw colour conversion on an arbitrary format, size and payload length: every instruction
// set this processor runs against a plain per-pixel formula.
//
// Input: format, width and height (big-endian 32-bit), then the payload, which ends exactly where
// the input does.

#include "RawConvert.h"

#include <QtEndian>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {
// A payload fills at most twice its length of picture. Pictures far larger than that are tried
// against a small destination, which must be refused, so each run stays cheap.
constexpr long long SparePictureBytes = 4096;
constexpr size_t SmallPictureBytes = 48;
constexpr uint32_t Untouched = 0xA5A5A5A5u;

uint32_t clampShift(int value)
{
    value >>= 8;
    return uint32_t(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Pixel (r, c), odd sizes read as if padded to even.
uint32_t expectedPixel(const uint8_t *src, int format, long long w, long long h, long long r,
                       long long c)
{
    const long long cw = (w + 1) / 2, ch = (h + 1) / 2;
    int Y, U, V;
    if (format == 2) {
        const uint8_t *group = src + r * 4 * cw + 4 * (c / 2);
        Y = group[1 + 2 * (c % 2)];
        U = group[0];
        V = group[2];
    } else if (format == 3) {
        Y = src[r * w + c];
        U = src[w * h + (r / 2) * cw + c / 2];
        V = src[w * h + cw * ch + (r / 2) * cw + c / 2];
    } else {
        Y = src[r * w + c];
        U = src[w * h + (r / 2) * 2 * cw + 2 * (c / 2)];
        V = src[w * h + (r / 2) * 2 * cw + 2 * (c / 2) + 1];
    }
    const int y = Y - 16, u = U - 128, v = V - 128;
    return 0xff000000u | clampShift(298 * y + 409 * v + 128) << 16
        | clampShift(298 * y - 100 * u - 208 * v + 128) << 8 | clampShift(298 * y + 516 * u + 128);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t Prefix = 12;
    if (size < Prefix)
        return 0;
    const int format = qFromBigEndian<qint32>(data);
    const int width = qFromBigEndian<qint32>(data + 4);
    const int height = qFromBigEndian<qint32>(data + 8);
    const uint8_t *payload = data + Prefix;
    const size_t payloadLength = size - Prefix;

    const long long needed = rawPayloadSize(format, width, height);
    const long long pictureBytes = xrgbPictureSize(width, height);
    if (needed >= 0 && pictureBytes < 0)
        __builtin_trap();

    const size_t dstLength = pictureBytes >= 0
            && pictureBytes <= 8 * static_cast<long long>(payloadLength) + SparePictureBytes
        ? size_t(pictureBytes)
        : SmallPictureBytes;
    const size_t words = dstLength / 4;
    std::unique_ptr<uint32_t[]> picture(new uint32_t[words]);
    const bool convertible = needed >= 0 && payloadLength >= size_t(needed)
        && pictureBytes >= 0 && dstLength >= size_t(pictureBytes);

    for (RawConvertPath path : {RawConvertPath::Scalar, RawConvertPath::Sse2,
                                RawConvertPath::Avx2, RawConvertPath::Avx512}) {
        if (!rawConvertPathAvailable(path))
            continue;
        std::fill(picture.get(), picture.get() + words, Untouched);
        const int result = convertRawToXrgb32Using(path, payload, payloadLength, format, width,
                                                   height, picture.get(), dstLength);
        if (result != (convertible ? 0 : -1))
            __builtin_trap();
        for (size_t n = 0; n < words; ++n) {
            const uint32_t expected = convertible
                ? expectedPixel(payload, format, width, height, n / size_t(width), n % size_t(width))
                : Untouched;
            if (picture[n] != expected)
                __builtin_trap();
        }
    }
    return 0;
}
