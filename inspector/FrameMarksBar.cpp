#include "FrameMarksBar.h"

#include "FrameMarkScan.h"
#include "TimingPlot.h"

#include <QPainter>

namespace {
constexpr int MaxTickWidth = 6;
const QColor StretchColour(60, 130, 230);
// A trouble a clip lists that is neither damage nor loss: a late frame, a record dropped, a lost
// connection.
const QColor ListedColour(150, 60, 200);
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
    if (!marks)
        return;
    const double tick = std::clamp(step, 2.0, double(MaxTickWidth));
    const auto paintMark = [&](qint64 i) {
        const quint8 mark = marks->mark(i);
        const QColor colour = (mark & FrameMarkScan::Damaged) ? TimingPlot::DamagedColour
                              : (mark & FrameMarkScan::Lost)  ? TimingPlot::LostColour
                                                              : ListedColour;
        painter.fillRect(QRectF(double(i) * step - tick / 2, 0, tick, height()), colour);
    };
    for (qint64 i = 0; i < marks->scanned(); ++i)
        if (marks->mark(i))
            paintMark(i);
    for (const qint64 i : marks->listedTroubles())
        if (i >= marks->scanned())
            paintMark(i);
}
