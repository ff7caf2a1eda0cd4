#include "InspectorWindow.h"

#include "BoardProtocol.h"
#include "ElidedLabel.h"
#include "FrameLevels.h"
#include "FrameMarksBar.h"
#include "FrameSourceFor.h"
#include "LevelsPanel.h"
#include "PictureFile.h"
#include "PixelReadout.h"
#include "RawConvert.h"
#include "RecordIndex.h"
#include "SourceTimingView.h"
#include "TroubleClip.h"
#include "ZoomView.h"

#include <QAction>
#include <QApplication>
#include <QDockWidget>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QProgressDialog>
#include <QSettings>
#include <QSlider>
#include <QStatusBar>
#include <QVBoxLayout>

#include <cstdio>

namespace {

constexpr int ScanBudgetMs = 15;
constexpr char PadByte = char(0x80); // mid grey in every raw layout
constexpr QRgb ClippedLow = qRgb(0, 90, 255);
constexpr QRgb ClippedHigh = qRgb(255, 0, 0);
constexpr int MessageMs = 5000;
// A short export ends before its progress would be worth showing.
constexpr int ExportProgressDelayMs = 500;
const QString MatroskaFilter = QStringLiteral("Matroska (*.mkv)");
const QString PayloadsFilter = QStringLiteral("Frames as received (*.bvt *.jpg)");
const QString PicturesFilter = QStringLiteral("BMP pictures, JPEG as received (*.bmp *.jpg)");
const QString SourcesFilter = QStringLiteral("Frames (*.mkv *.bin *.wire *index.csv *.jpg *.bmp *.bvt);;All files (*)");
const QString AppTitle = QStringLiteral("Brevant Inspector");
const QString SettingsOrganization = QStringLiteral("Brevant");
const QString SettingsApplication = QStringLiteral("brevant-inspect");
const QString RecentKey = QStringLiteral("recentSources");

// The first thing dropped, when it is a local file or folder.
QString droppedPath(const QMimeData *dropped)
{
    const QList<QUrl> urls = dropped->urls();
    return !urls.isEmpty() && urls.first().isLocalFile() ? urls.first().toLocalFile() : QString();
}

// What can still be seen of a damaged frame: a JPEG decoded as far as its data goes, a short
// raw payload with its missing part grey.
QImage salvage(FrameDecoder &decoder, const FrameSlot &frame, FrameDecoder::Outcome outcome)
{
    if (frame.format == BoardProtocol::FormatJpg)
        return QImage::fromData(frame.payload, "JPEG");
    if (outcome != FrameDecoder::Outcome::PayloadTooShort)
        return QImage();
    const long long needed = frame.format == BoardProtocol::FormatGray
        ? qint64(frame.width) * frame.height
        : rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed <= 0 || needed > BoardProtocol::MaxPayloadBytes)
        return QImage();
    FrameSlot padded = frame;
    padded.payload.append(QByteArray(int(needed - frame.payload.size()), PadByte));
    QImage picture;
    decoder.decode(padded, picture);
    return picture;
}

} // namespace

