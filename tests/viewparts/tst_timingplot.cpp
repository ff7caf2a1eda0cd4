#include "StreamTimingWindow.h"
#include "TimingPlot.h"

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

#include <cmath>
#include <map>

// What a timing plot drew, read back from its pixels: the rows a colour takes in one pixel column of the image, top to bottom.
static QList<int> rowsOf(const QImage &image, int x, const QColor &colour, int top, int bottom)
{
    QList<int> rows;
    for (int y = top; y <= bottom; ++y)
        if (image.pixelColor(x, y) == colour)
            rows << y;
    return rows;
}

// The row a value is drawn on, for a scale whose top is the value given.
static int rowOf(qint64 y, const QRect &area, qint64 top)
{
    return area.bottom() - int(std::lround(double(y) / double(top) * (area.height() - 1)));
}

// The columns of the area marks of a colour point at: where the colour first shows under the area.
static QList<int> markedColumns(const QImage &image, const QRect &area, const QColor &colour)
{
    QList<int> columns;
    for (int y = area.bottom() + 1; y < image.height() && columns.isEmpty(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == colour)
                columns << x - area.left();
    return columns;
}

constexpr qint64 UsPerColumn = 1000;
constexpr qint64 PeriodUs = 40000;
constexpr qint64 HeldUs = 30000;

// The columns where the plot's envelope reaches above a value.
static QList<int> columnsAbove(TimingPlot *plot, qint64 value)
{
    const QImage image = plot->grab().toImage();
    const QRect area = plot->plotArea();
    QList<int> columns;
    for (int c = 0; c < area.width(); ++c)
        if (!rowsOf(image, area.left() + c, TimingPlot::EnvelopeColour, area.top(), rowOf(value, area, plot->topValue()) - 1).isEmpty())
            columns << c;
    return columns;
}

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

    // 75 s at 25 frames a second: a loss early on, outside the minute shown; in it, a frame
    // stamped late by the board, one held on the way and one damaged. The window's figures are
    // those of the frames of the last 60 s, Copy copies them, the plots show each event over its
    // frame's arrival, and the window follows frames added later.
    void showsTheLastMinute()
    {
        StreamTiming timing;
        QList<qint64> arrivals;
        const auto add = [&](int i) {
            const qint64 late = i == 1000 ? HeldUs : 0; // stamped late by the board
            const qint64 held = i == 1500 ? HeldUs : 0; // held on the way
            arrivals << 900000000 + i * PeriodUs + late + held;
            timing.add(7000000 + i * PeriodUs + late, arrivals.last(), i == 100 || i == 1890 ? 1 : 0);
            if (i == 1600)
                timing.markNewestDamaged();
        };
        int frames = 1875;
        for (int i = 0; i < frames; ++i)
            add(i);
        const auto lastMinute = [&] {
            qint64 first = 0;
            while (arrivals[first] < arrivals.last() - StreamTimingWindow::ShownSpanUs)
                ++first;
            return timing.figures(first, timing.size()).text();
        };
        QVERIFY(lastMinute() != timing.figures().text()); // the early loss is left out

        StreamTimingWindow window(timing);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *figures = window.findChild<QLabel *>("figuresText");
        QCOMPARE(figures->text(), lastMinute());
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(window.findChild<QPushButton *>("copyButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), figures->text());

        // Each event over its frame's arrival, in the plot of its series.
        auto *intervals = window.findChild<TimingPlot *>("intervalPlot");
        auto *latencies = window.findChild<TimingPlot *>("latencyPlot");
        const auto columnOf = [&](int frame) {
            const double share = double(arrivals[frame] - arrivals.last() + StreamTimingWindow::ShownSpanUs)
                / double(StreamTimingWindow::ShownSpanUs);
            return int(std::lround(share * (intervals->plotArea().width() - 1)));
        };
        QCOMPARE(columnsAbove(intervals, PeriodUs + HeldUs / 2), QList<int>{columnOf(1000)});
        QCOMPARE(columnsAbove(latencies, HeldUs / 2), QList<int>{columnOf(1500)});
        QCOMPARE(markedColumns(latencies->grab().toImage(), latencies->plotArea(), TimingPlot::DamagedColour),
                 QList<int>{columnOf(1600)});

        for (; frames < 1900; ++frames)
            add(frames);
        QTRY_COMPARE(figures->text(), lastMinute()); // with the loss among them
    }
};

QTEST_MAIN(tst_TimingPlot)
#include "tst_timingplot.moc"
