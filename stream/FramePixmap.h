#pragma once

#include "FrameConverter.h"
#include "FrameSlot.h"

#include <QImage>
#include <QPixmap>

// The pixmap shown for the frame just completed: the frame converted to a picture, then made a
// pixmap. A frame that cannot be shown leaves the last good pixmap in place.
class FramePixmap
{
public:
    // False when the frame could not be converted; pixmap() then still holds the last good one.
    bool update(FrameSlot &frame);
    const QPixmap &pixmap() const { return currentPicture; }

private:
    FrameConverter converter;
    QImage currentImage;
    QPixmap currentPicture;
};
