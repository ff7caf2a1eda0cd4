#include "ZoomView.h"

#include "FramePixel.h"

#include <QMouseEvent>
#include <QPainter>
#include <QWheelEvent>

#include <cmath>

namespace {
constexpr int WheelStepAngle = 120;
const QColor Background(48, 48, 48);
const QColor GridColour(128, 128, 128, 170);
const QColor DamageColour(220, 30, 30);
const QColor RegionColour(255, 220, 0);
const QColor LineColour(0, 230, 230);
const QColor SelectionShadow(0, 0, 0, 160);
} // namespace

ZoomView::ZoomView(QWidget *parent) : QWidget(parent)
{
    setMouseTracking(true);
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(160, 120);
}

double ZoomView::scale() const
{
    return zoomFactor / devicePixelRatioF();
}

void ZoomView::setFrame(const QImage &picture, const std::optional<FrameSlot> &frameSamples)
{
    const bool sizeChanged = picture.size() != shown.size();
    shown = picture;
    samples = frameSamples;
    if (fitted || sizeChanged)
        fit();
    update();
}

void ZoomView::setClipMask(const QImage &mask)
{
    clips = mask;
    update();
}

void ZoomView::clearSelection()
{
    const bool hadRegion = !region.isNull(), hadLine = !line.isNull();
    region = QRect();
    line = QLine();
    update();
    if (hadRegion)
        emit regionSelected(region);
    if (hadLine)
        emit lineSelected(line);
}

void ZoomView::setDamage(const QString &reason)
{
    damage = reason;
    update();
}

void ZoomView::fit()
{
    fitted = true;
    if (shown.isNull() || width() <= 0 || height() <= 0)
        return;
    const double logical = std::min(double(width()) / shown.width(), double(height()) / shown.height());
    zoomFactor = std::min(logical * devicePixelRatioF(), MaxZoom);
    origin = QPointF((width() - shown.width() * scale()) / 2, (height() - shown.height() * scale()) / 2);
    update();
    cursorMoved();
}

void ZoomView::showOneToOne()
{
    zoomAbout(1 / zoomFactor, rect().center());
}

void ZoomView::zoomStep(int steps)
{
    const QPointF cursor = mapFromGlobal(QCursor::pos());
    const QPointF anchor = rect().contains(cursor.toPoint()) ? cursor : QPointF(rect().center());
    zoomAbout(std::pow(ZoomStep, steps), anchor);
}

void ZoomView::zoomAbout(double factor, const QPointF &anchor)
{
    double wanted = std::clamp(zoomFactor * factor, 1 / MaxZoom, MaxZoom);
    // Steps there and back must land on whole zooms again, or 8 would show as 7.9999 (no grid).
    if (std::abs(wanted - std::round(wanted)) < 1e-6)
        wanted = std::round(wanted);
    const QPointF sourcePoint = (anchor - origin) / scale();
    zoomFactor = wanted;
    origin = anchor - sourcePoint * scale();
    fitted = false;
    update();
    cursorMoved();
}

// The pixel under a cursor that stays put changes as the picture moves beneath it.
void ZoomView::cursorMoved()
{
    const QPoint cursor = mapFromGlobal(QCursor::pos());
    emit pixelHovered(rect().contains(cursor) ? sourcePixelAt(cursor) : QPoint(-1, -1));
}

QPoint ZoomView::sourcePixelAt(const QPointF &position) const
{
    const QPointF p = (position - origin) / scale();
    const QPoint pixel(int(std::floor(p.x())), int(std::floor(p.y())));
    return shown.rect().contains(pixel) ? pixel : QPoint(-1, -1);
}

QPoint ZoomView::nearestSourcePixel(const QPointF &position) const
{
    const QPointF p = (position - origin) / scale();
    return QPoint(std::clamp(int(std::floor(p.x())), 0, std::max(0, shown.width() - 1)),
                  std::clamp(int(std::floor(p.y())), 0, std::max(0, shown.height() - 1)));
}

QRectF ZoomView::cellRect(int x, int y) const
{
    return QRectF(origin + QPointF(x, y) * scale(), QSizeF(scale(), scale()));
}

QString ZoomView::cellText(int x, int y) const
{
    if (!shown.rect().contains(x, y))
        return QString();
    const FramePixel pixel = samples ? framePixelAt(*samples, x, y) : FramePixel();
    switch (pixel.kind) {
    case FramePixel::Gray:
        return QString::number(pixel.level);
    case FramePixel::Yuv:
        return QStringLiteral("%1\n%2\n%3").arg(pixel.y).arg(pixel.u).arg(pixel.v);
    case FramePixel::None:
        break;
    }
    const QRgb rgb = shown.pixel(x, y);
    return QStringLiteral("%1\n%2\n%3").arg(qRed(rgb)).arg(qGreen(rgb)).arg(qBlue(rgb));
}

void ZoomView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Background);
    if (!shown.isNull()) {
        // Only the source pixels in sight are drawn: at high zoom a whole frame would be
        // scaled to tens of thousands of pixels a side.
        const QRectF inSight((QPointF(rect().topLeft()) - origin) / scale(), QSizeF(size()) / scale());
        const QRect cells = QRect(QPoint(int(std::floor(inSight.left())), int(std::floor(inSight.top()))),
                                  QPoint(int(std::ceil(inSight.right())), int(std::ceil(inSight.bottom()))))
                                .intersected(shown.rect());
        if (!cells.isEmpty()) {
            const QRectF target(origin + QPointF(cells.topLeft()) * scale(), QSizeF(cells.size()) * scale());
            painter.drawImage(target, shown, cells);
            if (clips.size() == shown.size())
                painter.drawImage(target, clips, cells);
            if (zoomFactor >= GridZoom)
                paintGrid(painter, cells);
            if (zoomFactor >= ValuesZoom)
                paintValues(painter, cells);
        }
    }
    paintSelection(painter);
    paintDamage(painter);
}

