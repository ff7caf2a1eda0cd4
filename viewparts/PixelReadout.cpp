#include "PixelReadout.h"

#include "FramePixel.h"
#include "NearestScale.h"

#include <QEvent>
#include <QGraphicsPixmapItem>
#include <QGraphicsView>
#include <QImage>
#include <QLabel>
#include <QMouseEvent>

#include <cmath>

PixelReadout::PixelReadout(QGraphicsView *view, QGraphicsPixmapItem *item, QLabel *label)
    : QObject(label)
    , view(view)
    , item(item)
    , label(label)
{
    view->viewport()->setMouseTracking(true);
    view->viewport()->installEventFilter(this);
}

void PixelReadout::setPicture(const QPixmap &shownPicture, const FrameSlot *frame)
{
    picture = shownPicture;
    if (frame)
        source = *frame;
    else
        source.reset();
    refresh();
}

QString PixelReadout::text(int x, int y, QRgb rgb, const FrameSlot *source)
{
    const QString place = QStringLiteral("x %1 y %2 \u00B7 ").arg(x).arg(y);
    const QString colour =
        QStringLiteral("R %1 G %2 B %3").arg(qRed(rgb)).arg(qGreen(rgb)).arg(qBlue(rgb));
    const FramePixel samples = source ? framePixelAt(*source, x, y) : FramePixel();
    switch (samples.kind) {
    case FramePixel::Gray:
        return place + QString::number(samples.level);
    case FramePixel::Yuv:
        return place
            + QStringLiteral("Y %1 U %2 V %3 \u00B7 ").arg(samples.y).arg(samples.u).arg(samples.v)
            + colour;
    case FramePixel::None:
        break;
    }
    return place + colour;
}

bool PixelReadout::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::MouseMove) {
        cursor = static_cast<QMouseEvent *>(event)->position().toPoint();
        cursorInView = true;
        refresh();
    } else if (event->type() == QEvent::Leave) {
        cursorInView = false;
        refresh();
    }
    return QObject::eventFilter(watched, event);
}

void PixelReadout::refresh()
{
    const QSize shown = item->pixmap().size();
    if (!cursorInView || picture.isNull() || shown.isEmpty()) {
        show(QString()); // unchanged text costs nothing per frame
        return;
    }
    const QPointF local = item->mapFromScene(view->mapToScene(cursor));
    const int shownX = int(std::floor(local.x()));
    const int shownY = int(std::floor(local.y()));
    // The scaled picture shows each of its pixels from one pixel of the picture at its own size.
    const int x = shown.width() == picture.width()
        ? (shownX < shown.width() && shownX >= 0 ? shownX : -1)
        : NearestScaler::sourceIndex(shownX, picture.width(), shown.width());
    const int y = shown.height() == picture.height()
        ? (shownY < shown.height() && shownY >= 0 ? shownY : -1)
        : NearestScaler::sourceIndex(shownY, picture.height(), shown.height());
    if (x < 0 || y < 0) {
        show(QString());
        return;
    }
    show(text(x, y, picture.toImage().pixel(x, y), source ? &*source : nullptr));
}

void PixelReadout::show(const QString &readout)
{
    label->setText(readout);
    label->setToolTip(readout);
}
