#pragma once

#include "FrameSlot.h"

#include <QImage>
#include <QLine>
#include <QPointF>
#include <QWidget>

#include <optional>

// A frame's picture at any zoom: fitted at first, then zoomed about the cursor in steps up to
// MaxZoom device pixels per source pixel, and panned by dragging. From GridZoom on a grid parts
// the source pixels; from ValuesZoom each one shows its source samples as numbers, in black or
// white after its brightness. A damaged frame's picture carries a mark saying why. Shift+drag
// selects a rectangle of source pixels, Shift+Alt+drag a line; samples at 0 and 255 can be
// painted over the picture in two warning colours.
class ZoomView : public QWidget
{
    Q_OBJECT

public:
    static constexpr double MaxZoom = 64;
    static constexpr double GridZoom = 8;
    static constexpr double ValuesZoom = 32;
    static constexpr double ZoomStep = 2;

    explicit ZoomView(QWidget *parent = nullptr);

    // samples: the frame the picture was made from, whose samples the numbers show; none when
    // the picture is all there is (a damaged frame, a stored picture), then R, G, B are shown.
    void setFrame(const QImage &picture, const std::optional<FrameSlot> &samples);
    void setDamage(const QString &reason); // empty: not damaged
    const QImage &picture() const { return shown; }
    // Drawn over the picture, source pixel on source pixel; null draws nothing.
    void setClipMask(const QImage &mask);
    const QImage &clipMask() const { return clips; }

    QRect selectedRegion() const { return region; } // null when none
    QLine selectedLine() const { return line; }     // null when none
    void clearSelection();

    // Device pixels per source pixel.
    double zoom() const { return zoomFactor; }
    void fit();
    void showOneToOne();
    // Zooms about the cursor when it is over the view, else about the centre.
    void zoomStep(int steps);
    void zoomAbout(double factor, const QPointF &anchor);

    // The numbers shown in the cell of source pixel (x, y), one line per sample.
    QString cellText(int x, int y) const;
    // Where the cell of source pixel (x, y) lies in the widget.
    QRectF cellRect(int x, int y) const;
    // The source pixel under a point of the widget, or (-1, -1).
    QPoint sourcePixelAt(const QPointF &position) const;
    // The same, the nearest pixel of the picture when the point is off it.
    QPoint nearestSourcePixel(const QPointF &position) const;

signals:
    void pixelHovered(QPoint pixel); // (-1, -1) when the cursor is off the picture
    void regionSelected(QRect region); // null when cleared
    void lineSelected(QLine line);     // null when cleared

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void wheelEvent(QWheelEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void leaveEvent(QEvent *event) override;

private:
    double scale() const; // logical pixels per source pixel
    void cursorMoved();
    void paintGrid(QPainter &painter, const QRect &cells);
    void paintValues(QPainter &painter, const QRect &cells);
    void paintDamage(QPainter &painter);
    void paintSelection(QPainter &painter);
    void selectTo(const QPointF &position);

    QImage shown;
    std::optional<FrameSlot> samples;
    QString damage;
    double zoomFactor = 1;
    QPointF origin; // of the picture's top-left corner, in logical pixels
    bool fitted = true;
    bool dragging = false;
    QPointF dragFrom;
    QImage clips;
    enum class Selecting { None, Region, Line } selecting = Selecting::None;
    QPoint selectFrom;
    QRect region;
    QLine line;
};
