#include "ViewScaler.h"

#include "NearestScale.h"

#include <QImage>

#include <utility>

QPixmap ViewScaler::scaled(const QPixmap &picture, const QSize &view)
{
    const QSize fitted = picture.size().scaled(view, Qt::KeepAspectRatio);
    if (!picture.isNull() && fitted == picture.size())
        return picture;
    // Shares the pixmap's pixels on raster platforms.
    const QImage source = picture.toImage();
    if (!fitted.isEmpty() && source.format() == QImage::Format_RGB32
        && picture.devicePixelRatio() == 1.0) {
        buffers.setPictureSize(fitted.width(), fitted.height());
        QImage target = buffers.acquire();
        if (target.size() == fitted
            && scaler.setSizes(source.width(), source.height(), target.width(), target.height())
            && scaler.scale(reinterpret_cast<const uint32_t *>(source.constBits()),
                            size_t(source.bytesPerLine()),
                            reinterpret_cast<uint32_t *>(target.bits()),
                            size_t(target.bytesPerLine())))
            return QPixmap::fromImage(std::move(target));
    }
    // Null pictures, empty targets, other pixel formats and sides beyond the fixed-point range.
    return picture.scaled(view, Qt::KeepAspectRatio, Qt::FastTransformation);
}
