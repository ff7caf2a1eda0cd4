#pragma once

#include <QWidget>

class FrameMarkScan;

// A strip under the timeline with a tick where a frame is damaged (red) or follows lost frames
// (orange), at the place of that frame on the slider above; the stretch marked for export as a
// band beneath them.
class FrameMarksBar : public QWidget
{
public:
    explicit FrameMarksBar(QWidget *parent = nullptr);
    QSize sizeHint() const override { return QSize(200, 6); }
    // The marks of a source of this many frames, no stretch yet; kept by the caller while shown.
    void showScan(const FrameMarkScan &marks, qint64 frames);
    // -1: from the start, to the end; both -1: no stretch.
    void setStretch(qint64 first, qint64 last);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const FrameMarkScan *marks = nullptr;
    qint64 frames = 0;
    qint64 stretchFirst = -1;
    qint64 stretchLast = -1;
};
