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
// A mark is a small wedge pointing up at its column: one pixel column alone would go unseen.
constexpr int MarkHeight = 5; // each of the two rows of marks under the area
constexpr int MarkReach = (MarkHeight - 1) / 2; // the wedge's half width at its base
constexpr int Gap = 3;
// The rows under the area down to the last row of marks.
constexpr int MarksDepth = Gap + 2 * MarkHeight + 1;
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
    blocks.clear();
    blocks.reserve(points.size() / BlockPoints);
    for (size_t first = 0; first + BlockPoints <= points.size(); first += BlockPoints) {
        Column extremes = NoColumn;
        for (size_t i = first; i < first + BlockPoints; ++i)
            extremes.include(points[i]);
        blocks.push_back({points[first + BlockPoints - 1].x, extremes});
    }
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
    const int bottom = MarksDepth + 1;
    return QRect(left, top, std::max(width() - left - Gap, 1), std::max(height() - top - bottom, 1));
}

// Each column's x lies in its middle: the nearest column to an x is the one it falls in.
qint64 TimingPlot::columnOf(qint64 x, int columnCount) const
{
    const qint64 span = std::max<qint64>(xLast - xFirst, 1);
    return (2 * (x - xFirst) * (columnCount - 1) + span) / (2 * span);
}

qint64 TimingPlot::xAtColumn(int column) const
{
    const int columnCount = plotArea().width();
    if (columnCount <= 1)
        return xFirst;
    column = std::clamp(column, 0, columnCount - 1);
    const qint64 span = std::max<qint64>(xLast - xFirst, 1);
    return xFirst + (2 * column * span + columnCount - 1) / (2 * (columnCount - 1));
}

void TimingPlot::updateEnvelope() const
{
    const int columnCount = plotArea().width();
    if (!envelopeStale && int(columns.size()) == columnCount)
        return;
    envelopeStale = false;
    columns.assign(size_t(columnCount), NoColumn);
    highest = 0;
    const qint64 span = std::max<qint64>(xLast - xFirst, 1);
    const auto byX = [](const Point &p, qint64 x) { return p.x < x; };
    size_t i = size_t(std::lower_bound(points.begin(), points.end(), xFirst, byX) - points.begin());
    const size_t end = size_t(std::lower_bound(points.begin() + qint64(i), points.end(), xLast + 1, byX) - points.begin());
    // Column by column, up to the first x of the next: no division per point.
    for (int c = 0; c < columnCount && i < end; ++c) {
        const qint64 next = c + 1 == columnCount
            ? xLast + 1
            : xFirst + ((2 * c + 1) * span + 2 * (columnCount - 1) - 1) / (2 * (columnCount - 1));
        Column &column = columns[size_t(c)];
        while (i < end && points[i].x < next) {
            if (i % BlockPoints == 0 && i + BlockPoints <= end && blocks[i / BlockPoints].lastX < next) {
                column.include(blocks[i / BlockPoints].extremes);
                i += BlockPoints;
            } else {
                column.include(points[i++]);
            }
        }
        highest = std::max(highest, column.high);
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

// In ms, with as many decimals as the step needs: the top is at least 100 µs over at most five
// ticks, so a step is never under 20 µs.
QStringList TimingPlot::labelsOf(const Scale &yScale)
{
    const int decimals = yScale.step >= 1000 ? 0 : yScale.step >= 100 ? 1 : 2;
    QStringList labels;
    for (qint64 value = 0; value <= yScale.top; value += yScale.step)
        labels << QString::number(double(value) / 1000, 'f', decimals);
    return labels;
}

int TimingPlot::rowOf(qint64 y, const QRect &area, const Scale &scale)
{
    const double share = double(std::clamp<qint64>(y, 0, scale.top)) / double(scale.top);
    return area.bottom() - int(std::lround(share * double(area.height() - 1)));
}

void TimingPlot::drawSeries(QPainter &painter, const QRect &area, const Scale &scale)
{
    // The area, and under it the marks reaching a little beyond its sides.
    const QRect covered(area.left() - MarkReach, area.top(), area.width() + 2 * MarkReach,
                        area.height() + MarksDepth);
    if (series.size() != covered.size())
        series = QImage(covered.size(), QImage::Format_RGB32);
    series.fill(Background);
    QRgb *const bits = reinterpret_cast<QRgb *>(series.bits());
    const qsizetype stride = series.bytesPerLine() / qsizetype(sizeof(QRgb));
    const auto pixel = [&](int x, int y) -> QRgb & {
        return bits[(y - covered.top()) * stride + (x - covered.left())];
    };
    const auto row = [&](int y, const QColor &colour) {
        std::fill_n(&pixel(area.left(), y), area.width(), colour.rgb());
    };

    for (qint64 value = scale.step; value <= scale.top; value += scale.step)
        row(rowOf(value, area, scale), GridColour);
    if (reference >= 0)
        row(rowOf(reference, area, scale), ReferenceColour);

    const QRgb envelope = EnvelopeColour.rgb();
    const int lostTop = area.bottom() + 1 + Gap;
    const int damagedTop = lostTop + MarkHeight + 1;
    const auto mark = [&](int x, int top, const QColor &colour) {
        for (int y = 0; y < MarkHeight; ++y)
            std::fill_n(&pixel(x - y / 2, top + y), y / 2 * 2 + 1, colour.rgb());
    };
    for (size_t c = 0; c < columns.size(); ++c) {
        const Column &column = columns[c];
        const int x = area.left() + int(c);
        if (column.high >= 0) {
            const int bottom = rowOf(column.low, area, scale);
            for (int y = rowOf(column.high, area, scale); y <= bottom; ++y)
                pixel(x, y) = envelope;
        }
        if (column.lost)
            mark(x, lostTop, LostColour);
        if (column.damaged)
            mark(x, damagedTop, DamagedColour);
    }
    painter.drawImage(covered.topLeft(), series);
}

void TimingPlot::paintEvent(QPaintEvent *)
{
    const QRect area = plotArea();
    const Scale yScale = scale();
    QPainter painter(this);
    painter.fillRect(rect(), Background);
    drawSeries(painter, area, yScale);

    // Title on the left, the marks' legend on the right of the line above the area.
    const QFontMetrics metrics = fontMetrics();
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

    painter.setPen(TextColour);
    const QStringList labels = labelsOf(yScale);
    for (int i = 0; i < labels.size(); ++i) {
        const int row = rowOf(i * yScale.step, area, yScale);
        painter.drawText(QRect(0, row - metrics.height() / 2, area.left() - Gap, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, labels.at(i));
    }
    painter.setPen(FrameColour);
    painter.drawRect(area.adjusted(-1, -1, 0, 0));

    if (cursorX >= xFirst && cursorX <= xLast) {
        const int x = area.left() + int(columnOf(cursorX, area.width()));
        painter.setPen(CursorColour);
        painter.drawLine(x, area.top(), x, area.bottom() + MarksDepth);
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
