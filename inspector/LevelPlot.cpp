#include "LevelPlot.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {
const QColor Background(32, 32, 32);
const QColor Frame(90, 90, 90);
constexpr int FillAlpha = 90;
}

LevelPlot::LevelPlot(QWidget *parent) : QWidget(parent)
{
    setMinimumSize(160, 80);
}

void LevelPlot::setCurves(std::vector<Curve> curves, double topValue, bool fill)
{
    shown = std::move(curves);
    filled = fill;
    top = topValue;
    if (top <= 0) {
        for (const Curve &curve : shown)
            for (double value : curve.values)
                top = std::max(top, value);
    }
    update();
}

void LevelPlot::setLogarithmic(bool on)
{
    logarithmic = on;
    update();
}

// The fraction of the height a value reaches; a logarithmic count of 1 still shows.
double LevelPlot::heightOf(double value) const
{
    if (top <= 0)
        return 0;
    if (logarithmic)
        return std::log1p(std::max(0.0, value)) / std::log1p(top);
    return value / top;
}

void LevelPlot::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Background);
    painter.setPen(Frame);
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(2, 2, -2, -2);
    for (const Curve &curve : shown) {
        const size_t n = curve.values.size();
        if (n == 0)
            continue;
        const double step = n > 1 ? area.width() / double(n - 1) : 0;
        QPainterPath path;
        for (size_t i = 0; i < n; ++i) {
            const QPointF point(area.left() + double(i) * step,
                                area.bottom() - std::clamp(heightOf(curve.values[i]), 0.0, 1.0) * area.height());
            if (i == 0)
                path.moveTo(point);
            else
                path.lineTo(point);
        }
        if (filled) {
            QPainterPath under = path;
            under.lineTo(area.left() + double(n - 1) * step, area.bottom());
            under.lineTo(area.left(), area.bottom());
            under.closeSubpath();
            QColor fill = curve.colour;
            fill.setAlpha(FillAlpha);
            painter.fillPath(under, fill);
        }
        painter.setPen(QPen(curve.colour, 1));
        painter.drawPath(path);
    }
}
