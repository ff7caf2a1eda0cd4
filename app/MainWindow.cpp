#include "MainWindow.h"

#include "BoardProtocol.h"
#include "CameraController.h"
#include "CommandController.h"
#include "ElidedLabel.h"
#include "InspectorWindow.h"
#include "PictureFile.h"
#include "PixelReadout.h"
#include "RecentFramesSource.h"
#include "StatisticsReadout.h"
#include "StreamTimingWindow.h"
#include "TroubleCapture.h"
#include "imageStream.h"
#include "ui_MainWindow.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsPixmapItem>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QShortcut>
#include <QStatusBar>
#include <QTimer>

namespace {
constexpr int DefaultCmdPort = BoardProtocol::DefaultCommandPort;
constexpr int DefaultVideoPort = BoardProtocol::DefaultVideoPort;
constexpr int StatusMessageMs = 1000;
constexpr int CommandMessageMs = 500;
// Time the board needs to restart its stream after a configuration change.
constexpr int DelayedReconnectMs = 4000;
const char *const ReadyText = "Brevant Image Controller: Ready";
const char *const GoodStyle = "QLabel { color : green; }";
const char *const ProblemStyle = "QLabel { color : red; }";

struct ImageSize
{
    int width;
    int height;
};

ImageSize sizeForIndex(int index)
{
    switch (index) {
    case 2:
        return { BoardProtocol::QvgaSize.width, BoardProtocol::QvgaSize.height };
    case 3:
        return { BoardProtocol::EndoscopeSize.width, BoardProtocol::EndoscopeSize.height };
    default:
        return { BoardProtocol::VgaSize.width, BoardProtocol::VgaSize.height };
    }
}
} // namespace

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui_MainWindow)
    , hostname(QStringLiteral(BREVANT_DEFAULT_HOST))
    , cmd_port(DefaultCmdPort)
    , video_port(DefaultVideoPort)
{
    ui->setupUi(this);

    command_controller = new CommandController(hostname, quint16(cmd_port));
    camera_controller = new CameraController(command_controller);
    image_stream = new imageStream(hostname, quint16(video_port));

    ui->tabWidget->setCurrentIndex(0);
    // Operators point at a tab's header rather than at its page.
    for (int tab = 0; tab < ui->tabWidget->count(); ++tab)
        ui->tabWidget->setTabToolTip(tab, ui->tabWidget->widget(tab)->toolTip());

    folder_dialog = new QFileDialog(this, QString(), QString(), QString());
    folder_dialog->setFileMode(QFileDialog::Directory);

    connect(ui->buttonChooseFolder, &QPushButton::clicked, folder_dialog, &QFileDialog::exec);
    connect(folder_dialog, &QFileDialog::accepted, this, &MainWindow::choose_folder);

    // The frame-rate list drives both slots: the configuration is recorded before the rate is sent.
    connect(ui->comboFps, &QComboBox::currentIndexChanged, this, &MainWindow::change_camera_config);
    connect(ui->comboFormat, &QComboBox::currentIndexChanged, this, &MainWindow::change_camera_config);
    connect(ui->comboImgSize, &QComboBox::currentIndexChanged, this, &MainWindow::change_camera_config);
    connect(ui->comboFps, &QComboBox::currentIndexChanged, this, &MainWindow::set_fps);

    status_bar = statusBar();
    status_label = new QLabel(QString::fromLatin1(ReadyText));
    status_bar->addWidget(status_label, 0);

    connect(ui->buttonReconnect, &QPushButton::clicked, this, &MainWindow::reconnect);
    connect(ui->editHostname, &QLineEdit::textChanged, this, &MainWindow::change_host);
    connect(ui->editVideoPort, &QLineEdit::textChanged, this, &MainWindow::change_video_port);
    connect(ui->editCmdPort, &QLineEdit::textChanged, this, &MainWindow::change_cmd_port);
    connect(ui->editCmdPort, &QLineEdit::returnPressed, this, &MainWindow::reconnect);
    connect(ui->editVideoPort, &QLineEdit::returnPressed, this, &MainWindow::reconnect);
    connect(ui->editHostname, &QLineEdit::returnPressed, this, &MainWindow::reconnect);
    connect(image_stream, &imageStream::new_socket_error, this, &MainWindow::status_area_show_message);
    connect(image_stream, &imageStream::new_socket_info, this, &MainWindow::status_area_show_message);
    connect(command_controller, &CommandController::connection_state, this,
            &MainWindow::cmd_update_status);
    connect(image_stream, &imageStream::connection_state, this, &MainWindow::video_update_status);
    connect(image_stream, &imageStream::current_fps, ui->labelFps, &QLabel::setText);
    connect(image_stream, &imageStream::current_size, ui->labelSize, &QLabel::setText);
    connect(image_stream, &imageStream::current_format, ui->labelFormat, &QLabel::setText);
    connect(ui->buttonSendConfig, &QPushButton::clicked, camera_controller,
            &CameraController::send_camera_config);
    connect(ui->radioEdgeDetec, &QRadioButton::toggled, this, &MainWindow::application_filter);
    connect(ui->radioAutoContrast, &QRadioButton::toggled, this, &MainWindow::application_filter);
    connect(ui->radioNoise, &QRadioButton::toggled, this, &MainWindow::application_filter);
    connect(ui->radioNoApp, &QRadioButton::toggled, this, &MainWindow::application_filter);
    connect(ui->radioMotion, &QRadioButton::toggled, this, &MainWindow::application_filter);

    ui->radioNoise->setCheckable(true);
    ui->radioAutoContrast->setCheckable(true);

    ui->graphicsView->setScene(&scene);
    pixmap_item = scene.addPixmap(QPixmap());

    connect(image_stream, &imageStream::imageIsReady, this, &MainWindow::drawNewImage);
    connect(ui->buttonStartCapture, &QPushButton::clicked, this, &MainWindow::enable_capture);
    connect(ui->buttonStopCapture, &QPushButton::clicked, this, &MainWindow::disable_capture);
    connect(ui->editPrefix, &QLineEdit::textChanged, this, &MainWindow::filename_preview);
    connect(image_stream, &imageStream::capture_in_progress, ui->labelCaptureProgress,
            &QLabel::setText);

    // Beside the form: statistics and the pixel under the mouse on the right of the status bar,
    // where temporary messages leave them visible; the picture's own actions on the view. However
    // long their texts, they give way rather than widen the window.
    auto *pixelLabel = new ElidedLabel;
    status_bar->addPermanentWidget(pixelLabel);
    pixel_readout = new PixelReadout(ui->graphicsView, pixmap_item, pixelLabel);
    auto *statisticsLabel = new ElidedLabel;
    statisticsLabel->setContentsMargins(12, 0, 0, 0); // apart from the pixel readout
    status_bar->addPermanentWidget(statisticsLabel);
    statistics_readout = new StatisticsReadout(image_stream->statistics(), statisticsLabel);
    clips_label = new QLabel;
    clips_label->setContentsMargins(12, 0, 0, 0);
    clips_label->hide(); // while trouble clips are kept
    status_bar->addPermanentWidget(clips_label);
    ui->graphicsView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ui->graphicsView, &QWidget::customContextMenuRequested, this, &MainWindow::showViewMenu);
    // Only while the view has the focus: the line edits keep their own Ctrl+C.
    auto *saveKey = new QShortcut(QKeySequence::Save, ui->graphicsView, nullptr, nullptr,
                                  Qt::WidgetWithChildrenShortcut);
    connect(saveKey, &QShortcut::activated, this, [this] { savePictureAs(shown_picture); });
    auto *copyKey = new QShortcut(QKeySequence::Copy, ui->graphicsView, nullptr, nullptr,
                                  Qt::WidgetWithChildrenShortcut);
    connect(copyKey, &QShortcut::activated, this, [this] { copyPicture(shown_picture); });
    auto *inspectKey = new QShortcut(InspectKey, this);
    connect(inspectKey, &QShortcut::activated, this, &MainWindow::inspectLastSeconds);
    auto *timingKey = new QShortcut(TimingKey, this);
    connect(timingKey, &QShortcut::activated, this, &MainWindow::showStreamTiming);

    // The window is first shown with the command channel's state already known.
    camera_controller->try_connection();
}

