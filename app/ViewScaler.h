#pragma once

#include "NearestScale.h"
#include "PictureBuffers.h"

#include <QPixmap>
#include <QSize>

// The shown picture fitted into the view, keeping its aspect ratio, as
// QPixmap::scaled(view, Qt::KeepAspectRatio, Qt::FastTransformation) makes it, pixel for pixel.
// Pictures in the 32-bit format are scaled here into reused buffers: Qt would allocate, clear and
// paint a new image for every frame, frames that are never painted included.
class ViewScaler
{
public:
    QPixmap scaled(const QPixmap &picture, const QSize &view);

private:
    NearestScaler scaler;
    PictureBuffers buffers;
};
