#pragma once

#include <QWidget>

class FrameMarkScan;

// A strip under the timeline with a tick where a frame is damaged (red) or follows lost frames
// (orange), at the place of that frame on the slider above.
class FrameMarksBar : public QWidget
{
public:
    FrameMarksBar(const FrameMarkScan &marks, qint64 frames, QWidget *parent = nullptr);
    QSize sizeHint() const override { return QSize(200, 6); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    const FrameMarkScan &marks;
    qint64 frames;
};
