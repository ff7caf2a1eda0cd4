#pragma once

#include "ChannelLevels.h"
#include "SamplePlane.h"

#include <QImage>
#include <QRect>

#include <vector>

// The levels of a picture, or of a rectangle of it, from its samples: the level of a Gray payload;
// Y, U and V of a raw colour one, each sample counted once (a chroma sample belongs to the region
// when one of its pixels does); R, G and B of a picture (a decoded JPEG). Rows are read a plane at
// a time, so a whole 1080p frame takes about a millisecond.
class PlaneLevels
{
public:
    // False when there are no samples to read: a JPEG or other code, a bad size, a payload too
    // short. region: in source pixels, cut to the picture; a null one is the whole picture.
    bool measure(const uchar *payload, qint64 length, int format, int width, int height,
                 const QRect &region = QRect());
    bool measure(const QImage &picture, const QRect &region = QRect());
    // Each plane read on its own.
    bool measure(const std::vector<SamplePlane> &planes, QSize size, const QRect &region = QRect());

    const std::vector<ChannelLevels> &channels() const { return measured; }
    QRect region() const { return area; }

    // The samples of each channel at the pixels along a line from `from` to `to` (both inside),
    // one pixel per step of the longer axis.
    static std::vector<std::vector<int>> profile(const std::vector<SamplePlane> &planes, QSize size, QPoint from,
                                                 QPoint to);
    static std::vector<std::vector<int>> profile(const QImage &picture, QPoint from, QPoint to);

    // A picture of the given size, transparent but where the plane's sample is 0 (low) or 255
    // (high); for a picture, where any of R, G, B is. Null when nothing can be read.
    static QImage clipMask(const SamplePlane &plane, QSize size, QRgb low, QRgb high);
    static QImage clipMask(const QImage &picture, QRgb low, QRgb high);

private:
    bool measureGroups(const std::vector<SamplePlane> &planes, QSize size, const QRect &region, bool uyvy);

    std::vector<ChannelLevels> measured;
    QRect area;
};
