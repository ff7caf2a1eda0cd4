#include "FramePixel.h"

#include "BoardProtocol.h"

namespace {

// The byte at offset, or -1 when the payload does not reach it.
int sampleAt(const FrameSlot &frame, qint64 offset)
{
    if (offset < 0 || offset >= frame.payload.size())
        return -1;
    return quint8(frame.payload.at(qsizetype(offset)));
}

FramePixel yuvPixel(int y, int u, int v)
{
    FramePixel pixel;
    if (y < 0 || u < 0 || v < 0)
        return pixel;
    pixel.kind = FramePixel::Yuv;
    pixel.y = y;
    pixel.u = u;
    pixel.v = v;
    return pixel;
}

} // namespace

FramePixel framePixelAt(const FrameSlot &frame, int x, int y)
{
    using namespace BoardProtocol;
    if (x < 0 || y < 0 || x >= frame.width || y >= frame.height)
        return {};
    const qint64 width = frame.width;
    const qint64 height = frame.height;
    const qint64 chromaWidth = (width + 1) / 2;
    const qint64 chromaHeight = (height + 1) / 2;
    const qint64 lumaBytes = width * height;
    const qint64 chromaAt = (y / 2) * chromaWidth + x / 2;
    switch (frame.format) {
    case FormatGray: {
        const int level = sampleAt(frame, y * width + x);
        FramePixel pixel;
        if (level >= 0) {
            pixel.kind = FramePixel::Gray;
            pixel.level = level;
        }
        return pixel;
    }
    case FormatUyvy: {
        // Each group of four bytes U, Y0, V, Y1 holds two pixels.
        const qint64 group = y * chromaWidth * 4 + (x / 2) * 4;
        return yuvPixel(sampleAt(frame, group + 1 + (x % 2) * 2), sampleAt(frame, group),
                        sampleAt(frame, group + 2));
    }
    case FormatYuv420: {
        const qint64 chromaBytes = chromaWidth * chromaHeight;
        return yuvPixel(sampleAt(frame, y * width + x), sampleAt(frame, lumaBytes + chromaAt),
                        sampleAt(frame, lumaBytes + chromaBytes + chromaAt));
    }
    case FormatNv12: {
        const qint64 pair = lumaBytes + 2 * chromaAt;
        return yuvPixel(sampleAt(frame, y * width + x), sampleAt(frame, pair),
                        sampleAt(frame, pair + 1));
    }
    default:
        return {};
    }
}
