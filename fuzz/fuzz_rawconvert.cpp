// The raw colour conversion on an arbitrary format, size and payload length, to R,G,B bytes and
// to 32-bit words.
//
// Input: format, width and height (big-endian 32-bit), then the payload, which ends exactly where
// the input does.

#include "RawConvert.h"

#include <QtEndian>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {
// A payload fills at most twice its length of picture. Pictures far larger than that are tried
// against a small destination, which must be refused, so each run stays cheap.
constexpr long long SparePictureBytes = 4096;
constexpr size_t SmallPictureBytes = 48;
constexpr uint8_t Untouched = 0xA5;
}

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
    const long long pictureBytes = rgbPictureSize(width, height);
    if (needed >= 0 && pictureBytes < 0)
        __builtin_trap();

    const size_t dstLength = pictureBytes >= 0
            && pictureBytes <= 4 * static_cast<long long>(payloadLength) + SparePictureBytes
        ? size_t(pictureBytes)
        : SmallPictureBytes;
    std::unique_ptr<uint8_t[]> picture(new uint8_t[dstLength]);
    std::memset(picture.get(), Untouched, dstLength);

    const int result = convertRawToRgb(payload, payloadLength, format, width, height,
                                       picture.get(), dstLength);
    const bool convertible = needed >= 0 && payloadLength >= size_t(needed)
        && pictureBytes >= 0 && dstLength >= size_t(pictureBytes);
    if (result != (convertible ? 0 : -1))
        __builtin_trap();
    if (result != 0) {
        for (size_t i = 0; i < dstLength; ++i) {
            if (picture[i] != Untouched)
                __builtin_trap();
        }
        return 0;
    }

    // The 32-bit pictures the viewer shows: the same colours, word by word.
    const size_t pixels = dstLength / 3;
    std::unique_ptr<uint32_t[]> words(new uint32_t[pixels]);
    if (convertRawToXrgb32(payload, payloadLength, format, width, height, words.get(), 4 * pixels)
        != 0)
        __builtin_trap();
    for (size_t n = 0; n < pixels; ++n) {
        const uint8_t *rgb = picture.get() + 3 * n;
        if (words[n] != (0xff000000u | uint32_t(rgb[0]) << 16 | uint32_t(rgb[1]) << 8 | rgb[2]))
            __builtin_trap();
    }
    return 0;
}
