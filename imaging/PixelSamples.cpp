#include "PixelSamples.h"

#include "BoardProtocol.h"
#include "RawConvert.h"

PixelSamples pixelSamplesAt(const uchar *payload, qint64 length, int format, int width, int height, int x, int y)
{
    // The byte at offset, or -1 when the payload does not reach it.
    const auto sampleAt = [payload, length](qint64 offset) {
        return offset < 0 || offset >= length ? -1 : int(payload[offset]);
    };
    PixelSamples pixel;
    if (x < 0 || y < 0 || x >= width || y >= height)
        return pixel;
    if (format == BoardProtocol::FormatGray) {
        const int level = sampleAt(qint64(y) * width + x);
        if (level >= 0) {
            pixel.kind = PixelSamples::Gray;
            pixel.level = level;
        }
        return pixel;
    }
    if (rawPayloadSize(format, width, height) < 0)
        return pixel;
    const RawSampleOffsets at = rawSampleOffsets(format, width, height, x, y);
    const int luma = sampleAt(at.y), u = sampleAt(at.u), v = sampleAt(at.v);
    if (luma < 0 || u < 0 || v < 0)
        return pixel;
    pixel.kind = PixelSamples::Yuv;
    pixel.y = luma;
    pixel.u = u;
    pixel.v = v;
    return pixel;
}
