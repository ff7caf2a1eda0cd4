#include "FrameLevels.h"

namespace {

const uchar *payloadOf(const FrameSlot &frame)
{
    return reinterpret_cast<const uchar *>(frame.payload.constData());
}

} // namespace

std::vector<SamplePlane> FrameLevels::planesOf(const FrameSlot &frame)
{
    return SamplePlane::ofPayload(payloadOf(frame), frame.payload.size(), frame.format, frame.width, frame.height);
}

bool FrameLevels::measure(const FrameSlot &frame, const QRect &region)
{
    return measure(payloadOf(frame), frame.payload.size(), frame.format, frame.width, frame.height, region);
}

std::vector<std::vector<int>> FrameLevels::profile(const FrameSlot &frame, QPoint from, QPoint to)
{
    return profile(planesOf(frame), QSize(frame.width, frame.height), from, to);
}

QImage FrameLevels::clipMask(const FrameSlot &frame, int channel, QRgb low, QRgb high)
{
    const std::vector<SamplePlane> planes = planesOf(frame);
    if (channel < 0 || channel >= int(planes.size()))
        return QImage();
    return clipMask(planes[size_t(channel)], QSize(frame.width, frame.height), low, high);
}