InspectorWindow::InspectorWindow(std::unique_ptr<FrameSource> frameSource, const QString &path, QWidget *parent)
    : QMainWindow(parent)
{
    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    view = new ZoomView;
    layout->addWidget(view, 1);
    slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(QStringLiteral("frameSlider"));
    slider->setAccessibleName(QStringLiteral("Frame"));
    slider->setPageStep(PageFrames);
    slider->setFocusPolicy(Qt::NoFocus); // the window's keys step, whatever has the focus
    layout->addWidget(slider);
    marksBar = new FrameMarksBar;
    marksBar->setObjectName(QStringLiteral("frameMarks"));
    layout->addWidget(marksBar);
    timing = new SourceTimingView(this);
    layout->addWidget(timing->plots());
    frameLabel = new QLabel;
    frameLabel->setObjectName(QStringLiteral("frameText"));
    frameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(frameLabel);
    setCentralWidget(central);
    readoutLabel = new ElidedLabel;
    readoutLabel->setObjectName(QStringLiteral("pixelReadout"));
    // Not stretched: the status bar draws its messages in the room the readout leaves.
    statusBar()->addPermanentWidget(readoutLabel);

    levels = new LevelsPanel;
    levelsDock = new QDockWidget(QStringLiteral("Levels"), this);
    levelsDock->setObjectName(QStringLiteral("levelsDock"));
    levelsDock->setWidget(levels);
    addDockWidget(Qt::RightDockWidgetArea, levelsDock);
    levelsDock->hide();
    timingDock = new QDockWidget(QStringLiteral("Timing"), this);
    timingDock->setObjectName(QStringLiteral("timingDock"));
    timingDock->setWidget(timing->figures());
    addDockWidget(Qt::RightDockWidgetArea, timingDock);
    splitDockWidget(levelsDock, timingDock, Qt::Vertical);
    timingDock->hide();

    connect(slider, &QSlider::valueChanged, this, [this](int value) { showFrame(value); });
    connect(timing, &SourceTimingView::frameClicked, this, &InspectorWindow::showFrame);
    connect(view, &ZoomView::regionSelected, this, &InspectorWindow::updateLevels);
    connect(view, &ZoomView::lineSelected, this, &InspectorWindow::updateProfile);
    connect(levels, &LevelsPanel::channelChosen, this, &InspectorWindow::updateClipMask);
    connect(levelsDock, &QDockWidget::visibilityChanged, this, &InspectorWindow::updateLevels);
    connect(view, &ZoomView::pixelHovered, this, &InspectorWindow::showReadout);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &InspectorWindow::showViewMenu);

    addActions();
    setAcceptDrops(true);

    playTimer.setSingleShot(true);
    connect(&playTimer, &QTimer::timeout, this, &InspectorWindow::playNext);
    // Marks are found while the window is in use: a big file shows its first frame at once.
    connect(&scanTimer, &QTimer::timeout, this, &InspectorWindow::scanMarks);

    resize(960, 720);
    showSource(std::move(frameSource), path);
}

InspectorWindow::~InspectorWindow()
{
    // The base class takes the children down after this class's members are gone, and the dock
    // says it was hidden as it goes.
    disconnect(levelsDock, nullptr, this, nullptr);
}

InspectorWindow *InspectorWindow::showFrames(std::unique_ptr<FrameSource> frames, qint64 frame, QWidget *parent)
{
    auto *window = new InspectorWindow(std::move(frames), QString(), parent);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->showFrame(frame);
    window->show();
    return window;
}

std::unique_ptr<FrameSource> InspectorWindow::openSource(const QString &path, QString &error)
{
    std::unique_ptr<FrameSource> opened = frameSourceFor(path);
    if (opened->open())
        return opened;
    error = opened->errorString();
    return nullptr;
}

bool InspectorWindow::openPath(const QString &path)
{
    QString error;
    std::unique_ptr<FrameSource> opened = openSource(path, error);
    if (!opened) {
        QMessageBox::warning(this, windowTitle(), error); // the reason names the source
        return false;
    }
    showSource(std::move(opened), path);
    return true;
}

void InspectorWindow::showSource(std::unique_ptr<FrameSource> opened, const QString &path)
{
    setPlaying(false);
    view->clearSelection();
    // The old scan reads the old source: both go, the scan first.
    auto scan = std::make_unique<FrameMarkScan>(*opened);
    marksBar->showScan(*scan, opened->count());
    timing->showSource(*opened, *scan);
    marks = std::move(scan);
    source = std::move(opened);
    markIn = -1;
    markOut = -1;
    current = -1;
    {
        const QSignalBlocker quiet(slider);
        slider->setRange(0, int(std::max<qint64>(0, source->count() - 1)));
        slider->setValue(0);
    }
    scanTimer.start(0);

    // The name without its folder, as opened when it was opened through a path.
    const QString pathName = QFileInfo(QDir::cleanPath(path)).fileName();
    const qint64 frames = source->count();
    setWindowTitle(QStringLiteral("%1 - %2, %3 %4 - %5")
                       .arg(pathName.isEmpty() ? QFileInfo(source->name()).fileName() : pathName, source->kind())
                       .arg(frames)
                       .arg(frames == 1 ? QStringLiteral("frame") : QStringLiteral("frames"), AppTitle));
    if (!path.isEmpty())
        rememberSource(path);
    view->fit();
    const std::vector<qint64> troubles = clipTroubles(path);
    marks->listTroubles(troubles);
    showFrame(troubles.empty() ? source->startFrame() : marks->listedTroubles().front());
    if (!source->notice().isEmpty())
        statusBar()->showMessage(source->notice());
}