// The clip being written is finished first: a clip cut off would lack its list of troubles.
MainWindow::~MainWindow()
{
    stopTroubleCapture();
    for (TroubleCapture *capture : findChildren<TroubleCapture *>()) {
        if (capture->isFinished())
            continue;
        QEventLoop wait;
        connect(capture, &TroubleCapture::finished, &wait, &QEventLoop::quit);
        QTimer::singleShot(10000, &wait, &QEventLoop::quit);
        wait.exec();
    }
    delete ui;
    delete image_stream;
    // Released with the window rather than left to the end of the process.
    delete camera_controller;
    delete command_controller;
}

void MainWindow::drawNewImage()
{
    recent_frames.add(image_stream->completedFrame(), QDateTime::currentDateTimeUtc());
    if (trouble_capture)
        trouble_capture->frameCompleted(image_stream->completedFrame(), StreamStatistics::clockUs());
    const QPixmap pixmap = image_stream->currentPixmap();
    if (trouble_capture && image_stream->lastFrameResult().damaged())
        trouble_capture->frameDamaged(trouble_capture->framesCompleted() - 1);
    shown_picture = pixmap;
    const QSize shownSize = pixmap_item->pixmap().size();
    // Fitted to the visible area: the view's frame would leave a fitted picture scroll bars.
    if (ui->check_Rescale->isChecked())
        pixmap_item->setPixmap(view_scaler.scaled(pixmap, ui->graphicsView->viewport()->size()));
    else
        pixmap_item->setPixmap(pixmap);
    // The scene's default rectangle only ever grows, leaving a smaller picture stale scroll bars
    // and out of the centre.
    if (pixmap_item->pixmap().size() != shownSize)
        scene.setSceneRect(pixmap_item->boundingRect());
    pixel_readout->setPicture(pixmap, image_stream->lastFrameResult().shown()
                                          ? &image_stream->completedFrame()
                                          : nullptr);
}

