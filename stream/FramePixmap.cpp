#include "FramePixmap.h"

bool FramePixmap::update(FrameSlot &frame)
{
    if (!converter.convert(frame))
        return false;
    currentImage = converter.image();
    currentPicture.convertFromImage(currentImage);
    return true;
}
