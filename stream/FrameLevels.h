#pragma once

#include "FrameSlot.h"

#include <QImage>
#include <QRect>
#include <QString>

#include <array>
#include <vector>

// The levels of one channel: a count per level 0..255 and what follows from it, exactly.
struct ChannelLevels
{
    QString name;
    std::array<quint64, 256> bins{};
    quint64 count = 0;
    int min = 0; // of no sample: 0
    int max = 0;
    double mean = 0;
    double sigma = 0; // population standard deviation

    quint64 atZero() const { return bins[0]; }
    quint64 atFull() const { return bins[255]; }
    // mean / sigma; infinite for a flat channel.
    double snr() const;
    double snrDb() const;
};

// The levels of a frame, or of a rectangle of it, from its source samples: the level of a Gray
// frame; Y, U and V of a raw colour frame, each sample counted once (a chroma sample belongs to
// the region when one of its pixels does); R, G and B of a picture (a decoded JPEG). Rows are read
// a plane at a time, so a whole 1080p frame takes about a millisecond.
class FrameLevels
{
public:
    // False when the frame has no samples to read: a JPEG or other code, a bad size, a payload
    // too short. region: in source pixels, cut to the frame; a null one is the whole frame.
    bool measure(const FrameSlot &frame, const QRect &region = QRect());
    bool measure(const QImage &picture, const QRect &region = QRect());

    const std::vector<ChannelLevels> &channels() const { return measured; }
    QRect region() const { return area; }

    // The samples of each channel at the pixels along a line from `from` to `to` (both inside),
    // one pixel per step of the longer axis.
    static std::vector<std::vector<int>> profile(const FrameSlot &frame, QPoint from, QPoint to);
    static std::vector<std::vector<int>> profile(const QImage &picture, QPoint from, QPoint to);

    // A picture of the frame's size, transparent but where the channel's sample is 0 (low) or
    // 255 (high); for a picture, where any of R, G, B is. Null when nothing can be read.
    static QImage clipMask(const FrameSlot &frame, int channel, QRgb low, QRgb high);
    static QImage clipMask(const QImage &picture, QRgb low, QRgb high);

    // Where sample (x, y) of a channel lies: base[(y >> yShift) * rowBytes + (x >> xShift) * step].
    struct Plane
    {
        const uchar *base = nullptr;
        qint64 rowBytes = 0;
        int step = 1;
        int xShift = 0;
        int yShift = 0;
        QString name;
        int sample(int x, int y) const { return base[(qint64(y >> yShift)) * rowBytes + qint64(x >> xShift) * step]; }
    };
    static std::vector<Plane> planesOf(const FrameSlot &frame);
    static std::vector<Plane> planesOf(const QImage &picture);

private:
    bool measurePlanes(const std::vector<Plane> &planes, QSize size, const QRect &region);
    bool measureGroups(const std::vector<Plane> &planes, QSize size, const QRect &region, bool uyvy);

    std::vector<ChannelLevels> measured;
    QRect area;
};
