#pragma once

#include "StreamTiming.h"
#include "TimingPlot.h"

#include <QTimer>
#include <QWidget>

#include <vector>

class QLabel;

// The last minute of a stream's timing: each frame's board interval and relative latency over
// its arrival (so reconnects and board clock restarts do not fold the time axis), lost and
// damaged frames marked, and the figures of the same frames beneath. Refreshed while shown.
class StreamTimingWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr qint64 ShownSpanUs = 60 * StreamTiming::MicrosPerSecond;
    // Often enough to follow a stream, seldom enough to cost nothing next to it.
    static constexpr int RefreshMs = 100;

    explicit StreamTimingWindow(const StreamTiming &timing, QWidget *parent = nullptr);

public slots:
    void refresh();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void copyFigures();
    void placeCursor(qint64 x);

    const StreamTiming &timing;
    TimingPlot *intervalPlot;
    TimingPlot *latencyPlot;
    QLabel *figuresText;
    QTimer refreshTimer;
    std::vector<TimingPoint> framePoints; // kept to spare an allocation per refresh
};
