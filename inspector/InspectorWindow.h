#pragma once

#include "FrameDecoder.h"
#include "FrameExport.h"
#include "FrameMarkScan.h"
#include "FrameSource.h"

#include <QMainWindow>
#include <QTimer>

#include <memory>
#include <vector>
#include <optional>

class FrameLevels;
class FrameMarksBar;
class LevelsPanel;
class QAction;
class QDockWidget;
class QLabel;
class QMenu;
class QProgressDialog;
class QSlider;
class SourceTimingView;
class ZoomView;

// Looks again at the frames of one source: a timeline over every frame with its damaged and
// lost frames marked, keys to step, play and jump, the frame's header in words and its picture
// zoomable to the pixel, its levels (histogram, clipping, a region's statistics, a line's
// profile), the stream's timing (each frame's board interval and latency, and their figures for
// the source or the stretch), and a stretch marked with I and O exported as the recorder stores
// frames. Another source opened, from the menu, a recent one or dropped on the window, takes the
// place of the one shown.
class InspectorWindow : public QMainWindow
{
    Q_OBJECT

public:
    // path: where the source was opened from, remembered among the recent ones; none for frames
    // that are nowhere on disk.
    explicit InspectorWindow(std::unique_ptr<FrameSource> source, const QString &path = QString(),
                             QWidget *parent = nullptr);
    ~InspectorWindow() override;

    // A window of its own on these frames at `frame`, closed with its parent at the latest.
    static InspectorWindow *showFrames(std::unique_ptr<FrameSource> source, qint64 frame, QWidget *parent);
    // The source at `path`, opened; null with the reason in `error` when it cannot be.
    static std::unique_ptr<FrameSource> openSource(const QString &path, QString &error);
    // A file dialog for a source to open; empty when none was chosen.
    static QString chooseSourceFile(QWidget *parent);
    // The program's run: a window on the source at `path`, or on one asked for when the path is
    // empty, until it is closed. 0, at once when none is chosen; 1 for a source refused, whose
    // reason goes to standard error and into a box.
    static int runOn(QString path);
    // Shows the source at `path` instead of this one; when it cannot be opened, says why and
    // keeps the one shown.
    bool openPath(const QString &path);
    // At the first trouble a clip lists, when the path is a trouble clip or a file in one.
    void showSource(std::unique_ptr<FrameSource> source, const QString &path);

    static constexpr int MaxRecentSources = 8;
    // Paths opened before, newest first; those gone since are left out.
    static QStringList recentSources();

    static constexpr int PageFrames = 10;
    static constexpr int FallbackPeriodMs = 33;
    static constexpr int LongestPauseMs = 2000;

    qint64 currentFrame() const { return current; }
    void showFrame(qint64 index);
    bool marksComplete() const { return marks->complete(); }
    bool isPlaying() const { return playTimer.isActive(); }
    ZoomView *zoomView() const { return view; }
    bool levelsShown() const;
    bool timingShown() const;
    SourceTimingView *timingView() const { return timing; }

    // The stretch marked with I and O: from the first frame when I is unset, to the last when O is.
    qint64 stretchFirst() const { return markIn >= 0 ? markIn : 0; }
    qint64 stretchLast() const { return markOut >= 0 ? markOut : source->count() - 1; }
    // The stretch written beside the window, from a source of its own; false when the source
    // cannot be opened again for it.
    bool exportStretch(const QString &path, FrameExport::Storage storage);

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    std::vector<qint64> clipTroubles(const QString &path);
    void step(qint64 frames);
    void jumpToMarked(int direction);
    void setPlaying(bool playing);
    void playNext();
    void scanMarks();
    void showReadout(QPoint pixel);
    void showViewMenu(const QPoint &position);
    void savePictureAs(const QImage &picture);
    void addActions();
    void chooseFile();
    void chooseFolder();
    void rememberSource(const QString &path);
    void fillRecentMenu();
    void setMark(bool in);
    void exportFrames();
    void exportFinished(const FrameExport::Result &result);
    enum class MeasuredFrom { Nothing, Samples, Picture };
    MeasuredFrom measureShown(FrameLevels &measured, const QRect &region) const;
    void updateLevels();
    void updateProfile();
    void updateClipMask();
    QString frameText(const FrameSlot &frame, qint64 index, const QString &trouble);
    std::optional<qint64> boardTimeUs(qint64 index);

    std::unique_ptr<FrameSource> source;
    FrameDecoder decoder;
    std::unique_ptr<FrameMarkScan> marks;
    ZoomView *view = nullptr;
    QSlider *slider = nullptr;
    FrameMarksBar *marksBar = nullptr;
    QLabel *frameLabel = nullptr;
    QLabel *readoutLabel = nullptr;
    LevelsPanel *levels = nullptr;
    QDockWidget *levelsDock = nullptr;
    SourceTimingView *timing = nullptr;
    QDockWidget *timingDock = nullptr;
    QAction *clipsAction = nullptr;
    QAction *playAction = nullptr;
    QAction *saveAction = nullptr;
    QAction *copyAction = nullptr;
    QList<QAction *> analysisActions; // in the view's menu
    QMenu *recentMenu = nullptr;
    QTimer playTimer;
    QTimer scanTimer;
    qint64 current = -1;
    FrameSlot frame;
    bool samplesShown = false;
    bool pictureIsSource = false; // a JPEG's or a stored picture, not a damaged raw frame's guess
    qint64 markIn = -1;
    qint64 markOut = -1;
    std::unique_ptr<FrameExport> exporting;
    QProgressDialog *exportProgress = nullptr;
};
