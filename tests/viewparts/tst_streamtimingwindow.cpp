#include "PlotPixels.h"
#include "StreamTimingWindow.h"

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

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

class tst_StreamTimingWindow : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_MAIN(tst_StreamTimingWindow)
#include "tst_streamtimingwindow.moc"