// A trouble clip's folder, or a file in it, lists the frames of its troubles.
std::vector<qint64> InspectorWindow::clipTroubles(const QString &path)
{
    const QFileInfo info(path);
    const QString folder = info.isDir() ? info.filePath() : info.path();
    std::vector<qint64> frames;
    if (path.isEmpty() || !TroubleClip::isClip(folder))
        return frames;
    QString problem;
    for (const TroubleClip::Listed &trouble : TroubleClip::read(folder, problem))
        frames.push_back(trouble.frame);
    if (!problem.isEmpty())
        statusBar()->showMessage(QStringLiteral("Cannot read the clip's list of troubles: %1").arg(problem));
    return frames;
}

QString InspectorWindow::chooseSourceFile(QWidget *parent)
{
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Open Frames"), QString(), SourcesFilter);
}

int InspectorWindow::runOn(QString path)
{
    if (path.isEmpty()) {
        path = chooseSourceFile(nullptr);
        if (path.isEmpty())
            return 0;
    }
    QString error;
    std::unique_ptr<FrameSource> source = openSource(path, error);
    if (!source) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), qPrintable(error));
        QMessageBox::critical(nullptr, QStringLiteral("Brevant Inspector"), error);
        return 1;
    }
    InspectorWindow window(std::move(source), path);
    window.show();
    return QApplication::exec();
}

void InspectorWindow::chooseFile()
{
    const QString path = chooseSourceFile(this);
    if (!path.isEmpty())
        openPath(path);
}

void InspectorWindow::chooseFolder()
{
    const QString path = QFileDialog::getExistingDirectory(this, QStringLiteral("Open Capture Folder"));
    if (!path.isEmpty())
        openPath(path);
}

QStringList InspectorWindow::recentSources()
{
    QStringList kept;
    const QStringList remembered = QSettings(SettingsOrganization, SettingsApplication).value(RecentKey).toStringList();
    for (const QString &path : remembered) {
        if (QFileInfo::exists(path))
            kept << path;
    }
    return kept;
}

void InspectorWindow::rememberSource(const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList recent = recentSources();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    QSettings(SettingsOrganization, SettingsApplication).setValue(RecentKey, recent.mid(0, MaxRecentSources));
    fillRecentMenu();
}

void InspectorWindow::fillRecentMenu()
{
    // The item chosen may be the one asking for this: it goes once its signal is through.
    const QList<QAction *> old = recentMenu->actions();
    for (QAction *action : old) {
        recentMenu->removeAction(action);
        action->deleteLater();
    }
    const QStringList recent = recentSources();
    for (const QString &path : recent)
        recentMenu->addAction(QDir::toNativeSeparators(path), this, [this, path] { openPath(path); });
    recentMenu->addSeparator();
    recentMenu->addAction(QStringLiteral("Clear"), this, [this] {
        QSettings(SettingsOrganization, SettingsApplication).remove(RecentKey);
        fillRecentMenu();
    })->setEnabled(!recent.isEmpty());
}

void InspectorWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (!droppedPath(event->mimeData()).isEmpty())
        event->acceptProposedAction();
}

void InspectorWindow::dropEvent(QDropEvent *event)
{
    const QString path = droppedPath(event->mimeData());
    if (path.isEmpty())
        return;
    event->acceptProposedAction();
    // Opened once the drop is over: a refusal's message box would hold the drag up.
    QMetaObject::invokeMethod(this, [this, path] { openPath(path); }, Qt::QueuedConnection);
}

