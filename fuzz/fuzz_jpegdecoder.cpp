// The JPEG decoder on arbitrary bytes with an arbitrary announced size.
//
// Input: width and height (big-endian 32-bit, as in a frame header), one byte of call pattern,
// then the JPEG data. Pattern bits:
//   0: check the header twice before decoding
//   1: run the same frame again on the same decoder, which must give the same results
//   4-5: padding bytes at the end of each row of that buffer
//   6: make that buffer one byte short, which must be refused
//   7: insert 24 bytes of one value (0 or, with bit 2, 0x5a) before the data's last two, where
//      an encoder pads a frame before its end marker
// Every frame is also judged without a picture, which must find it whole exactly when it decodes.
// A refusal always comes with its reason; a frame decoded whole has none.

#include "JpegDecoder.h"

#include <QHash>
#include <QtEndian>
#include <QtGlobal>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

// libjpeg is not instrumented: a row it wrote past the buffer would go unseen but for these.
constexpr size_t GuardBytes = 64;
constexpr uint8_t Guard = 0x5A;

struct Outcome
{
    int header = -1;
    int decoded = -1;
    size_t pictureHash = 0;
    bool operator!=(const Outcome &other) const
    {
        return header != other.header || decoded != other.decoded
            || pictureHash != other.pictureHash;
    }
};

size_t hashOf(const uint8_t *bytes, size_t length)
{
    return qHashBits(bytes, length);
}

Outcome decodeToBuffer(JpegDecoder &decoder, int width, int height, bool checkTwice,
                       uint8_t pattern)
{
    Outcome outcome;
    outcome.header = decoder.jpeg_check_header(width, height);
    if (checkTwice && decoder.jpeg_check_header(width, height) != outcome.header)
        __builtin_trap();
    if (outcome.header != 0) {
        if (decoder.failure().isEmpty() || decoder.decodeInto(nullptr, 0, 0) != -1)
            __builtin_trap();
        return outcome;
    }
    // Only a checked header gets here, so the picture is within the decoder's bound.
    const size_t rowBytes = 4 * size_t(width);
    const size_t stride = rowBytes + ((pattern >> 4) & 3);
    const size_t fits = stride * size_t(height - 1) + rowBytes;
    const size_t length = (pattern & 64) ? fits - 1 : fits;
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[length + GuardBytes]);
    std::memset(buffer.get(), Guard, length + GuardBytes);

    outcome.decoded = decoder.decodeInto(buffer.get(), length, stride);
    if (((pattern & 64) && outcome.decoded != -1)
        || decoder.failure().isEmpty() != (outcome.decoded == 0))
        __builtin_trap();
    // A refused buffer is left untouched; a decode that failed part way may have written rows.
    for (size_t i = (pattern & 64) ? 0 : length; i < length + GuardBytes; ++i) {
        if (buffer[i] != Guard)
            __builtin_trap();
    }
    if (outcome.decoded != 0)
        return outcome;
    for (int row = 0; row < height; ++row) {
        const uint8_t *line = buffer.get() + size_t(row) * stride;
        for (size_t i = rowBytes; row + 1 < height && i < stride; ++i) {
            if (line[i] != Guard)
                __builtin_trap();
        }
        // Format_RGB32 words are 0xffRRGGBB.
        for (int x = 0; x < width; ++x) {
            uint32_t word;
            std::memcpy(&word, line + 4 * x, 4);
            if ((word >> 24) != 0xFF)
                __builtin_trap();
        }
    }
    outcome.pictureHash = hashOf(buffer.get(), length);
    return outcome;
}

Outcome decodeOnce(JpegDecoder &decoder, const uint8_t *jpeg, int size, int width, int height,
                   uint8_t pattern, bool checkTwice)
{
    decoder.setSource(jpeg, size);
    const Outcome outcome = decodeToBuffer(decoder, width, height, checkTwice, pattern);
    // Nothing is left to decode until the next source.
    uint32_t word;
    if (decoder.decodeInto(reinterpret_cast<uint8_t *>(&word), 4, 4) != -1)
        __builtin_trap();
    if (outcome.header == 0 && !(pattern & 64)) {
        decoder.setSource(jpeg, size);
        if (decoder.jpeg_check_header(width, height) != 0
            || decoder.verifyData() != outcome.decoded)
            __builtin_trap();
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t Prefix = 9;
    if (size < Prefix)
        return 0;
    const int width = qFromBigEndian<qint32>(data);
    const int height = qFromBigEndian<qint32>(data + 4);
    const uint8_t pattern = data[8];
    std::vector<uint8_t> bytes(data + Prefix, data + size);
    if ((pattern & 128) && bytes.size() >= 2)
        bytes.insert(bytes.end() - 2, 24, (pattern & 4) ? 0x5a : 0);
    const uint8_t *jpeg = bytes.data();
    const int jpegSize = int(bytes.size());

    JpegDecoder decoder;
    decoder.init();
    const Outcome first = decodeOnce(decoder, jpeg, jpegSize, width, height, pattern, pattern & 1);
    if ((pattern & 2)
        && decodeOnce(decoder, jpeg, jpegSize, width, height, pattern, false) != first)
        __builtin_trap();
    return 0;
}
