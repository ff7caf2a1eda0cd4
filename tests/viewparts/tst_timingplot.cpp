#include "PlotPixels.h"

#include <QRandomGenerator>
#include <QtTest>

#include <map>

constexpr qint64 UsPerColumn = 1000;

class tst_TimingPlot : public QObject
{
    Q_OBJECT

private slots:
    void drawsTheEnvelope_data()
    {
        QTest::addColumn<int>("perColumn");
        QTest::newRow("a few points a column") << 6;
        QTest::newRow("hundreds a column") << 300;
    }

    // Points in every column or many, some without a value, some columns empty: each column shows
    // exactly the extremes of its values, the marks sit under the right columns, the reference
    // and the cursor on their row and column; the scale is round and holds the largest value.
    // Points beside the range are neither drawn nor scaled to.
    void drawsTheEnvelope()
    {
        QFETCH(int, perColumn);
        TimingPlot plot;
        plot.resize(420, 180);
        const QRect area = plot.plotArea();
        const int columns = area.width();
        const qint64 lastX = (columns - 1) * UsPerColumn;
        plot.setRange(0, lastX);
        const qint64 reference = 33333;
        plot.setReference(reference);
        const int cursorColumn = 250;
        plot.setCursor(cursorColumn * UsPerColumn);

        // A slow wave with noise and one burst far above it.
        std::vector<TimingPlot::Point> points;
        std::map<int, std::pair<qint64, qint64>> extremes;
        QList<int> lostColumns, damagedColumns;
        QRandomGenerator random(7);
        for (int c = -3; c < columns + 3; ++c) {
            for (int i = 0; i < perColumn && c % 37 != 5; ++i) {
                const qint64 x = c * UsPerColumn - 400 + i * 800 / (perColumn - 1);
                qint64 y = c == 200 && i == 3 ? 71000 : 30000 + 8000 * ((c / 40) % 3) + random.bounded(4000);
                if (c == 120 || (i == 2 && c % 5 == 0))
                    y = -1;
                const bool lost = c % 50 == 10 && i == 0;
                const bool damaged = c % 70 == 33 && i == perColumn - 1;
                const bool inRange = x >= 0 && x <= lastX;
                points.push_back(inRange ? TimingPlot::Point{x, y, lost, damaged} : TimingPlot::Point{x, 900000, true, true});
                if (!inRange)
                    continue;
                if (lost)
                    lostColumns << c;
                if (damaged)
                    damagedColumns << c;
                if (y >= 0) {
                    auto [column, added] = extremes.try_emplace(c, y, y);
                    column->second = {std::min(column->second.first, y), std::max(column->second.second, y)};
                }
            }
        }
        plot.setPoints(points);

        const qint64 top = plot.topValue();
        QVERIFY2(top >= 71000 && top <= 100000 && top % 10000 == 0, qPrintable(QString::number(top)));
        const QImage image = plot.grab().toImage();
        const auto span = [](int first, int last, int count) { return QStringLiteral("%1-%2 of %3").arg(first).arg(last).arg(count); };
        // Column by column, the rows of the envelope, or where there is none, of the reference.
        QStringList drawn, expected;
        for (int c = 0; c < columns; ++c) {
            const int x = area.left() + c;
            QList<int> rows = rowsOf(image, x, TimingPlot::EnvelopeColour, area.top(), area.bottom());
            if (rows.isEmpty())
                rows = rowsOf(image, x, TimingPlot::ReferenceColour, area.top(), area.bottom());
            drawn << QString::number(c) + ": " + (rows.isEmpty() ? QString() : span(rows.first(), rows.last(), rows.size()));
            const auto e = extremes.find(c);
            const int high = e == extremes.end() ? rowOf(reference, area, top) : rowOf(e->second.second, area, top);
            const int low = e == extremes.end() ? high : rowOf(e->second.first, area, top);
            expected << QString::number(c) + ": " + (c == cursorColumn ? QString() : span(high, low, low - high + 1));
        }
        QCOMPARE(drawn, expected);
        QCOMPARE(markedColumns(image, area, TimingPlot::LostColour), lostColumns);
        QCOMPARE(markedColumns(image, area, TimingPlot::DamagedColour), damagedColumns);
        QCOMPARE(rowsOf(image, area.left() + cursorColumn, TimingPlot::CursorColour, area.top(), area.bottom()).size(), area.height());
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
        for (const int x : {area.left(), area.left() + 17, area.right(), area.left() - 20, plot.width() - 1})
            QTest::mouseClick(&plot, Qt::LeftButton, {}, QPoint(x, area.center().y()));
        QTest::mouseClick(&plot, Qt::RightButton, {}, area.center());
        QList<qint64> xs;
        for (const QList<QVariant> &signal : clicked)
            xs << (signal[0].toLongLong() - first) / UsPerColumn;
        QCOMPARE(xs, QList<qint64>({0, 17, area.width() - 1, 0, area.width() - 1}));
    }
};

QTEST_MAIN(tst_TimingPlot)
#include "tst_timingplot.moc"
