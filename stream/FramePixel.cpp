#include "FramePixel.h"

FramePixel framePixelAt(const FrameSlot &frame, int x, int y)
{
    return pixelSamplesAt(reinterpret_cast<const uchar *>(frame.payload.constData()), frame.payload.size(),
                          frame.format, frame.width, frame.height, x, y);
}