// Outlined twice, light on dark, to stand out on any picture.
void ZoomView::paintSelection(QPainter &painter)
{
    if (!region.isNull()) {
        const QRectF box(origin + QPointF(region.topLeft()) * scale(), QSizeF(region.size()) * scale());
        painter.setPen(QPen(SelectionShadow, 3));
        painter.drawRect(box);
        painter.setPen(QPen(RegionColour, 1));
        painter.drawRect(box);
    }
    if (!line.isNull()) {
        const QPointF centre(0.5, 0.5);
        const QPointF from = origin + (QPointF(line.p1()) + centre) * scale();
        const QPointF to = origin + (QPointF(line.p2()) + centre) * scale();
        painter.setPen(QPen(SelectionShadow, 3));
        painter.drawLine(from, to);
        painter.setPen(QPen(LineColour, 1));
        painter.drawLine(from, to);
    }
}

void ZoomView::paintGrid(QPainter &painter, const QRect &cells)
{
    painter.setPen(QPen(GridColour, 0));
    const double top = origin.y() + cells.top() * scale();
    const double bottom = origin.y() + (cells.bottom() + 1) * scale();
    const double left = origin.x() + cells.left() * scale();
    const double right = origin.x() + (cells.right() + 1) * scale();
    for (int x = cells.left(); x <= cells.right() + 1; ++x)
        painter.drawLine(QPointF(origin.x() + x * scale(), top), QPointF(origin.x() + x * scale(), bottom));
    for (int y = cells.top(); y <= cells.bottom() + 1; ++y)
        painter.drawLine(QPointF(left, origin.y() + y * scale()), QPointF(right, origin.y() + y * scale()));
}

void ZoomView::paintValues(QPainter &painter, const QRect &cells)
{
    QFont font = painter.font();
    font.setPixelSize(std::max(6, int(scale() / 4.5)));
    painter.setFont(font);
    for (int y = cells.top(); y <= cells.bottom(); ++y) {
        for (int x = cells.left(); x <= cells.right(); ++x) {
            const QRgb rgb = shown.pixel(x, y);
            // Legible on any colour: dark text on light cells, light text on dark ones.
            const int luma = (299 * qRed(rgb) + 587 * qGreen(rgb) + 114 * qBlue(rgb)) / 1000;
            painter.setPen(luma >= 128 ? Qt::black : Qt::white);
            painter.drawText(cellRect(x, y), Qt::AlignCenter, cellText(x, y));
        }
    }
}

void ZoomView::paintDamage(QPainter &painter)
{
    if (damage.isEmpty())
        return;
    painter.setPen(QPen(DamageColour, 4));
    painter.drawRect(rect().adjusted(2, 2, -2, -2));
    QFont font = painter.font();
    font.setPixelSize(16);
    font.setBold(true);
    painter.setFont(font);
    const QString text = QStringLiteral("damaged: ") + damage;
    const QRect box = painter.fontMetrics().boundingRect(text).adjusted(-6, -4, 6, 4);
    const QRect banner(QPoint(8, 8), box.size());
    painter.fillRect(banner, DamageColour);
    painter.setPen(Qt::white);
    painter.drawText(banner, Qt::AlignCenter, text);
}

void ZoomView::resizeEvent(QResizeEvent *)
{
    if (fitted)
        fit();
}

void ZoomView::wheelEvent(QWheelEvent *event)
{
    if (!(event->modifiers() & Qt::ControlModifier)) {
        event->ignore();
        return;
    }
    const double steps = double(event->angleDelta().y()) / WheelStepAngle;
    zoomAbout(std::pow(ZoomStep, steps / 2), event->position());
    event->accept();
}

void ZoomView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier) && !shown.isNull()) {
        selecting = (event->modifiers() & Qt::AltModifier) ? Selecting::Line : Selecting::Region;
        selectFrom = nearestSourcePixel(event->position());
        selectTo(event->position());
    } else if (event->button() == Qt::LeftButton) {
        dragging = true;
        dragFrom = event->position();
        setCursor(Qt::ClosedHandCursor);
    }
}

void ZoomView::selectTo(const QPointF &position)
{
    const QPoint to = nearestSourcePixel(position);
    if (selecting == Selecting::Line) {
        line = QLine(selectFrom, to);
        emit lineSelected(line);
    } else {
        region = QRect(QPoint(std::min(selectFrom.x(), to.x()), std::min(selectFrom.y(), to.y())),
                       QPoint(std::max(selectFrom.x(), to.x()), std::max(selectFrom.y(), to.y())));
        emit regionSelected(region);
    }
    update();
}

void ZoomView::mouseMoveEvent(QMouseEvent *event)
{
    if (selecting != Selecting::None) {
        selectTo(event->position());
    } else if (dragging) {
        origin += event->position() - dragFrom;
        dragFrom = event->position();
        fitted = false;
        update();
    }
    emit pixelHovered(sourcePixelAt(event->position()));
}

void ZoomView::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        selecting = Selecting::None;
        dragging = false;
        unsetCursor();
    }
}

void ZoomView::leaveEvent(QEvent *)
{
    emit pixelHovered(QPoint(-1, -1));
}