void MainWindow::showViewMenu(const QPoint &position)
{
    // The picture on screen as the menu opens is the one its actions act on.
    const QPixmap picture = shown_picture;
    QMenu menu;
    const bool havePicture = !picture.isNull();
    menu.addAction(QStringLiteral("Save Picture As..."), this,
                   [this, picture] { savePictureAs(picture); })
        ->setEnabled(havePicture);
    menu.addAction(QStringLiteral("Copy Picture"), this, [picture] { copyPicture(picture); })
        ->setEnabled(havePicture);
    menu.addAction(QStringLiteral("Copy Statistics"), this, &MainWindow::copyStatistics);
    menu.addAction(QStringLiteral("Reset Statistics"), this, &MainWindow::resetStatistics);
    menu.addAction(QStringLiteral("Inspect Last Seconds"), this, &MainWindow::inspectLastSeconds)
        ->setShortcut(InspectKey);
    menu.addAction(QStringLiteral("Stream Timing..."), this, &MainWindow::showStreamTiming)
        ->setShortcut(TimingKey);
    QAction *keepClips = menu.addAction(QStringLiteral("Keep Trouble Clips"));
    keepClips->setCheckable(true);
    keepClips->setChecked(trouble_capture != nullptr);
    connect(keepClips, &QAction::toggled, this, &MainWindow::keepTroubleClips);
    menu.exec(ui->graphicsView->viewport()->mapToGlobal(position));
}

void MainWindow::inspectLastSeconds()
{
    auto source = std::make_unique<RecentFramesSource>(
        recent_frames.frames(), QStringLiteral("last seconds from %1:%2").arg(hostname).arg(video_port),
        recent_frames.arrivals());
    if (!source->open()) {
        status_bar->showMessage(source->errorString(), 3000);
        return;
    }
    const qint64 newest = source->count() - 1;
    InspectorWindow::showFrames(std::move(source), newest, this);
}

void MainWindow::showStreamTiming()
{
    if (!timing_window)
        timing_window = new StreamTimingWindow(image_stream->statistics().timing(), this);
    timing_window->show();
    timing_window->raise();
    timing_window->activateWindow();
}

void MainWindow::keepTroubleClips(bool on)
{
    if (!on) {
        stopTroubleCapture();
        return;
    }
    if (trouble_folder.isEmpty())
        trouble_folder = QFileDialog::getExistingDirectory(this, QStringLiteral("Folder for Trouble Clips"),
                                                           ui->editFolderName->text());
    if (!trouble_folder.isEmpty())
        startTroubleCapture();
}

