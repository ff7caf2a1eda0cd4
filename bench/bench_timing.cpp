// The timing plots' redraw: the viewer's timing window over a minute at 30 frames/s (figures,
// points and both plots made again, and painted), and one plot over 500,000 points (a long
// recording's count), its envelope worked out again and painted, and only painted as its cursor
// moves. Offscreen, so only the drawing into the window's backing store is counted.
#include "RatioReporter.h"
#include "StreamStatistics.h"
#include "StreamTimingWindow.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QWindow>

#include <cstdio>

namespace {

constexpr qint64 PeriodUs = 33333;
constexpr double TargetMs = 2.0;

// Frames at 30 frames/s with a little jitter on both clocks, now and then a loss and a damaged one.
void fill(StreamTiming &timing, qint64 frames)
{
    QRandomGenerator random(3);
    for (qint64 i = 0; i < frames; ++i) {
        const qint64 boardUs = i * PeriodUs + random.bounded(800);
        const qint64 arrivalUs = 5000000 + i * PeriodUs + 2000 + random.bounded(3000);
        timing.add(boardUs, arrivalUs, i % 997 == 500 ? 1 : 0);
        if (i % 613 == 300)
            timing.markNewestDamaged();
    }
}

// A widget paints only once its window is exposed.
void showExposed(QWidget &widget)
{
    widget.show();
    QElapsedTimer waited;
    waited.start();
    while (!(widget.windowHandle() && widget.windowHandle()->isExposed()) && waited.elapsed() < 5000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    QApplication::processEvents();
}

void windowRedraw(benchmark::State &state)
{
    StreamTiming timing(StreamStatistics::LiveTimingSpanUs);
    fill(timing, 70 * 30);
    StreamTimingWindow window(timing);
    showExposed(window);
    for (auto _ : state) {
        window.refresh();
        window.repaint();
    }
}

std::vector<TimingPlot::Point> manyPoints(qint64 count)
{
    StreamTiming timing;
    fill(timing, count);
    std::vector<TimingPoint> framePoints;
    timing.points(0, timing.size(), framePoints);
    std::vector<TimingPlot::Point> points;
    points.reserve(framePoints.size());
    for (const TimingPoint &p : framePoints)
        points.push_back({p.boardUs, p.boardIntervalUs, p.lostBefore > 0, p.damaged});
    return points;
}

// envelope: the range changes (a scroll or a zoom), so every point is looked at again.
void plotRedraw(benchmark::State &state, bool envelope)
{
    std::vector<TimingPlot::Point> points = manyPoints(500000);
    const qint64 first = points.front().x;
    const qint64 last = points.back().x;
    TimingPlot plot;
    plot.resize(1600, 240);
    plot.setRange(first, last);
    plot.setReference(PeriodUs);
    plot.setPoints(std::move(points));
    showExposed(plot);
    qint64 step = 0;
    for (auto _ : state) {
        ++step;
        if (envelope)
            plot.setRange(first - (step & 1), last);
        else
            plot.setCursor(first + (last - first) * (step % 100) / 100);
        plot.repaint();
    }
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::RegisterBenchmark("window/60s_30fps", windowRedraw)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("plot/500000/envelope", [](benchmark::State &s) { plotRedraw(s, true); })
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("plot/500000/cursor", [](benchmark::State &s) { plotRedraw(s, false); })
        ->Unit(benchmark::kMillisecond);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::printf("\nCPU ms per redraw (target < %.0f ms):\n", TargetMs);
    for (const char *name : {"window/60s_30fps", "plot/500000/envelope", "plot/500000/cursor"}) {
        const double ms = reporter.timeOf(name);
        std::printf("%-22s %8.3f  %s\n", name, ms, ms < TargetMs ? "ok" : "OVER");
    }
    return 0;
}
