#pragma once

#include "FrameSlot.h"

#include <QObject>
#include <QPixmap>
#include <QPoint>

#include <optional>

class QGraphicsPixmapItem;
class QGraphicsView;
class QLabel;

// The frame pixel under the mouse and its value, shown in a label while the mouse is over the
// picture: the source samples when the picture shown is the frame's own, and the R, G, B of the
// picture at its own size, however the view scales or scrolls it. The label's tooltip holds the
// same text, whole however narrow the label.
class PixelReadout : public QObject
{
public:
    PixelReadout(QGraphicsView *view, QGraphicsPixmapItem *item, QLabel *label);

    // The picture at its own size whose scaled copy the item shows; source is the frame it was
    // made from, or null when the picture is an earlier frame's. Both are kept (shared, not
    // copied), so the readout never depends on what the parser does with its buffers next.
    // Refreshes the readout for a cursor that stays where it is.
    void setPicture(const QPixmap &picture, const FrameSlot *source);

    // Text for pixel (x, y) of the picture, of colour rgb; source as for setPicture.
    static QString text(int x, int y, QRgb rgb, const FrameSlot *source);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void refresh();
    void show(const QString &readout);

    QGraphicsView *view;
    QGraphicsPixmapItem *item;
    QLabel *label;
    QPixmap picture;
    std::optional<FrameSlot> source;
    QPoint cursor;
    bool cursorInView = false;
};
