#include "FramePixel.h"

#include "BoardProtocol.h"
#include "RawConvert.h"

namespace {

// The byte at offset, or -1 when the payload does not reach it.
int sampleAt(const FrameSlot &frame, qint64 offset)
{
    if (offset < 0 || offset >= frame.payload.size())
        return -1;
    return quint8(frame.payload.at(qsizetype(offset)));
}

} // namespace

FramePixel framePixelAt(const FrameSlot &frame, int x, int y)
{
    FramePixel pixel;
    if (x < 0 || y < 0 || x >= frame.width || y >= frame.height)
        return pixel;
    if (frame.format == BoardProtocol::FormatGray) {
        const int level = sampleAt(frame, qint64(y) * frame.width + x);
        if (level >= 0) {
            pixel.kind = FramePixel::Gray;
            pixel.level = level;
        }
        return pixel;
    }
    if (rawPayloadSize(frame.format, frame.width, frame.height) < 0)
        return pixel;
    const RawSampleOffsets at = rawSampleOffsets(frame.format, frame.width, frame.height, x, y);
    const int luma = sampleAt(frame, at.y), u = sampleAt(frame, at.u), v = sampleAt(frame, at.v);
    if (luma < 0 || u < 0 || v < 0)
        return pixel;
    pixel.kind = FramePixel::Yuv;
    pixel.y = luma;
    pixel.u = u;
    pixel.v = v;
    return pixel;
}
