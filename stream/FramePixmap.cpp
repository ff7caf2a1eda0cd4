#include "FramePixmap.h"

#include "XrgbRows.h"

bool FramePixmap::update(FrameSlot &frame)
{
    if (!converter.convert(frame))
        return false;
    const QImage &picture = converter.image();
    currentImage = picture.format() == QImage::Format_Grayscale8 ? widenedGray(picture) : picture;
    // A new pixmap rather than converting into the old one: that one is still shown, so
    // converting into it would first copy it.
    currentPicture = QPixmap::fromImage(currentImage);
    return true;
}

QImage FramePixmap::widenedGray(const QImage &gray)
{
    grayPictures.setPictureSize(gray.width(), gray.height());
    QImage picture = grayPictures.acquire();
    if (picture.isNull())
        return gray; // Qt converts it then
    for (int y = 0; y < gray.height(); ++y)
        grayRowToXrgb32(gray.constScanLine(y), reinterpret_cast<uint32_t *>(picture.scanLine(y)),
                        gray.width());
    return picture;
}