// One action per job, the same in the menu bar and the view's menu; each a key of the window,
// whatever has the focus.
void InspectorWindow::addActions()
{
    const auto add = [this](QMenu *menu, const QString &text, const QList<QKeySequence> &keys, auto slot) {
        QAction *action = menu->addAction(text);
        action->setShortcuts(keys);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        return action;
    };

    QMenu *file = menuBar()->addMenu(QStringLiteral("File"));
    add(file, QStringLiteral("Open..."), {QKeySequence::Open}, &InspectorWindow::chooseFile);
    add(file, QStringLiteral("Open Folder..."), {}, &InspectorWindow::chooseFolder);
    recentMenu = file->addMenu(QStringLiteral("Open Recent"));
    connect(recentMenu, &QMenu::aboutToShow, this, &InspectorWindow::fillRecentMenu);
    fillRecentMenu();
    file->addSeparator();
    QAction *exportAction = add(file, QStringLiteral("Export Frames..."), {}, &InspectorWindow::exportFrames);
    saveAction = add(file, QStringLiteral("Save Picture As..."), {QKeySequence::Save},
                     [this] { savePictureAs(view->picture()); });
    file->addSeparator();
    add(file, QStringLiteral("Quit"), {QKeySequence(Qt::CTRL | Qt::Key_Q)}, &QWidget::close);

    QMenu *edit = menuBar()->addMenu(QStringLiteral("Edit"));
    copyAction = add(edit, QStringLiteral("Copy Picture"), {QKeySequence::Copy},
                     [this] { PictureFile::copyToClipboard(view->picture()); });
    add(edit, QStringLiteral("Clear Selection"), {Qt::Key_Escape}, [this] { view->clearSelection(); });

    QMenu *viewMenu = menuBar()->addMenu(QStringLiteral("View"));
    QAction *levelsAction = levelsDock->toggleViewAction();
    levelsAction->setText(QStringLiteral("Levels"));
    levelsAction->setShortcut(Qt::Key_H);
    viewMenu->addAction(levelsAction);
    addAction(levelsAction);
    QAction *timingAction = timingDock->toggleViewAction();
    timingAction->setText(QStringLiteral("Timing"));
    timingAction->setShortcut(Qt::Key_T);
    viewMenu->addAction(timingAction);
    addAction(timingAction);
    clipsAction = add(viewMenu, QStringLiteral("Clipping"), {Qt::Key_C}, &InspectorWindow::updateClipMask);
    clipsAction->setCheckable(true);
    viewMenu->addSeparator();
    add(viewMenu, QStringLiteral("Zoom In"), {Qt::Key_Plus, Qt::Key_Equal}, [this] { view->zoomStep(1); });
    add(viewMenu, QStringLiteral("Zoom Out"), {Qt::Key_Minus}, [this] { view->zoomStep(-1); });
    add(viewMenu, QStringLiteral("Actual Pixels"), {Qt::Key_1}, [this] { view->showOneToOne(); });
    add(viewMenu, QStringLiteral("Fit"), {Qt::Key_0}, [this] { view->fit(); });

    QMenu *go = menuBar()->addMenu(QStringLiteral("Go"));
    add(go, QStringLiteral("First Frame"), {Qt::Key_Home}, [this] { showFrame(0); });
    add(go, QStringLiteral("Previous Frame"), {Qt::Key_Left}, [this] { step(-1); });
    add(go, QStringLiteral("Next Frame"), {Qt::Key_Right}, [this] { step(1); });
    add(go, QStringLiteral("Last Frame"), {Qt::Key_End}, [this] { showFrame(source->count() - 1); });
    add(go, QStringLiteral("Back 10 Frames"), {Qt::Key_PageUp}, [this] { step(-PageFrames); });
    add(go, QStringLiteral("Forward 10 Frames"), {Qt::Key_PageDown}, [this] { step(PageFrames); });
    go->addSeparator();
    add(go, QStringLiteral("Next Trouble"), {Qt::Key_N}, [this] { jumpToMarked(1); });
    add(go, QStringLiteral("Previous Trouble"), {Qt::SHIFT | Qt::Key_N}, [this] { jumpToMarked(-1); });
    go->addSeparator();
    playAction = add(go, QStringLiteral("Play"), {Qt::Key_Space}, &InspectorWindow::setPlaying);
    playAction->setCheckable(true);
    go->addSeparator();
    QAction *markInAction = add(go, QStringLiteral("Mark In"), {Qt::Key_I}, [this] { setMark(true); });
    QAction *markOutAction = add(go, QStringLiteral("Mark Out"), {Qt::Key_O}, [this] { setMark(false); });

    analysisActions = {levelsAction, clipsAction, markInAction, markOutAction, exportAction};
}

bool InspectorWindow::levelsShown() const
{
    return !levelsDock->isHidden();
}

bool InspectorWindow::timingShown() const
{
    return !timingDock->isHidden();
}

