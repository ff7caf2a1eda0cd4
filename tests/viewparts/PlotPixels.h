#pragma once

#include "TimingPlot.h"

#include <cmath>

// What a timing plot drew, read back from its pixels.

// The rows a colour takes in one pixel column of the image, top to bottom.
inline QList<int> rowsOf(const QImage &image, int x, const QColor &colour, int top, int bottom)
{
    QList<int> rows;
    for (int y = top; y <= bottom; ++y)
        if (image.pixelColor(x, y) == colour)
            rows << y;
    return rows;
}

// The row a value is drawn on, for a scale whose top is the value given.
inline int rowOf(qint64 y, const QRect &area, qint64 top)
{
    return area.bottom() - int(std::lround(double(y) / double(top) * (area.height() - 1)));
}

// The columns of the area marks of a colour point at: where the colour first shows under the area.
inline QList<int> markedColumns(const QImage &image, const QRect &area, const QColor &colour)
{
    QList<int> columns;
    for (int y = area.bottom() + 1; y < image.height() && columns.isEmpty(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == colour)
                columns << x - area.left();
    return columns;
}
