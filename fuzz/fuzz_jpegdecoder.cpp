// The JPEG decoder on arbitrary bytes with an arbitrary announced size.
//
// Input: width and height (big-endian 32-bit, as in a frame header), one byte of call pattern,
// then the JPEG data. Pattern bit 0 checks the header twice before decoding; bit 1 runs the
// same frame again on the same decoder, which must give the same results.

#include "JpegDecoder.h"

#include <QtEndian>
#include <QtGlobal>

#include <cstdint>
#include <cstring>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

struct Outcome
{
    int header = -1;
    int decoded = -1;
    bool operator!=(const Outcome &other) const
    {
        return header != other.header || decoded != other.decoded;
    }
};

Outcome decodeOnce(JpegDecoder &decoder, const uint8_t *jpeg, int size, int width, int height,
                   bool checkTwice)
{
    Outcome outcome;
    decoder.setSource(jpeg, size);
    outcome.header = decoder.jpeg_check_header(width, height);
    if (checkTwice && decoder.jpeg_check_header(width, height) != outcome.header)
        __builtin_trap();
    outcome.decoded = decoder.decode();
    if (outcome.decoded == 0) {
        if (outcome.header != 0 || decoder.outputSize() != 3LL * width * height)
            __builtin_trap();
        const volatile uint8_t last = decoder.outputData()[decoder.outputSize() - 1];
        (void)last;
        // Nothing is left to decode until the next source.
        if (decoder.decode() != -1)
            __builtin_trap();
    }
    return outcome;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t Prefix = 9;
    if (size < Prefix)
        return 0;
    const int width = qFromBigEndian<qint32>(data);
    const int height = qFromBigEndian<qint32>(data + 4);
    const uint8_t pattern = data[8];
    const uint8_t *jpeg = data + Prefix;
    const int jpegSize = int(size - Prefix);

    JpegDecoder decoder;
    decoder.init();
    const Outcome first = decodeOnce(decoder, jpeg, jpegSize, width, height, pattern & 1);
    if ((pattern & 2) && decodeOnce(decoder, jpeg, jpegSize, width, height, false) != first)
        __builtin_trap();
    return 0;
}