// From the next record on: the capture sees whole records only.
void MainWindow::startTroubleCapture()
{
    if (trouble_capture)
        return;
    TroubleCapture::Settings settings;
    settings.folder = trouble_folder;
    settings.prefix = ui->editPrefix->text();
    settings.keptUs = TroubleSecondsUs;
    settings.describeProgram(QCoreApplication::arguments().mid(1));
    trouble_capture = new TroubleCapture(settings, this);
    TroubleCapture *capture = trouble_capture;
    capture->setFrameRate(image_stream->statistics().timing().frameRate());
    image_stream->setWireSink([capture](const char *data, qint64 size) { capture->wireBytes(data, size); });
    connect(image_stream, &imageStream::recordDropped, capture,
            [capture](const FrameSlot &header) { capture->recordDropped(header, StreamStatistics::clockUs()); });
    connect(image_stream, &imageStream::connectionLost, capture,
            [capture] { capture->connectionLost(StreamStatistics::clockUs()); });
    connect(image_stream, &imageStream::connection_state, capture, [capture](int state) {
        if (state == imageStream::Connected)
            capture->connectionStarted();
    });
    connect(capture, &TroubleCapture::clipWritten, this, [this] {
        ++clips_written;
        showClipCount();
    });
    for (const auto signal : {&TroubleCapture::failed, &TroubleCapture::troublesNotClipped})
        connect(capture, signal, this, [this](const QString &text) { status_bar->showMessage(text, 5000); });
    clips_written = 0;
    showClipCount();
}

// The clip being written is finished beside the window; the capture goes once it is.
void MainWindow::stopTroubleCapture()
{
    if (!trouble_capture)
        return;
    image_stream->setWireSink(nullptr);
    disconnect(image_stream, nullptr, trouble_capture, nullptr);
    connect(trouble_capture, &TroubleCapture::finished, trouble_capture, &QObject::deleteLater);
    trouble_capture->finish();
    trouble_capture = nullptr;
    showClipCount();
}

void MainWindow::showClipCount()
{
    clips_label->setText(QStringLiteral("clips: %1").arg(clips_written));
    clips_label->setVisible(trouble_capture != nullptr);
}

void MainWindow::savePictureAs(QPixmap picture)
{
    if (picture.isNull())
        return;
    const QString fileName = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save Picture As"), QString(),
        QStringLiteral("PNG (*.png);;BMP (*.bmp);;JPEG (*.jpg *.jpeg)"));
    if (!fileName.isEmpty())
        savePictureTo(fileName, picture);
}

void MainWindow::savePictureTo(const QString &name, const QPixmap &picture)
{
    QString fileName = name;
    if (QFileInfo(fileName).suffix().isEmpty())
        fileName += QStringLiteral(".png");
    const QString reason = PictureFile::write(fileName, picture.toImage());
    if (reason.isEmpty())
        return;
    QMessageBox box;
    box.setIcon(QMessageBox::Warning);
    box.setText(QStringLiteral("Could not save the picture to %1: %2")
                    .arg(QDir::toNativeSeparators(fileName), reason));
    box.exec();
}

void MainWindow::copyPicture(const QPixmap &picture)
{
    PictureFile::copyToClipboard(picture.toImage());
}

void MainWindow::copyStatistics()
{
    QGuiApplication::clipboard()->setText(
        image_stream->statistics().detailText(StreamStatistics::clockMs()));
}

void MainWindow::resetStatistics()
{
    image_stream->resetStatistics();
    statistics_readout->restart();
}

void MainWindow::change_host(QString text)
{
    hostname = text;
    image_stream->setHost(text);
    command_controller->set_host(text);
}

void MainWindow::change_video_port(QString text)
{
    video_port = text.toInt();
    image_stream->setPort(video_port);
}

void MainWindow::change_cmd_port(QString text)
{
    cmd_port = text.toInt();
    command_controller->set_port(quint16(cmd_port));
}

static void showState(QLabel *label, int state, const QString &toolTip)
{
    const bool good = state >= 1;
    label->setText(good ? QStringLiteral("OK") : QStringLiteral("Problem"));
    label->setStyleSheet(QString::fromLatin1(good ? GoodStyle : ProblemStyle));
    label->setToolTip(toolTip);
}

void MainWindow::video_update_status(int state)
{
    showState(ui->labelVideoState, state, image_stream->socketMessage());
    if (state <= 0) {
        ui->labelFormat->setText(QString());
        ui->labelFps->setText(QString());
        ui->labelSize->setText(QString());
    }
}

void MainWindow::cmd_update_status(int state)
{
    showState(ui->labelCmdState, state, command_controller->status_text());
    const bool good = state >= 1;
    if (status_bar)
        status_bar->showMessage(good ? QStringLiteral("Message successfully transmitted")
                                     : QStringLiteral("Problem in command transmission"),
                                CommandMessageMs);
    if (status_label)
        status_label->setText(good ? QString::fromLatin1(ReadyText)
                                   : QStringLiteral("Error: try to reconnect"));
}

