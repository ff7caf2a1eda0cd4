#include "InspectorWindow.h"

#include "BoardProtocol.h"
#include "ElidedLabel.h"
#include "FrameLevels.h"
#include "FrameMarksBar.h"
#include "LevelsPanel.h"
#include "PixelReadout.h"
#include "RawConvert.h"
#include "RecordIndex.h"
#include "ZoomView.h"

#include <QApplication>
#include <QAction>
#include <QClipboard>
#include <QDockWidget>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QImageWriter>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressDialog>
#include <QSaveFile>
#include <QShortcut>
#include <QSlider>
#include <QStatusBar>
#include <QVBoxLayout>

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

QString outcomeReason(FrameDecoder::Outcome outcome, const FrameSlot &frame)
{
    switch (outcome) {
    case FrameDecoder::Outcome::BadSize:
        return QStringLiteral("size %1x%2 is no picture's").arg(frame.width).arg(frame.height);
    case FrameDecoder::Outcome::PayloadTooShort:
        return QStringLiteral("payload too short for %1x%2").arg(frame.width).arg(frame.height);
    case FrameDecoder::Outcome::JpegHeaderRefused:
        return QStringLiteral("no JPEG header of the announced size");
    case FrameDecoder::Outcome::JpegUndecodable:
        return QStringLiteral("JPEG data damaged or cut off");
    case FrameDecoder::Outcome::OutOfMemory:
        return QStringLiteral("no memory for the picture");
    case FrameDecoder::Outcome::HiddenCode:
        return QStringLiteral("code %1 carries no picture").arg(frame.format);
    case FrameDecoder::Outcome::Shown:
        break;
    }
    return QString();
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

InspectorWindow::InspectorWindow(std::unique_ptr<FrameSource> frameSource, QWidget *parent)
    : QMainWindow(parent), source(std::move(frameSource)), marks(*source)
{
    setWindowTitle(QStringLiteral("Brevant Inspector - ") + source->name());

    auto *central = new QWidget;
    auto *layout = new QVBoxLayout(central);
    view = new ZoomView;
    layout->addWidget(view, 1);
    slider = new QSlider(Qt::Horizontal);
    slider->setObjectName(QStringLiteral("frameSlider"));
    slider->setAccessibleName(QStringLiteral("Frame"));
    slider->setRange(0, int(std::max<qint64>(0, source->count() - 1)));
    slider->setPageStep(PageFrames);
    slider->setFocusPolicy(Qt::NoFocus); // the window's keys step, whatever has the focus
    layout->addWidget(slider);
    marksBar = new FrameMarksBar(marks, source->count());
    layout->addWidget(marksBar);
    frameLabel = new QLabel;
    frameLabel->setObjectName(QStringLiteral("frameText"));
    frameLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(frameLabel);
    setCentralWidget(central);
    readoutLabel = new ElidedLabel;
    readoutLabel->setObjectName(QStringLiteral("pixelReadout"));
    statusBar()->addPermanentWidget(readoutLabel, 1);

    levels = new LevelsPanel;
    levelsDock = new QDockWidget(QStringLiteral("Levels"), this);
    levelsDock->setObjectName(QStringLiteral("levelsDock"));
    levelsDock->setWidget(levels);
    addDockWidget(Qt::RightDockWidgetArea, levelsDock);
    levelsDock->hide();

    connect(slider, &QSlider::valueChanged, this, [this](int value) { showFrame(value); });
    connect(view, &ZoomView::regionSelected, this, &InspectorWindow::updateLevels);
    connect(view, &ZoomView::lineSelected, this, &InspectorWindow::updateProfile);
    connect(levels, &LevelsPanel::channelChosen, this, &InspectorWindow::updateClipMask);
    connect(levelsDock, &QDockWidget::visibilityChanged, this, &InspectorWindow::updateLevels);
    connect(view, &ZoomView::pixelHovered, this, &InspectorWindow::showReadout);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(view, &QWidget::customContextMenuRequested, this, &InspectorWindow::showViewMenu);

    const auto addKey = [this](const QKeySequence &key, auto action) {
        auto *shortcut = new QShortcut(key, this);
        connect(shortcut, &QShortcut::activated, this, action);
    };
    addKey(Qt::Key_Right, [this] { step(1); });
    addKey(Qt::Key_Left, [this] { step(-1); });
    addKey(Qt::Key_PageDown, [this] { step(PageFrames); });
    addKey(Qt::Key_PageUp, [this] { step(-PageFrames); });
    addKey(Qt::Key_Home, [this] { showFrame(0); });
    addKey(Qt::Key_End, [this] { showFrame(source->count() - 1); });
    addKey(Qt::Key_Space, [this] { togglePlay(); });
    addKey(Qt::Key_N, [this] { jumpToMarked(1); });
    addKey(Qt::SHIFT | Qt::Key_N, [this] { jumpToMarked(-1); });
    addKey(Qt::Key_Plus, [this] { view->zoomStep(1); });
    addKey(Qt::Key_Equal, [this] { view->zoomStep(1); });
    addKey(Qt::Key_Minus, [this] { view->zoomStep(-1); });
    addKey(Qt::Key_0, [this] { view->fit(); });
    addKey(Qt::Key_1, [this] { view->showOneToOne(); });
    addKey(Qt::Key_Escape, [this] { view->clearSelection(); });
    addKey(QKeySequence::Save, [this] { savePictureAs(view->picture()); });
    addKey(QKeySequence::Copy, [this] {
        if (!view->picture().isNull())
            QGuiApplication::clipboard()->setImage(view->picture());
    });

    addActions();

    playTimer.setSingleShot(true);
    connect(&playTimer, &QTimer::timeout, this, &InspectorWindow::playNext);
    // Marks are found while the window is in use: a big file shows its first frame at once.
    connect(&scanTimer, &QTimer::timeout, this, &InspectorWindow::scanMarks);
    scanTimer.start(0);

    resize(960, 720);
    showFrame(0);
}

InspectorWindow::~InspectorWindow()
{
    // The base class takes the children down after this class's members are gone, and the dock
    // says it was hidden as it goes.
    disconnect(levelsDock, nullptr, this, nullptr);
}

// Keys of the window, and items of the view's menu too.
void InspectorWindow::addActions()
{
    const auto add = [this](const QString &text, const QKeySequence &key, auto slot) {
        auto *action = new QAction(text, this);
        action->setShortcut(key);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
        analysisActions << action;
        return action;
    };
    QAction *histogram = levelsDock->toggleViewAction();
    histogram->setText(QStringLiteral("Histogram"));
    histogram->setShortcut(Qt::Key_H);
    addAction(histogram);
    analysisActions << histogram;
    clipsAction = add(QStringLiteral("Clipping Overlay"), Qt::Key_C, &InspectorWindow::updateClipMask);
    clipsAction->setCheckable(true);
    add(QStringLiteral("Mark In"), Qt::Key_I, [this] { setMark(true); });
    add(QStringLiteral("Mark Out"), Qt::Key_O, [this] { setMark(false); });
    add(QStringLiteral("Export Frames..."), QKeySequence(), &InspectorWindow::exportFrames);
}

bool InspectorWindow::levelsShown() const
{
    return !levelsDock->isHidden();
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
    const qint64 total = stretchLast() - stretchFirst() + 1;
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
                                        .arg(stretchFirst() + 1).arg(stretchLast() + 1).arg(result.error),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    } else if (result.cancelled) {
        statusBar()->showMessage(QStringLiteral("Export cancelled after %1 of %2 frames: %3 in %4")
                                     .arg(result.frames).arg(total).arg(written, folder));
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
        done = marks.scan(1);
    if (done)
        scanTimer.stop();
    marksBar->update();
}

void InspectorWindow::step(qint64 frames)
{
    showFrame(std::clamp<qint64>(current + frames, 0, source->count() - 1));
}

void InspectorWindow::jumpToMarked(int direction)
{
    const qint64 found = marks.nearestMarked(current, direction);
    if (found >= 0)
        showFrame(found);
    else
        statusBar()->showMessage(QStringLiteral("No damaged or lost frame %1 this one")
                                     .arg(direction > 0 ? QStringLiteral("after") : QStringLiteral("before")),
                                 3000);
}

void InspectorWindow::togglePlay()
{
    if (playTimer.isActive())
        playTimer.stop();
    else if (current + 1 < source->count())
        playTimer.start(0);
}

// At the board's pace: each frame stays for the time to the next one on the board's clock.
void InspectorWindow::playNext()
{
    if (current + 1 >= source->count())
        return;
    step(1);
    if (current + 1 >= source->count())
        return;
    const std::optional<qint64> now = boardTimeUs(current);
    const std::optional<qint64> next = boardTimeUs(current + 1);
    qint64 waitMs = FallbackPeriodMs;
    if (now && next && *next > *now)
        waitMs = std::min<qint64>((*next - *now) / 1000, LongestPauseMs);
    playTimer.start(int(waitMs));
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
            trouble = outcomeReason(outcome, frame);
            picture = salvage(decoder, frame, outcome);
        } else if (outcome != FrameDecoder::Outcome::Shown) {
            statusBar()->showMessage(outcomeReason(outcome, frame), 3000);
        }
        samplesShown = outcome == FrameDecoder::Outcome::Shown;
    }
    pictureIsSource = pictureIsSource || frame.format == BoardProtocol::FormatJpg;
    const QString status = source->recordedStatus(index);
    if (trouble.isEmpty() && RecordIndex::isTroubleStatus(status))
        trouble = QStringLiteral("recorded as %1").arg(status);

    view->setFrame(picture, samplesShown ? std::optional<FrameSlot>(frame) : std::nullopt);
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
    const QImage picture = view->picture();
    QMenu menu;
    menu.addAction(QStringLiteral("Save Picture As..."), this, [this, picture] { savePictureAs(picture); })
        ->setEnabled(!picture.isNull());
    menu.addAction(QStringLiteral("Copy Picture"), this,
                   [picture] { QGuiApplication::clipboard()->setImage(picture); })
        ->setEnabled(!picture.isNull());
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
    const QString reason = savePicture(fileName, picture);
    if (!reason.isEmpty())
        QMessageBox::warning(this, windowTitle(),
                             QStringLiteral("Could not save the picture to %1: %2")
                                 .arg(QDir::toNativeSeparators(fileName), reason));
}

QString InspectorWindow::savePicture(const QString &fileName, const QImage &picture)
{
    const QString suffix = QFileInfo(fileName).suffix().toLower();
    const QByteArray format = suffix == QLatin1String("bmp") ? "bmp"
        : (suffix == QLatin1String("jpg") || suffix == QLatin1String("jpeg")) ? "jpeg"
                                                                              : "png";
    // Written beside the name and moved there only when whole.
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    QImageWriter writer(&file, format);
    if (!writer.write(picture)) {
        file.cancelWriting();
        return writer.errorString();
    }
    return file.commit() ? QString() : file.errorString();
}
