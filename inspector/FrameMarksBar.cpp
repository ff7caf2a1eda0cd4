#include "FrameMarksBar.h"

#include "FrameMarkScan.h"
#include "TimingPlot.h"

#include <QPainter>

namespace {
constexpr int MaxTickWidth = 6;
const QColor StretchColour(60, 130, 230);
}

void FrameMarksBar::setStretch(qint64 first, qint64 last)
{
    stretchFirst = first;
    stretchLast = last;
    update();
}

FrameMarksBar::FrameMarksBar(QWidget *parent)
    : QWidget(parent)
{
    setFixedHeight(sizeHint().height());
}

void FrameMarksBar::showScan(const FrameMarkScan &scan, qint64 count)
{
    marks = &scan;
    frames = count;
    stretchFirst = -1;
    stretchLast = -1;
    update();
}

void FrameMarksBar::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const double step = frames > 1 ? double(width() - 1) / double(frames - 1) : 0;
    if (stretchFirst >= 0 || stretchLast >= 0) {
        const double from = double(std::max<qint64>(stretchFirst, 0)) * step;
        const double to = double(stretchLast >= 0 ? stretchLast : frames - 1) * step;
        painter.fillRect(QRectF(from - 1, 0, to - from + 2, height()), StretchColour);
    }
    const qint64 scanned = marks ? marks->scanned() : 0;
    for (qint64 i = 0; i < scanned; ++i) {
        const quint8 mark = marks->mark(i);
        if (!mark)
            continue;
        const QColor colour
            = (mark & FrameMarkScan::Damaged) ? TimingPlot::DamagedColour : TimingPlot::LostColour;
        const double tick = std::clamp(step, 2.0, double(MaxTickWidth));
        painter.fillRect(QRectF(i * step - tick / 2, 0, tick, height()), colour);
    }
}
