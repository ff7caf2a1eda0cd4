#pragma once

#include <QGraphicsScene>
#include <QMainWindow>
#include <QString>

class QGraphicsPixmapItem;
class QLabel;
class QStatusBar;
class Ui_MainWindow;
class imageStream;

// The hub: builds the form, owns the stream client, wires widgets and clients together and shows
// frames and connection states. The work itself lives in the subsystems it connects.
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
    void video_update_status(int state);
    void reconnect();
    void status_area_show_message(QString Message);

private:
    Ui_MainWindow *ui;
    QStatusBar *status_bar = nullptr;
    imageStream *image_stream = nullptr;
    QString hostname;
    int video_port;
    QLabel *status_label = nullptr;
    QGraphicsScene scene;
    QGraphicsPixmapItem *pixmap_item = nullptr;
};
