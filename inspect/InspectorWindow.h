#pragma once

#include "FrameDecoder.h"
#include "FrameMarkScan.h"
#include "FrameSource.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>
#include <optional>

class FrameMarksBar;
class QLabel;
class QSlider;
class ZoomView;

// Looks again at the frames of one source: a timeline over every frame with its damaged and
// lost frames marked, keys to step, play and jump, the frame's header in words and its picture
// zoomable to the pixel. The source is opened by whoever makes the window.
class InspectorWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit InspectorWindow(std::unique_ptr<FrameSource> source, QWidget *parent = nullptr);
    ~InspectorWindow() override;

    static constexpr int PageFrames = 10;
    static constexpr int FallbackPeriodMs = 33;
    static constexpr int LongestPauseMs = 2000;

    qint64 currentFrame() const { return current; }
    void showFrame(qint64 index);
    bool marksComplete() const { return marks.complete(); }
    bool isPlaying() const { return playTimer.isActive(); }
    ZoomView *zoomView() const { return view; }

    // The picture as the window saves it: the format follows the name's extension, PNG when it
    // names none of BMP or JPEG. An empty string, or why it could not be written.
    static QString savePicture(const QString &fileName, const QImage &picture);

private:
    void step(qint64 frames);
    void jumpToMarked(int direction);
    void togglePlay();
    void playNext();
    void scanMarks();
    void showReadout(QPoint pixel);
    void showViewMenu(const QPoint &position);
    void savePictureAs(const QImage &picture);
    QString frameText(const FrameSlot &frame, qint64 index, const QString &trouble);
    std::optional<qint64> boardTimeUs(qint64 index);

    std::unique_ptr<FrameSource> source;
    FrameDecoder decoder;
    FrameMarkScan marks;
    ZoomView *view = nullptr;
    QSlider *slider = nullptr;
    FrameMarksBar *marksBar = nullptr;
    QLabel *frameLabel = nullptr;
    QLabel *readoutLabel = nullptr;
    QTimer playTimer;
    QTimer scanTimer;
    qint64 current = -1;
    FrameSlot frame;
    bool samplesShown = false;
};
