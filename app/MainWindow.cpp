#include "MainWindow.h"

#include "imageStream.h"
#include "ui_MainWindow.h"

#include <QGraphicsPixmapItem>
#include <QLabel>
#include <QStatusBar>

namespace {
constexpr int DefaultVideoPort = 5412;
constexpr int StatusMessageMs = 1000;
const char *const ReadyText = "Brevant Image Controller: Ready";
const char *const GoodStyle = "QLabel { color : green; }";
const char *const ProblemStyle = "QLabel { color : red; }";
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindow)
    , hostname(QStringLiteral(BREVANT_DEFAULT_HOST))
    , video_port(DefaultVideoPort)
{
    ui->setupUi(this);

    image_stream = new imageStream(hostname, quint16(video_port));

    ui->tabWidget->setCurrentIndex(0);

    status_bar = statusBar();
    status_label = new QLabel(QString::fromLatin1(ReadyText));
    status_bar->addWidget(status_label, 0);

    connect(ui->buttonReconnect, &QPushButton::clicked, this, &MainWindow::reconnect);
    connect(ui->editHostname, &QLineEdit::textChanged, this, &MainWindow::change_host);
    connect(ui->editVideoPort, &QLineEdit::textChanged, this, &MainWindow::change_video_port);
    connect(ui->editVideoPort, &QLineEdit::returnPressed, this, &MainWindow::reconnect);
    connect(ui->editHostname, &QLineEdit::returnPressed, this, &MainWindow::reconnect);
    connect(image_stream, &imageStream::new_socket_error, this, &MainWindow::status_area_show_message);
    connect(image_stream, &imageStream::new_socket_info, this, &MainWindow::status_area_show_message);
    connect(image_stream, &imageStream::connection_state, this, &MainWindow::video_update_status);
    connect(image_stream, &imageStream::current_fps, ui->labelFps, &QLabel::setText);
    connect(image_stream, &imageStream::current_size, ui->labelSize, &QLabel::setText);
    connect(image_stream, &imageStream::current_format, ui->labelFormat, &QLabel::setText);

    ui->graphicsView->setScene(&scene);
    pixmap_item = scene.addPixmap(QPixmap());

    connect(image_stream, &imageStream::imageIsReady, this, &MainWindow::drawNewImage);
}

MainWindow::~MainWindow()
{
    delete ui;
    delete image_stream;
}

void MainWindow::drawNewImage()
{
    const QPixmap pixmap = image_stream->currentPixmap();
    if (ui->check_Rescale->isChecked())
        pixmap_item->setPixmap(pixmap.scaled(ui->graphicsView->width(), ui->graphicsView->height(),
                                             Qt::KeepAspectRatio, Qt::FastTransformation));
    else
        pixmap_item->setPixmap(pixmap);
}

void MainWindow::change_host(QString text)
{
    hostname = text;
    image_stream->setHost(text);
}

void MainWindow::change_video_port(QString text)
{
    video_port = text.toInt();
    image_stream->setPort(video_port);
}

void MainWindow::video_update_status(int state)
{
    if (state >= 1) {
        ui->labelVideoState->setText(QStringLiteral("OK"));
        ui->labelVideoState->setStyleSheet(QString::fromLatin1(GoodStyle));
        ui->labelVideoState->setToolTip(image_stream->socketMessage());
    } else {
        ui->labelVideoState->setText(QStringLiteral("Problem"));
        ui->labelVideoState->setStyleSheet(QString::fromLatin1(ProblemStyle));
        ui->labelVideoState->setToolTip(image_stream->socketMessage());
        ui->labelFormat->setText(QString());
        ui->labelFps->setText(QString());
        ui->labelSize->setText(QString());
    }
}

void MainWindow::reconnect()
{
    status_area_show_message(QStringLiteral("Trying to reconnect to platform..."));
    image_stream->reconnect();
    qDebug("RECONNECT");
}

void MainWindow::status_area_show_message(QString Message)
{
    if (!status_bar)
        return;
    status_bar->clearMessage();
    status_bar->showMessage(Message, StatusMessageMs);
}
