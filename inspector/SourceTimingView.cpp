#include "SourceTimingView.h"

#include "FrameMarkScan.h"
#include "FrameSource.h"
#include "SourceTiming.h"
#include "TimingPlot.h"

#include <QLabel>
#include <QPromise>
#include <QVBoxLayout>
#include <QtConcurrent>

#include <algorithm>
#include <memory>

namespace {
constexpr int PlotHeight = 100;
}

SourceTimingView::SourceTimingView(QObject *parent)
    : QObject(parent)
{
    plotsWidget = new QWidget;
    auto *plotsLayout = new QVBoxLayout(plotsWidget);
    plotsLayout->setContentsMargins(0, 0, 0, 0);
    intervalPlot = new TimingPlot;
    intervalPlot->setObjectName(QStringLiteral("boardIntervalPlot"));
    intervalPlot->setTitle(QStringLiteral("Board interval (ms)"));
    latencyPlot = new TimingPlot;
    latencyPlot->setObjectName(QStringLiteral("latencyPlot"));
    latencyPlot->setTitle(QStringLiteral("Relative latency (ms)"));
    latencyPlot->setReference(-1);
    for (TimingPlot *plot : {intervalPlot, latencyPlot}) {
        plot->setFixedHeight(PlotHeight); // the picture keeps the room
        plotsLayout->addWidget(plot);
        connect(plot, &TimingPlot::clicked, this, [this](qint64 x) {
            if (frameCount > 0)
                emit frameClicked(std::clamp<qint64>(x, 0, frameCount - 1));
        });
    }

    figuresWidget = new QWidget;
    auto *figuresLayout = new QVBoxLayout(figuresWidget);
    stretchLabel = new QLabel;
    stretchLabel->setObjectName(QStringLiteral("timingStretch"));
    figuresLabel = new QLabel;
    figuresLabel->setObjectName(QStringLiteral("timingFigures"));
    figuresLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    figuresLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    figuresLayout->addWidget(stretchLabel);
    figuresLayout->addWidget(figuresLabel, 1);

    connect(&reading, &QFutureWatcher<StreamTiming>::finished, this, [this] {
        if (!reading.isCanceled() && reading.future().resultCount() > 0)
            take(reading.future().takeResult());
    });
}

SourceTimingView::~SourceTimingView()
{
    // The pass reads a source of its own and ends soon after; nothing waits for it.
    reading.cancel();
}

void SourceTimingView::showSource(FrameSource &source, const FrameMarkScan &scan)
{
    reading.cancel();
    reading.setFuture(QFuture<StreamTiming>()); // the old pass's end no longer concerns this view
    marks = &scan;
    frameCount = source.count();
    known = false;
    damageTaken = false;
    stretchFirst = -1;
    stretchLast = -1;
    sourceTiming.clear();
    plotsWidget->hide();
    stretchLabel->clear();
    std::unique_ptr<FrameSource> own = frameCount > ReadOnWindowThreadFrames ? source.reopened() : nullptr;
    if (!own) { // small, or it cannot be opened again: read here
        take(SourceTiming::read(source));
        return;
    }
    figuresLabel->setText(QStringLiteral("Reading the times of %1 frames...").arg(frameCount));
    reading.setFuture(QtConcurrent::run(
        [](QPromise<StreamTiming> &promise, const std::shared_ptr<FrameSource> &frames) {
            promise.addResult(SourceTiming::read(*frames, [&promise] { return promise.isCanceled(); }));
        },
        std::shared_ptr<FrameSource>(std::move(own))));
}

void SourceTimingView::take(StreamTiming timing)
{
    sourceTiming = std::move(timing);
    known = true;
    takeDamage();
    showPoints();
    showFigures();
    emit timingKnown();
}

void SourceTimingView::marksComplete()
{
    if (takeDamage()) {
        showPoints();
        showFigures();
    }
}

// Once both the timing and every mark are known, whichever comes last.
bool SourceTimingView::takeDamage()
{
    if (!known || damageTaken || !marks || !marks->complete())
        return false;
    damageTaken = true;
    for (qint64 i = 0; i < sourceTiming.size(); ++i) {
        if (marks->mark(i) & FrameMarkScan::Damaged)
            sourceTiming.markDamaged(i);
    }
    return true;
}

void SourceTimingView::showPoints()
{
    if (sourceTiming.size() == 0) {
        plotsWidget->hide();
        return;
    }
    std::vector<TimingPoint> points;
    sourceTiming.points(0, sourceTiming.size(), points);
    std::vector<TimingPlot::Point> intervals;
    std::vector<TimingPlot::Point> latencies;
    intervals.reserve(points.size());
    latencies.reserve(points.size());
    bool arrivalKnown = false;
    for (size_t i = 0; i < points.size(); ++i) {
        const TimingPoint &point = points[i];
        const bool lost = point.lostBefore > 0;
        intervals.push_back({qint64(i), point.boardIntervalUs, lost, point.damaged});
        latencies.push_back({qint64(i), point.latencyUs, lost, point.damaged});
        arrivalKnown = arrivalKnown || point.latencyUs >= 0;
    }
    for (TimingPlot *plot : {intervalPlot, latencyPlot})
        plot->setRange(0, std::max<qint64>(frameCount - 1, 0));
    intervalPlot->setReference(sourceTiming.figures().nominalPeriodUs);
    intervalPlot->setPoints(std::move(intervals));
    latencyPlot->setPoints(std::move(latencies));
    latencyPlot->setVisible(arrivalKnown);
    plotsWidget->show();
}

void SourceTimingView::showFigures()
{
    if (!known)
        return;
    if (sourceTiming.size() == 0) {
        stretchLabel->clear();
        figuresLabel->setText(QStringLiteral("These frames carry no board time"));
        return;
    }
    const bool marked = stretchFirst >= 0 || stretchLast >= 0;
    const qint64 first = std::max<qint64>(stretchFirst, 0);
    const qint64 last = stretchLast >= 0 ? stretchLast : frameCount - 1;
    stretchLabel->setText(marked ? QStringLiteral("Stretch: frames %1 to %2").arg(first + 1).arg(last + 1)
                                 : QStringLiteral("All %1 frames").arg(frameCount));
    figuresLabel->setText(sourceTiming.figures(first, last + 1).text());
}

void SourceTimingView::setCursor(qint64 frame)
{
    intervalPlot->setCursor(frame);
    latencyPlot->setCursor(frame);
}

void SourceTimingView::setStretch(qint64 first, qint64 last)
{
    stretchFirst = first;
    stretchLast = last;
    showFigures();
}
