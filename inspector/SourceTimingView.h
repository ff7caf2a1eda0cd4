#pragma once

#include "StreamTiming.h"

#include <QFutureWatcher>
#include <QObject>

class FrameMarkScan;
class FrameSource;
class QLabel;
class QWidget;
class TimingPlot;

// The timing of the source a window shows, read once from its frames' headers (on another thread
// when the source is large): the board interval and the relative latency of every frame drawn
// against its index, with the frame shown as the cursor, and the figures of the whole source or
// of the stretch marked. Frames the window's marks scan finds damaged count as damaged once that
// scan is through.
class SourceTimingView : public QObject
{
    Q_OBJECT

public:
    // Sources of more frames are read on another thread, from a source of their own.
    static constexpr qint64 ReadOnWindowThreadFrames = 20000;

    explicit SourceTimingView(QObject *parent = nullptr);
    ~SourceTimingView() override;

    // Under the timeline, and beside the levels; owned by whoever places them.
    QWidget *plots() const { return plotsWidget; }
    QWidget *figures() const { return figuresWidget; }

    // The source and its marks stay with the caller while they are shown.
    void showSource(FrameSource &source, const FrameMarkScan &marks);
    bool isKnown() const { return known; }
    void marksComplete();
    void setCursor(qint64 frame);
    // As the marks bar takes it: -1 from the start, to the end; both -1, no stretch.
    void setStretch(qint64 first, qint64 last);
    const StreamTiming &timing() const { return sourceTiming; }

signals:
    void frameClicked(qint64 frame);
    // The timing of the source shown has been read.
    void timingKnown();

private:
    void take(StreamTiming timing);
    // Whether the frames the marks scan found damaged were taken now.
    bool takeDamage();
    void showPoints();
    void showFigures();

    QWidget *plotsWidget;
    TimingPlot *intervalPlot;
    TimingPlot *latencyPlot;
    QWidget *figuresWidget;
    QLabel *stretchLabel;
    QLabel *figuresLabel;
    QFutureWatcher<StreamTiming> reading;
    const FrameMarkScan *marks = nullptr;
    StreamTiming sourceTiming;
    qint64 frameCount = 0;
    bool known = false;
    bool damageTaken = false;
    qint64 stretchFirst = -1;
    qint64 stretchLast = -1;
};