// A mark past the other one moves that one away: the stretch never runs backwards.
void InspectorWindow::setMark(bool in)
{
    if (in) {
        markIn = current;
        if (markOut >= 0 && markOut < markIn)
            markOut = -1;
    } else {
        markOut = current;
        if (markIn > markOut)
            markIn = -1;
    }
    marksBar->setStretch(markIn, markOut);
    timing->setStretch(markIn, markOut);
    statusBar()->showMessage(QStringLiteral("Stretch: frames %1 to %2").arg(stretchFirst() + 1).arg(stretchLast() + 1),
                             MessageMs);
}

bool InspectorWindow::exportStretch(const QString &path, FrameExport::Storage storage)
{
    if (exporting)
        return false;
    std::unique_ptr<FrameSource> exported = source->reopened();
    if (!exported) {
        exportFinished({QStringLiteral("this source cannot be exported while shown"), false, 0, {}, 0});
        return false;
    }
    exporting = std::make_unique<FrameExport>(std::move(exported), stretchFirst(), stretchLast(), path, storage);
    exportProgress = new QProgressDialog(QStringLiteral("Exporting frames..."), QStringLiteral("Cancel"), 0,
                                         int(exporting->total()), this);
    exportProgress->setWindowModality(Qt::NonModal);
    exportProgress->setAutoReset(false);
    exportProgress->setMinimumDuration(ExportProgressDelayMs);
    connect(exportProgress, &QProgressDialog::canceled, exporting.get(), &FrameExport::cancel);
    connect(exporting.get(), &FrameExport::progressed, exportProgress,
            [this](qint64 done) { exportProgress->setValue(int(done)); });
    connect(exporting.get(), &FrameExport::finished, this, &InspectorWindow::exportFinished);
    exporting->start();
    return true;
}

void InspectorWindow::exportFrames()
{
    if (exporting) {
        exportProgress->show();
        exportProgress->raise();
        return;
    }
    QString filter;
    const QString fileName = QFileDialog::getSaveFileName(this, QStringLiteral("Export Frames"), QString(),
                                                          QStringList{MatroskaFilter, PayloadsFilter, PicturesFilter}.join(QStringLiteral(";;")),
                                                          &filter);
    if (fileName.isEmpty())
        return;
    const FrameExport::Storage storage = filter == PayloadsFilter ? FrameExport::Storage::Payloads
        : filter == PicturesFilter                                ? FrameExport::Storage::Pictures
                                                                  : FrameExport::Storage::Matroska;
    exportStretch(fileName, storage);
}

