#pragma once

#include <QImage>
#include <QString>

#include <vector>

// Where sample (x, y) of one channel lies: base[(y >> yShift) * rowBytes + (x >> xShift) * step].
struct SamplePlane
{
    const uchar *base = nullptr;
    qint64 rowBytes = 0;
    int step = 1;
    int xShift = 0;
    int yShift = 0;
    QString name;

    int sample(int x, int y) const { return base[(qint64(y >> yShift)) * rowBytes + qint64(x >> xShift) * step]; }

    // The planes of a board payload (the codes of BoardProtocol.h): the level of a Gray one; Y, U
    // and V of a raw colour one. None when the format carries no samples (a JPEG or other code),
    // the size is bad or the payload too short.
    static std::vector<SamplePlane> ofPayload(const uchar *base, qint64 length, int format, int width, int height);
    // R, G and B of a Format_RGB32 or Format_ARGB32 picture; none of any other.
    static std::vector<SamplePlane> ofPicture(const QImage &picture);
};
