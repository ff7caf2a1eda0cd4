#pragma once

#include "FrameConverter.h"
#include "FrameSlot.h"
#include "PictureBuffers.h"

#include <QImage>
#include <QPixmap>

// The pixmap shown for the frame just completed: the frame converted to a picture, then made a
// pixmap. Colour pictures are already in the screen's 32-bit format and are shared by the pixmap
// as they are; a grayscale picture is widened to that format on its one way into the pixmap.
// A frame that cannot be shown leaves the last good pixmap in place.
class FramePixmap
{
public:
    // False when the frame could not be converted; pixmap() then still holds the last good one.
    bool update(FrameSlot &frame);
    const QPixmap &pixmap() const { return currentPicture; }

private:
    QImage widenedGray(const QImage &gray);

    FrameConverter converter;
    PictureBuffers grayPictures;
    QImage currentImage;
    QPixmap currentPicture;
};
