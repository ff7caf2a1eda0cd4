#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QWidget>

#include <algorithm>
#include <limits>
#include <vector>

// A strip chart of one timing series over an x range: one min/max pair per pixel column (the
// envelope), a horizontal reference line (the nominal period), tick marks under lost and damaged
// frames, a cursor line.
class TimingPlot : public QWidget
{
    Q_OBJECT

public:
    struct Point
    {
        qint64 x;
        qint64 y; // < 0: no value at this x
        bool lost;
        bool damaged;
    };

    static inline const QColor Background{32, 32, 32};
    static inline const QColor EnvelopeColour{110, 200, 255};
    static inline const QColor ReferenceColour{90, 190, 90};
    // As the inspector's timeline marks them.
    static inline const QColor LostColour{240, 150, 0};
    static inline const QColor DamagedColour{220, 30, 30};
    static inline const QColor CursorColour{255, 255, 255};

    explicit TimingPlot(QWidget *parent = nullptr);
    QSize sizeHint() const override { return QSize(640, 160); }
    QSize minimumSizeHint() const override { return QSize(240, 90); }

    void setTitle(const QString &title);              // e.g. "Board interval (ms)"
    void setRange(qint64 xFirst, qint64 xLast);       // the x span shown (both plots of a window share it)
    void setPoints(std::vector<Point> points);        // sorted by x
    void setReference(qint64 y);                      // -1: none
    void setCursor(qint64 x);                         // -1: none

    // Where the series is drawn; the value at its top row, and the x of one of its columns.
    QRect plotArea() const;
    qint64 topValue() const;
    qint64 xAtColumn(int column) const;
    // The y axis's labels, from 0 at the bottom to the top value.
    QStringList axisLabels() const { return labelsOf(scale()); }

signals:
    void clicked(qint64 x);                           // the x under a left click

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    // Extremes of the values that fall in one pixel column, and the marks under it.
    struct Column
    {
        qint64 low;
        qint64 high; // < 0: no value in this column
        bool lost;
        bool damaged;

        void include(const Point &point)
        {
            lost |= point.lost;
            damaged |= point.damaged;
            if (point.y >= 0) {
                low = std::min(low, point.y);
                high = std::max(high, point.y);
            }
        }
        void include(const Column &other)
        {
            low = std::min(low, other.low);
            high = std::max(high, other.high);
            lost |= other.lost;
            damaged |= other.damaged;
        }
    };
    static constexpr Column NoColumn{std::numeric_limits<qint64>::max(), -1, false, false};
    // The same for each run of BlockPoints points, so that a column holding many points reads a
    // summary of each whole run in it instead of its points.
    static constexpr size_t BlockPoints = 64;
    struct Block
    {
        qint64 lastX;
        Column extremes;
    };

    // The y axis: a round step between its ticks, and the value at the area's top row.
    struct Scale
    {
        qint64 step;
        qint64 top;
    };

    void updateEnvelope() const;
    Scale scale() const;
    static QStringList labelsOf(const Scale &scale);
    // The column (0 to columnCount - 1) an x in the range falls in.
    qint64 columnOf(qint64 x, int columnCount) const;
    // The area and the marks under it, written pixel by pixel: thousands of columns are too many
    // for a painter call each.
    void drawSeries(QPainter &painter, const QRect &area, const Scale &scale);
    static int rowOf(qint64 y, const QRect &area, const Scale &scale);

    QString title;
    qint64 xFirst = 0;
    qint64 xLast = 0;
    std::vector<Point> points;
    std::vector<Block> blocks;
    qint64 reference = -1;
    qint64 cursorX = -1;

    // Worked out again only when the points, the range or the width change, not per repaint.
    mutable std::vector<Column> columns;
    mutable qint64 highest = 0; // of the values in range
    mutable bool envelopeStale = true;
    QImage series;
};
