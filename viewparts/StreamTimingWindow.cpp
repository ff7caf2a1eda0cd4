#include "StreamTimingWindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

StreamTimingWindow::StreamTimingWindow(const StreamTiming &streamTiming, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , timing(streamTiming)
    , intervalPlot(new TimingPlot)
    , latencyPlot(new TimingPlot)
    , figuresText(new QLabel)
{
    setWindowTitle(QStringLiteral("Stream Timing"));
    intervalPlot->setObjectName(QStringLiteral("intervalPlot"));
    intervalPlot->setTitle(QStringLiteral("Board interval (ms), last 60 s"));
    latencyPlot->setObjectName(QStringLiteral("latencyPlot"));
    latencyPlot->setTitle(QStringLiteral("Relative latency (ms)"));
    figuresText->setObjectName(QStringLiteral("figuresText"));
    figuresText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *copyButton = new QPushButton(QStringLiteral("Copy"));
    copyButton->setObjectName(QStringLiteral("copyButton"));
    copyButton->setToolTip(QStringLiteral("Copy the figures to the clipboard"));

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(copyButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(intervalPlot, 1);
    layout->addWidget(latencyPlot, 1);
    layout->addWidget(figuresText);
    layout->addLayout(buttons);
    resize(760, 560);

    connect(copyButton, &QPushButton::clicked, this, &StreamTimingWindow::copyFigures);
    connect(intervalPlot, &TimingPlot::clicked, this, &StreamTimingWindow::placeCursor);
    connect(latencyPlot, &TimingPlot::clicked, this, &StreamTimingWindow::placeCursor);
    connect(&refreshTimer, &QTimer::timeout, this, &StreamTimingWindow::refresh);
}

void StreamTimingWindow::refresh()
{
    const qint64 end = timing.size();
    qint64 newestUs = -1;
    for (qint64 i = end - 1; i >= 0 && newestUs < 0; --i)
        newestUs = timing.sample(i).arrivalUs;
    const qint64 spanStartUs = newestUs - ShownSpanUs;
    const qint64 first = newestUs < 0 ? 0 : timing.firstArrivedAtOrAfter(spanStartUs);

    const TimingFigures figures = timing.figures(first, end);
    figuresText->setText(figures.text());

    timing.points(first, end, framePoints);
    std::vector<TimingPlot::Point> intervals, latencies;
    intervals.reserve(framePoints.size());
    latencies.reserve(framePoints.size());
    for (size_t i = 0; i < framePoints.size(); ++i) {
        const qint64 arrivalUs = timing.sample(first + qint64(i)).arrivalUs;
        if (arrivalUs < 0)
            continue;
        const TimingPoint &point = framePoints[i];
        const bool lost = point.lostBefore > 0;
        intervals.push_back({arrivalUs, point.boardIntervalUs, lost, point.damaged});
        latencies.push_back({arrivalUs, point.latencyUs, lost, point.damaged});
    }
    for (TimingPlot *plot : {intervalPlot, latencyPlot})
        plot->setRange(spanStartUs, newestUs);
    intervalPlot->setPoints(std::move(intervals));
    latencyPlot->setPoints(std::move(latencies));
    intervalPlot->setReference(figures.nominalPeriodUs > 0 ? figures.nominalPeriodUs : -1);
}

void StreamTimingWindow::placeCursor(qint64 x)
{
    intervalPlot->setCursor(x);
    latencyPlot->setCursor(x);
}

void StreamTimingWindow::copyFigures()
{
    QGuiApplication::clipboard()->setText(figuresText->text());
}

void StreamTimingWindow::showEvent(QShowEvent *event)
{
    refresh();
    refreshTimer.start(RefreshMs);
    QWidget::showEvent(event);
}

void StreamTimingWindow::hideEvent(QHideEvent *event)
{
    refreshTimer.stop();
    QWidget::hideEvent(event);
}