void InspectorWindow::exportFinished(const FrameExport::Result &result)
{
    // Of the stretch as it was when the export began: the marks, or the source, may have changed.
    const qint64 first = exporting ? exporting->firstFrame() : stretchFirst();
    const qint64 last = exporting ? exporting->lastFrame() : stretchLast();
    const QString folder = exporting ? QDir::toNativeSeparators(exporting->folder()) : QString();
    if (exportProgress) {
        exportProgress->hide();
        exportProgress->deleteLater();
        exportProgress = nullptr;
    }
    // Gone once this call returns: the signal came from it.
    if (exporting)
        exporting.release()->deleteLater();
    const QString written = QStringLiteral("%1 (%2 bytes)").arg(result.files.join(QStringLiteral(", "))).arg(result.bytes);
    if (!result.error.isEmpty()) {
        auto *box = new QMessageBox(QMessageBox::Warning, windowTitle(),
                                    QStringLiteral("Could not export frames %1 to %2: %3")
                                        .arg(first + 1).arg(last + 1).arg(result.error),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    } else if (result.cancelled) {
        statusBar()->showMessage(QStringLiteral("Export cancelled after %1 of %2 frames: %3 in %4")
                                     .arg(result.frames).arg(last - first + 1).arg(written, folder));
    } else {
        statusBar()->showMessage(QStringLiteral("Exported %1 frames to %2: %3").arg(result.frames).arg(folder, written));
    }
}

// The frame's own samples where it has them, else the picture when it is the frame's (a JPEG
// decoded, a stored picture), never the grey that stands in for a damaged raw frame's lost part.
InspectorWindow::MeasuredFrom InspectorWindow::measureShown(FrameLevels &measured, const QRect &region) const
{
    if (samplesShown && measured.measure(frame, region))
        return MeasuredFrom::Samples;
    if (pictureIsSource && measured.measure(view->picture(), region))
        return MeasuredFrom::Picture;
    return MeasuredFrom::Nothing;
}

void InspectorWindow::updateLevels()
{
    if (!levelsShown())
        return;
    FrameLevels measured;
    const QRect region = view->selectedRegion();
    if (measureShown(measured, region) != MeasuredFrom::Nothing)
        levels->showLevels(measured, !region.isNull());
    else
        levels->showNothing(QStringLiteral("No samples to measure in this frame"));
    updateProfile();
}

void InspectorWindow::updateProfile()
{
    const QLine line = view->selectedLine();
    // The line's first pixel measured gives the channels, and says where the samples come from.
    FrameLevels measured;
    const MeasuredFrom from = levelsShown() && !line.isNull() ? measureShown(measured, QRect(line.p1(), QSize(1, 1)))
                                                              : MeasuredFrom::Nothing;
    if (from == MeasuredFrom::Nothing) {
        levels->showProfile({}, {});
        return;
    }
    levels->showProfile(from == MeasuredFrom::Samples ? FrameLevels::profile(frame, line.p1(), line.p2())
                                                      : FrameLevels::profile(view->picture(), line.p1(), line.p2()),
                        measured.channels());
}

void InspectorWindow::updateClipMask()
{
    QImage mask;
    if (clipsAction->isChecked()) {
        const int channel = frame.format == BoardProtocol::FormatGray ? 0 : levels->chosenChannel();
        if (samplesShown)
            mask = FrameLevels::clipMask(frame, channel, ClippedLow, ClippedHigh);
        if (mask.isNull() && pictureIsSource)
            mask = FrameLevels::clipMask(view->picture(), ClippedLow, ClippedHigh);
    }
    view->setClipMask(mask);
}

void InspectorWindow::scanMarks()
{
    QElapsedTimer spent;
    spent.start();
    bool done = false;
    while (!done && spent.elapsed() < ScanBudgetMs)
        done = marks->scan(1);
    if (done) {
        scanTimer.stop();
        timing->marksComplete();
    }
    marksBar->update();
}

void InspectorWindow::step(qint64 frames)
{
    showFrame(std::clamp<qint64>(current + frames, 0, source->count() - 1));
}

void InspectorWindow::jumpToMarked(int direction)
{
    const qint64 found = marks->nearestMarked(current, direction);
    if (found >= 0)
        showFrame(found);
    else
        statusBar()->showMessage(QStringLiteral("No damaged or lost frame %1 this one")
                                     .arg(direction > 0 ? QStringLiteral("after") : QStringLiteral("before")),
                                 3000);
}

void InspectorWindow::setPlaying(bool playing)
{
    if (playing && current + 1 < source->count())
        playTimer.start(0);
    else
        playTimer.stop();
    playAction->setChecked(playTimer.isActive());
}

// At the board's pace: each frame stays for the time to the next one on the board's clock.
void InspectorWindow::playNext()
{
    if (current + 1 < source->count())
        step(1);
    if (current + 1 < source->count()) {
        const std::optional<qint64> now = boardTimeUs(current);
        const std::optional<qint64> next = boardTimeUs(current + 1);
        qint64 waitMs = FallbackPeriodMs;
        if (now && next && *next > *now)
            waitMs = std::min<qint64>((*next - *now) / 1000, LongestPauseMs);
        playTimer.start(int(waitMs));
    }
    playAction->setChecked(playTimer.isActive());
}

std::optional<qint64> InspectorWindow::boardTimeUs(qint64 index)
{
    FrameSlot header;
    if (index < 0 || !source->hasBoardTime() || !source->header(index, header))
        return std::nullopt;
    return header.boardTimeUs();
}

void InspectorWindow::showFrame(qint64 index)
{
    if (index < 0 || index >= source->count())
        return;
    current = index;
    timing->setCursor(index);
    if (slider->value() != index) {
        const QSignalBlocker quiet(slider);
        slider->setValue(int(index));
    }

    QString trouble;
    QImage picture = source->picture(index);
    pictureIsSource = !picture.isNull();
    samplesShown = false;
    frame = FrameSlot();
    if (!source->frame(index, frame)) {
        trouble = source->errorString();
    } else if (picture.isNull()) {
        const FrameDecoder::Outcome outcome = decoder.decode(frame, picture);
        if (FrameDecoder::isDamage(outcome)) {
            trouble = FrameDecoder::reason(outcome, frame);
            picture = salvage(decoder, frame, outcome);
        } else if (outcome != FrameDecoder::Outcome::Shown) {
            statusBar()->showMessage(FrameDecoder::reason(outcome, frame), 3000);
        }
        samplesShown = outcome == FrameDecoder::Outcome::Shown;
    }
    pictureIsSource = pictureIsSource || frame.format == BoardProtocol::FormatJpg;
    const QString status = source->recordedStatus(index);
    if (trouble.isEmpty() && RecordIndex::isTroubleStatus(status))
        trouble = QStringLiteral("recorded as %1").arg(status);

    view->setFrame(picture, samplesShown ? std::optional<FrameSlot>(frame) : std::nullopt);
    saveAction->setEnabled(!picture.isNull());
    copyAction->setEnabled(!picture.isNull());
    view->setDamage(trouble);
    updateClipMask();
    updateLevels();
    frameLabel->setText(frameText(frame, index, trouble));
    frameLabel->setToolTip(QStringLiteral("CLum %1\nCPos %2")
                               .arg(QString::fromLatin1(QByteArray(frame.CLum, BoardProtocol::SensorBlockBytes).toHex(' ')),
                                    QString::fromLatin1(QByteArray(frame.CPos, BoardProtocol::SensorBlockBytes).toHex(' '))));
    showReadout(view->sourcePixelAt(view->mapFromGlobal(QCursor::pos())));
}

QString InspectorWindow::frameText(const FrameSlot &shownFrame, qint64 index, const QString &trouble)
{
    QStringList parts{QStringLiteral("Frame %1 of %2").arg(index + 1).arg(source->count())};
    if (shownFrame.format >= 0 && shownFrame.format < BoardProtocol::FormatCount)
        parts << QLatin1String(BoardProtocol::FormatNames[shownFrame.format]);
    else if (!source->picture(index).isNull())
        parts << QStringLiteral("picture file");
    else
        parts << QStringLiteral("code %1").arg(shownFrame.format);
    parts << QStringLiteral("%1x%2").arg(shownFrame.width).arg(shownFrame.height)
          << QStringLiteral("%1 bytes").arg(shownFrame.payload.size());
    const std::optional<qint64> time = boardTimeUs(index);
    if (time) {
        parts << QStringLiteral("board time %1 s").arg(RecordIndex::boardTime(*time));
        const std::optional<qint64> previous = boardTimeUs(index - 1);
        if (previous)
            parts << QStringLiteral("gap %1 ms").arg(double(*time - *previous) / 1000.0, 0, 'f', 1);
    }
    if (!trouble.isEmpty())
        parts << QStringLiteral("DAMAGED: ") + trouble;
    return parts.join(QStringLiteral(" \u00B7 "));
}

void InspectorWindow::showReadout(QPoint pixel)
{
    const QImage &picture = view->picture();
    if (pixel.x() < 0 || !picture.rect().contains(pixel)) {
        readoutLabel->clear();
        return;
    }
    readoutLabel->setText(PixelReadout::text(pixel.x(), pixel.y(), picture.pixel(pixel),
                                             samplesShown ? &frame : nullptr));
}

void InspectorWindow::showViewMenu(const QPoint &position)
{
    QMenu menu;
    menu.addAction(saveAction);
    menu.addAction(copyAction);
    menu.addSeparator();
    menu.addActions(analysisActions);
    menu.exec(view->mapToGlobal(position));
}

void InspectorWindow::savePictureAs(const QImage &picture)
{
    if (picture.isNull())
        return;
    const QString fileName = QFileDialog::getSaveFileName(
        this, QStringLiteral("Save Picture As"), QString(),
        QStringLiteral("PNG (*.png);;BMP (*.bmp);;JPEG (*.jpg *.jpeg)"));
    if (fileName.isEmpty())
        return;
    const QString reason = PictureFile::write(fileName, picture);
    if (!reason.isEmpty())
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Could not save the picture to %1: %2")
                                 .arg(QDir::toNativeSeparators(fileName), reason));
}
