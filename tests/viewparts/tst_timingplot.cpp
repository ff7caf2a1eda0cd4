#include "TimingPlot.h"

#include <QRandomGenerator>
#include <QtTest>

#include <map>
#include <set>

namespace {

constexpr qint64 UsPerColumn = 1000;

// The rows a colour takes in one pixel column of the image, top to bottom.
QList<int> rowsOf(const QImage &image, int x, const QColor &colour, int top, int bottom)
{
    QList<int> rows;
    for (int y = top; y <= bottom; ++y)
        if (image.pixelColor(x, y) == colour)
            rows << y;
    return rows;
}

int rowOf(qint64 y, const QRect &area, qint64 top)
{
    return area.bottom() - int(std::lround(double(y) / double(top) * (area.height() - 1)));
}

} // namespace

class tst_TimingPlot : public QObject
{
    Q_OBJECT

private slots:
    // Many points a column, some without a value, some columns empty: each column shows exactly
    // the extremes of its values, the marks sit under the right columns, the reference and the
    // cursor on their row and column; the scale is round and holds the largest value.
    void drawsTheEnvelope()
    {
        TimingPlot plot;
        plot.resize(420, 180);
        const QRect area = plot.plotArea();
        const int columns = area.width();
        plot.setRange(0, (columns - 1) * UsPerColumn);

        std::vector<TimingPlot::Point> points;
        struct Extremes { qint64 low = -1, high = -1; };
        std::map<int, Extremes> expected;
        std::set<int> lostColumns, damagedColumns;
        QRandomGenerator random(7);
        for (int c = 0; c < columns; ++c) {
            if (c % 37 == 5)
                continue; // no frame at all
            for (int i = 0; i < 6; ++i) {
                const qint64 x = c * UsPerColumn - 400 + i * 160;
                if (x < 0 || x > (columns - 1) * UsPerColumn)
                    continue;
                // A slow wave with noise, one burst far above it, and a column without values.
                qint64 y = 30000 + 8000 * ((c / 40) % 3) + random.bounded(4000);
                if (c == 200 && i == 3)
                    y = 71000;
                if (c == 120 || (i == 2 && c % 5 == 0))
                    y = -1;
                const bool lost = c % 50 == 10 && i == 0;
                const bool damaged = c % 70 == 33 && i == 5;
                points.push_back({x, y, lost, damaged});
                if (lost)
                    lostColumns.insert(c);
                if (damaged)
                    damagedColumns.insert(c);
                if (y < 0)
                    continue;
                Extremes &e = expected[c];
                e.low = e.low < 0 ? y : std::min(e.low, y);
                e.high = std::max(e.high, y);
            }
        }
        // Outside the range: neither drawn nor scaled to.
        points.push_back({(columns + 5) * UsPerColumn, 900000, true, true});
        plot.setPoints(points);
        const qint64 reference = 33333;
        plot.setReference(reference);
        const int cursorColumn = 250;
        plot.setCursor(cursorColumn * UsPerColumn);

        const qint64 top = plot.topValue();
        QVERIFY2(top >= 71000 && top <= 100000 && top % 10000 == 0, qPrintable(QString::number(top)));

        const QImage image = plot.grab().toImage();
        const int referenceRow = rowOf(reference, area, top);
        for (int c = 0; c < columns; ++c) {
            const int x = area.left() + c;
            const QList<int> rows = rowsOf(image, x, TimingPlot::EnvelopeColour, area.top(), area.bottom());
            const auto e = expected.find(c);
            if (c == cursorColumn)
                continue;
            if (e == expected.end()) {
                QVERIFY2(rows.isEmpty(), qPrintable(QStringLiteral("column %1").arg(c)));
                QCOMPARE(rowsOf(image, x, TimingPlot::ReferenceColour, area.top(), area.bottom()), QList<int>{referenceRow});
            } else {
                QVERIFY2(!rows.isEmpty(), qPrintable(QStringLiteral("column %1").arg(c)));
                QCOMPARE(rows.first(), rowOf(e->second.high, area, top));
                QCOMPARE(rows.last(), rowOf(e->second.low, area, top));
                QCOMPARE(rows.size(), rows.last() - rows.first() + 1);
            }
            const bool lost = !rowsOf(image, x, TimingPlot::LostColour, area.bottom() + 1, image.height() - 1).isEmpty();
            const bool damaged = !rowsOf(image, x, TimingPlot::DamagedColour, area.bottom() + 1, image.height() - 1).isEmpty();
            QCOMPARE(lost, lostColumns.count(c) > 0);
            QCOMPARE(damaged, damagedColumns.count(c) > 0);
        }
        QVERIFY(rowsOf(image, area.left() + cursorColumn, TimingPlot::CursorColour, area.top(), area.bottom()).size()
                == area.height());
    }

    // A click anywhere over a column gives that column's x; beside the area, the nearest end.
    void clickGivesX()
    {
        TimingPlot plot;
        plot.resize(300, 120);
        const QRect area = plot.plotArea();
        const qint64 first = 5000000;
        plot.setRange(first, first + (area.width() - 1) * UsPerColumn);
        QSignalSpy clicked(&plot, &TimingPlot::clicked);
        const struct { int x; qint64 expected; } clicks[] = {
            {area.left(), first},
            {area.left() + 17, first + 17 * UsPerColumn},
            {area.right(), first + (area.width() - 1) * UsPerColumn},
            {area.left() - 20, first},
            {plot.width() - 1, first + (area.width() - 1) * UsPerColumn},
        };
        for (const auto &click : clicks)
            QTest::mouseClick(&plot, Qt::LeftButton, {}, QPoint(click.x, area.center().y()));
        QTest::mouseClick(&plot, Qt::RightButton, {}, area.center());
        QCOMPARE(clicked.size(), int(std::size(clicks)));
        for (size_t i = 0; i < std::size(clicks); ++i)
            QCOMPARE(clicked[int(i)][0].toLongLong(), clicks[i].expected);
    }
};

QTEST_MAIN(tst_TimingPlot)
#include "tst_timingplot.moc"
