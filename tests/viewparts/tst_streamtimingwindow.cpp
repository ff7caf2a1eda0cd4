#include "StreamTimingWindow.h"

#include <QClipboard>
#include <QLabel>
#include <QPushButton>
#include <QtTest>

namespace {

constexpr qint64 PeriodUs = 40000;
constexpr qint64 BoardStartUs = 7000000;
constexpr qint64 ArrivalStartUs = 900000000;
constexpr qint64 HeldUs = 30000;

// Columns where the plot's envelope reaches above the value given.
QList<int> columnsAbove(TimingPlot *plot, qint64 value)
{
    const QImage image = plot->grab().toImage();
    const QRect area = plot->plotArea();
    const int row = area.bottom() - int(double(value) / double(plot->topValue()) * (area.height() - 1));
    QList<int> columns;
    for (int c = 0; c < area.width(); ++c)
        for (int y = area.top(); y < row; ++y)
            if (image.pixelColor(area.left() + c, y) == TimingPlot::EnvelopeColour) {
                columns << c;
                break;
            }
    return columns;
}

int columnOf(TimingPlot *plot, qint64 x, qint64 first, qint64 last)
{
    return int(std::lround(double(x - first) * (plot->plotArea().width() - 1) / double(last - first)));
}

} // namespace

class tst_StreamTimingWindow : public QObject
{
    Q_OBJECT

private slots:
    // 75 s at 25 frames a second: a loss early on, outside the minute shown; in it, a frame
    // stamped late by the board, one held on the way and one damaged. The window's figures are
    // those of the frames of the last 60 s, Copy copies them, the plots show each event over its
    // frame's arrival, and the window follows frames added later (with a loss among them).
    void showsTheLastMinute()
    {
        StreamTiming timing;
        QList<qint64> arrivals;
        const auto add = [&](int i) {
            qint64 boardUs = BoardStartUs + i * PeriodUs;
            qint64 arrivalUs = ArrivalStartUs + i * PeriodUs;
            if (i == 1000) { // late at the board
                boardUs += HeldUs;
                arrivalUs += HeldUs;
            }
            if (i == 1500) // held on the way
                arrivalUs += HeldUs;
            timing.add(boardUs, arrivalUs, i == 100 || i == 1890 ? 1 : 0);
            if (i == 1600)
                timing.markNewestDamaged();
            arrivals << arrivalUs;
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
        QVERIFY(figures->text().contains("Lost: 0, damaged: 1, clock restarts: 0"));
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(window.findChild<QPushButton *>("copyButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), figures->text());

        auto *intervals = window.findChild<TimingPlot *>("intervalPlot");
        auto *latencies = window.findChild<TimingPlot *>("latencyPlot");
        const qint64 lastUs = arrivals.last();
        const qint64 firstUs = lastUs - StreamTimingWindow::ShownSpanUs;
        QCOMPARE(columnsAbove(intervals, PeriodUs + HeldUs / 2), QList<int>{columnOf(intervals, arrivals[1000], firstUs, lastUs)});
        QCOMPARE(columnsAbove(latencies, HeldUs / 2), QList<int>{columnOf(latencies, arrivals[1500], firstUs, lastUs)});
        // The damaged frame's mark points at its column.
        const QImage image = latencies->grab().toImage();
        const QRect area = latencies->plotArea();
        const int damaged = columnOf(latencies, arrivals[1600], firstUs, lastUs);
        for (int c = 0; c < area.width(); ++c) {
            int rows = 0;
            for (int y = area.bottom() + 1; y < image.height(); ++y)
                rows += image.pixelColor(area.left() + c, y) == TimingPlot::DamagedColour ? 1 : 0;
            QVERIFY2((rows > 0) == (std::abs(c - damaged) <= 2), qPrintable(QString::number(c)));
        }

        for (; frames < 1900; ++frames)
            add(frames);
        QTRY_COMPARE(figures->text(), lastMinute());
        QVERIFY(figures->text().contains("Lost: 1, damaged: 1"));
    }
};

QTEST_MAIN(tst_StreamTimingWindow)
#include "tst_streamtimingwindow.moc"