void MainWindow::choose_folder()
{
    const QString path = folder_dialog->selectedFiles().value(0);
    if (QDir(path).exists()) {
        ui->editFolderName->setText(path);
        ui->buttonStartCapture->setEnabled(true);
        return;
    }
    QMessageBox box;
    box.setText(QStringLiteral("Specified Directory does not exist"));
    box.exec();
    ui->buttonStartCapture->setEnabled(false);
}

// JPEG streams are always stored as received; other streams as raw data or as BMP pictures.
static QString captureExtension(const Ui_MainWindow &ui)
{
    if (ui.labelFormat->text() == QLatin1String("JPG"))
        return QStringLiteral("jpg");
    return ui.checkSaveRaw->isChecked() ? QStringLiteral("bvt") : QStringLiteral("bmp");
}

void MainWindow::filename_preview(QString text)
{
    ui->labelImageName->setText(text + QStringLiteral("0.") + captureExtension(*ui));
}

// While capturing, the settings of the capture and of the stream stay as they were at Start.
static void showCapturing(Ui_MainWindow &ui, bool capturing)
{
    ui.buttonStartCapture->setEnabled(!capturing);
    ui.buttonStopCapture->setEnabled(capturing);
    ui.boxSetSource->setEnabled(!capturing);
    ui.boxSaveImage->setEnabled(!capturing);
    ui.tabApplications->setEnabled(!capturing);
}

void MainWindow::enable_capture()
{
    showCapturing(*ui, true);
    image_stream->startCapture(ui->editFolderName->text(), ui->editPrefix->text(),
                               captureExtension(*ui), ui->checkSaveRaw->isChecked());
}

void MainWindow::disable_capture()
{
    showCapturing(*ui, false);
    image_stream->stopCapture();
    ui->labelCaptureProgress->setText(QStringLiteral("Capture Disabled"));
}

void MainWindow::change_camera_config()
{
    const ImageSize size = sizeForIndex(ui->comboImgSize->currentIndex());
    const int format = ui->comboFormat->currentIndex();
    const int fps = ui->comboFps->currentText().toInt();
    camera_controller->store_config(fps, format, size.width, size.height);
    qDebug("SEND/ %d %d \n", size.width, size.height);
    // Each change gets a timer of its own, as the board restarts once per applied change.
    // Qt makes timers of 2 s or more coarse, which may fire up to 5 % early.
    QTimer::singleShot(DelayedReconnectMs, Qt::PreciseTimer, this, &MainWindow::reconnect);
}

void MainWindow::set_fps()
{
    const int fps = ui->comboFps->currentText().toInt();
    camera_controller->send_fps(fps);
    image_stream->setFrameRate(fps);
    if (trouble_capture)
        trouble_capture->setFrameRate(fps);
}

void MainWindow::reconnect()
{
    status_bar->showMessage(QStringLiteral("Trying to reconnect to platform..."), StatusMessageMs);
    camera_controller->try_connection();
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

void MainWindow::application_filter(bool checked)
{
    if (!checked)
        return;
    if (ui->labelFormat->text() == QLatin1String("Gray")) {
        const struct
        {
            QRadioButton *button;
            int code;
        } applications[] = {
            { ui->radioAutoContrast, BoardProtocol::CommandAutoContrast },
            { ui->radioColorDetec, BoardProtocol::CommandColorDetection },
            { ui->radioEdgeDetec, BoardProtocol::CommandEdgeDetection },
            { ui->radioNoise, BoardProtocol::CommandNoiseReduction },
            { ui->radioAutoSharp, BoardProtocol::CommandAutoSharpness },
            { ui->radioMotion, BoardProtocol::CommandMotionDetection },
            // Code 0 with no application chosen: every application off.
            { ui->radioNoApp, BoardProtocol::CommandProbe },
        };
        for (const auto &application : applications)
            if (application.button->isChecked())
                camera_controller->switch_application(application.code);
        return;
    }
    if (!ui->radioNoApp->isChecked()) {
        ui->radioNoApp->setChecked(true);
        QMessageBox box;
        box.setText(QStringLiteral("Application Filters are only available on Grayscale mode"));
        box.exec();
    }
}
