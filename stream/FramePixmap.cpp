#include "FramePixmap.h"

bool FramePixmap::update(FrameSlot &frame)
{
    if (!converter.convert(frame))
        return false;
    currentImage = converter.image();
    // A new pixmap rather than converting into the old one: that one is still shown, so
    // converting into it would first copy it.
    currentPicture = QPixmap::fromImage(currentImage);
    return true;
}
