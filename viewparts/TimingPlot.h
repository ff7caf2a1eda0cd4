#pragma once

#include <QColor>
#include <QString>
#include <QWidget>

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
    static inline const QColor LostColour{240, 80, 60};
    static inline const QColor DamagedColour{235, 200, 40};
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
    };

    // The y axis: a round step between its ticks, and the value at the area's top row.
    struct Scale
    {
        qint64 step;
        qint64 top;
    };

    void updateEnvelope() const;
    Scale scale() const;
    void drawAxis(QPainter &painter, const QRect &area, const Scale &scale) const;
    static int rowOf(qint64 y, const QRect &area, const Scale &scale);

    QString title;
    qint64 xFirst = 0;
    qint64 xLast = 0;
    std::vector<Point> points;
    qint64 reference = -1;
    qint64 cursorX = -1;

    // Worked out again only when the points, the range or the width change, not per repaint.
    mutable std::vector<Column> columns;
    mutable qint64 highest = 0; // of the values in range
    mutable bool envelopeStale = true;
};
