#pragma once

#include "RecentFrames.h"
#include "ViewScaler.h"

#include <QGraphicsScene>
#include <QKeySequence>
#include <QMainWindow>
#include <QString>

class CameraController;
class PixelReadout;
class StatisticsReadout;
class CommandController;
class QFileDialog;
class QGraphicsPixmapItem;
class QLabel;
class QStatusBar;
class StreamTimingWindow;
class TroubleCapture;
class Ui_MainWindow;
class imageStream;

// The hub: builds the form, creates the stream client and the two control objects, wires widgets
// and clients together and shows frames and connection states. The work itself lives in the
// subsystems it connects.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void drawNewImage();
    void change_host(QString);
    void change_video_port(QString);
    void change_cmd_port(QString);
    void video_update_status(int state);
    void cmd_update_status(int state);
    void choose_folder();
    void change_camera_config();
    void reconnect();
    void status_area_show_message(QString Message);
    void enable_capture();
    void disable_capture();
    void filename_preview(QString text);
    void application_filter(bool);
    void set_fps();

private:
    // The picture is taken by value when the action is chosen: frames go on arriving while the
    // menu and the file dialog are open.
    void savePictureAs(QPixmap picture);
    // The picture at its own size, never the scaled view; a message box gives the reason when it
    // cannot be written. The format follows the name's extension, PNG when it names none of BMP
    // or JPEG; a name without extension gets ".png".
    void savePictureTo(const QString &fileName, const QPixmap &picture);
    static void copyPicture(const QPixmap &picture);
    void copyStatistics();
    void resetStatistics();
    void showViewMenu(const QPoint &position);
    // The frames kept so far go to a window of their own; the stream goes on here.
    void inspectLastSeconds();
    // One window, opened or brought to the front.
    void showStreamTiming();

    // "Keep Trouble Clips": asks for a folder the first time; clips of the seconds around each
    // trouble go there, through the recorder's own capture.
    void keepTroubleClips(bool on);
    void startTroubleCapture();
    void stopTroubleCapture();
    void showClipCount();

    static constexpr qint64 TroubleSecondsUs = 10 * 1000 * 1000;
    static constexpr QKeyCombination InspectKey{Qt::CTRL | Qt::Key_I};
    static constexpr QKeyCombination TimingKey{Qt::CTRL | Qt::Key_T};

    Ui_MainWindow *ui;
    QStatusBar *status_bar = nullptr;
    CameraController *camera_controller = nullptr;
    imageStream *image_stream = nullptr;
    CommandController *command_controller = nullptr;
    QString hostname;
    int cmd_port;
    int video_port;
    QFileDialog *folder_dialog = nullptr;
    QLabel *status_label = nullptr;
    QGraphicsScene scene;
    QGraphicsPixmapItem *pixmap_item = nullptr;
    ViewScaler view_scaler;
    QPixmap shown_picture; // at its own size
    StatisticsReadout *statistics_readout = nullptr;
    PixelReadout *pixel_readout = nullptr;
    RecentFrames recent_frames;
    StreamTimingWindow *timing_window = nullptr;
    TroubleCapture *trouble_capture = nullptr; // while clips are kept
    QString trouble_folder;
    int clips_written = 0;
    QLabel *clips_label = nullptr;
};
