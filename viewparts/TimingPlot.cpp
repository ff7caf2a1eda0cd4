#include "TimingPlot.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace {
const QColor FrameColour(90, 90, 90);
const QColor GridColour(52, 52, 52);
const QColor TextColour(200, 200, 200);
// The widest axis label the margin makes room for, so that plots stacked in one window keep
// their areas, and so their columns, aligned whatever their scales.
const QString WidestLabel = QStringLiteral("00000.0");
constexpr int MarkHeight = 4; // each of the two rows of marks under the area
constexpr int Gap = 3;
constexpr int MaxTicks = 5;
// The smallest top of the scale: a series of zeros still gets a readable axis.
constexpr qint64 MinimumTopUs = 100;
} // namespace

TimingPlot::TimingPlot(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TimingPlot::setTitle(const QString &text)
{
    title = text;
    update();
}

void TimingPlot::setRange(qint64 first, qint64 last)
{
    xFirst = first;
    xLast = last;
    envelopeStale = true;
    update();
}

void TimingPlot::setPoints(std::vector<Point> newPoints)
{
    points = std::move(newPoints);
    envelopeStale = true;
    update();
}

void TimingPlot::setReference(qint64 y)
{
    reference = y;
    update();
}

void TimingPlot::setCursor(qint64 x)
{
    cursorX = x;
    update();
}

QRect TimingPlot::plotArea() const
{
    const QFontMetrics metrics = fontMetrics();
    const int left = metrics.horizontalAdvance(WidestLabel) + 2 * Gap;
    const int top = metrics.height() + Gap;
    const int bottom = 2 * MarkHeight + 2 * Gap;
    return QRect(left, top, std::max(width() - left - Gap, 1), std::max(height() - top - bottom, 1));
}

qint64 TimingPlot::xAtColumn(int column) const
{
    const int columnCount = plotArea().width();
    if (columnCount <= 1)
        return xFirst;
    column = std::clamp(column, 0, columnCount - 1);
    const double span = double(std::max<qint64>(xLast - xFirst, 1));
    return xFirst + qint64(std::llround(double(column) * span / double(columnCount - 1)));
}

void TimingPlot::updateEnvelope() const
{
    const int columnCount = plotArea().width();
    if (!envelopeStale && int(columns.size()) == columnCount)
        return;
    envelopeStale = false;
    columns.assign(size_t(columnCount), Column{0, -1, false, false});
    highest = 0;
    const double perColumn = double(columnCount - 1) / double(std::max<qint64>(xLast - xFirst, 1));
    auto point = std::lower_bound(points.begin(), points.end(), xFirst,
                                  [](const Point &p, qint64 x) { return p.x < x; });
    for (; point != points.end() && point->x <= xLast; ++point) {
        Column &column = columns[size_t(double(point->x - xFirst) * perColumn + 0.5)];
        column.lost = column.lost || point->lost;
        column.damaged = column.damaged || point->damaged;
        const qint64 y = point->y;
        if (y < 0)
            continue;
        if (column.high < 0) {
            column.low = column.high = y;
        } else {
            column.low = std::min(column.low, y);
            column.high = std::max(column.high, y);
        }
        highest = std::max(highest, y);
    }
}

// A step of 1, 2 or 5 times a power of ten (µs), giving as many ticks as the height holds.
TimingPlot::Scale TimingPlot::scale() const
{
    updateEnvelope();
    const qint64 largest = std::max({highest, reference, MinimumTopUs});
    const int ticks = std::clamp(plotArea().height() / (2 * fontMetrics().height()), 1, MaxTicks);
    const qint64 wanted = (largest + ticks - 1) / ticks;
    qint64 magnitude = 1;
    while (magnitude * 10 <= wanted)
        magnitude *= 10;
    qint64 step = 10 * magnitude;
    for (const qint64 factor : {5, 2, 1}) {
        if (factor * magnitude >= wanted)
            step = factor * magnitude;
    }
    return {step, (largest + step - 1) / step * step};
}

qint64 TimingPlot::topValue() const
{
    return scale().top;
}

int TimingPlot::rowOf(qint64 y, const QRect &area, const Scale &scale)
{
    const double share = double(std::clamp<qint64>(y, 0, scale.top)) / double(scale.top);
    return area.bottom() - int(std::lround(share * double(area.height() - 1)));
}

void TimingPlot::drawAxis(QPainter &painter, const QRect &area, const Scale &scale) const
{
    const int decimals = scale.step >= 1000 ? 0 : scale.step >= 100 ? 1 : scale.step >= 10 ? 2 : 3;
    const int textHeight = fontMetrics().height();
    for (qint64 value = 0; value <= scale.top; value += scale.step) {
        const int row = rowOf(value, area, scale);
        if (value > 0) {
            painter.setPen(GridColour);
            painter.drawLine(area.left(), row, area.right(), row);
        }
        painter.setPen(TextColour);
        painter.drawText(QRect(0, row - textHeight / 2, area.left() - Gap, textHeight),
                         Qt::AlignRight | Qt::AlignVCenter, QString::number(double(value) / 1000, 'f', decimals));
    }
}

void TimingPlot::paintEvent(QPaintEvent *)
{
    updateEnvelope();
    QPainter painter(this);
    painter.fillRect(rect(), Background);
    const QRect area = plotArea();
    const QFontMetrics metrics = fontMetrics();

    // Title on the left, the marks' legend on the right of the line above the area.
    painter.setPen(TextColour);
    const QRect titleLine(area.left(), 0, area.width(), area.top() - 1);
    painter.drawText(titleLine, Qt::AlignLeft | Qt::AlignVCenter, title);
    int legendRight = titleLine.right();
    for (const auto &[colour, text] : {std::pair{DamagedColour, QStringLiteral("damaged")},
                                       std::pair{LostColour, QStringLiteral("lost")}}) {
        const int textWidth = metrics.horizontalAdvance(text);
        painter.setPen(colour);
        painter.drawText(QRect(legendRight - textWidth, 0, textWidth, titleLine.height()), Qt::AlignVCenter, text);
        const int square = metrics.ascent() / 2;
        painter.fillRect(legendRight - textWidth - Gap - square, titleLine.center().y() - square / 2, square, square, colour);
        legendRight -= textWidth + 3 * Gap + square;
    }

    const Scale yScale = scale();
    drawAxis(painter, area, yScale);
    painter.setPen(FrameColour);
    painter.drawRect(area.adjusted(-1, -1, 0, 0));

    if (reference >= 0) {
        painter.setPen(ReferenceColour);
        const int row = rowOf(reference, area, yScale);
        painter.drawLine(area.left(), row, area.right(), row);
    }

    std::vector<QLine> envelope, lost, damaged;
    envelope.reserve(columns.size());
    const int lostTop = area.bottom() + 1 + Gap;
    const int damagedTop = lostTop + MarkHeight + 1;
    for (size_t c = 0; c < columns.size(); ++c) {
        const Column &column = columns[c];
        const int x = area.left() + int(c);
        if (column.high >= 0)
            envelope.emplace_back(x, rowOf(column.high, area, yScale), x, rowOf(column.low, area, yScale));
        if (column.lost)
            lost.emplace_back(x, lostTop, x, lostTop + MarkHeight - 1);
        if (column.damaged)
            damaged.emplace_back(x, damagedTop, x, damagedTop + MarkHeight - 1);
    }
    painter.setPen(EnvelopeColour);
    painter.drawLines(envelope.data(), int(envelope.size()));
    painter.setPen(LostColour);
    painter.drawLines(lost.data(), int(lost.size()));
    painter.setPen(DamagedColour);
    painter.drawLines(damaged.data(), int(damaged.size()));

    if (cursorX >= xFirst && cursorX <= xLast && xLast > xFirst) {
        const double perColumn = double(area.width() - 1) / double(xLast - xFirst);
        const int x = area.left() + int(double(cursorX - xFirst) * perColumn + 0.5);
        painter.setPen(CursorColour);
        painter.drawLine(x, area.top(), x, damagedTop + MarkHeight - 1);
    }
}

void TimingPlot::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    emit clicked(xAtColumn(qRound(event->position().x()) - plotArea().left()));
}

void TimingPlot::resizeEvent(QResizeEvent *event)
{
    envelopeStale = true;
    QWidget::resizeEvent(event);
}
