#pragma once

#include "FrameSlot.h"
#include "PlaneLevels.h"

#include <QImage>
#include <QRect>

#include <vector>

// The levels, profiles and clipped samples of a frame record as received, read from its payload.
class FrameLevels : public PlaneLevels
{
public:
    using PlaneLevels::clipMask;
    using PlaneLevels::measure;
    using PlaneLevels::profile;

    // False when the frame has no samples to read: a JPEG or other code, a bad size, a payload
    // too short. region: in source pixels, cut to the frame; a null one is the whole frame.
    bool measure(const FrameSlot &frame, const QRect &region = QRect());
    static std::vector<std::vector<int>> profile(const FrameSlot &frame, QPoint from, QPoint to);
    // Null too when the frame has no such channel.
    static QImage clipMask(const FrameSlot &frame, int channel, QRgb low, QRgb high);

    static std::vector<SamplePlane> planesOf(const FrameSlot &frame);
};
