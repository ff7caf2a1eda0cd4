#include "FileBytes.h"
#include "FrameMarkScan.h"
#include "FrameSourceFor.h"
#include "Frames.h"
#include "InspectorWindow.h"
#include "JpegEncoder.h"
#include "LevelPlot.h"
#include "LevelsPanel.h"
#include "MatroskaReader.h"
#include "MatroskaWriter.h"
#include "Pictures.h"
#include "RecentFrames.h"
#include "RecordIndex.h"
#include "RecordingNames.h"
#include "RecordingSession.h"
#include "Records.h"
#include "SourceTimingView.h"
#include "StreamStatistics.h"
#include "TimingPlot.h"
#include "WindowRig.h"
#include "ZoomView.h"

#include <QtTest>

#include <functional>

namespace {

const QString Dot = QStringLiteral(" \u00B7 ");
constexpr qint64 PeriodUs = 40000; // 25 frames a second
constexpr int WaitMs = 30000;

FrameRecord record(qint32 format, int width, int height, const QByteArray &payload, qint64 timeUs)
{
    FrameRecord r = makeRecord(format, width, height, payload, qint32(timeUs / 1000000));
    r.timestamp_us = qint32(timeUs % 1000000);
    r.CLum = FrameRecord::sensorBlock(1, 2, 3, 4);
    return r;
}

// 4 x 2 frames whose samples are easy to tell apart.
const QByteArray GrayPixels("\x00\x07\x40\xff\x10\x20\x30\x80", 8);
const QByteArray UyvyPixels("\x5a\x51\xf0\x52\x10\x60\x20\x61" "\x80\x10\x80\xeb\x80\x70\x80\x71", 16);

FrameSlot slotOf(const FrameRecord &r)
{
    FrameSlot slot = frameOf(r.format, r.width, r.height, r.payload);
    slot.timestamp_s = r.timestamp_s;
    slot.timestamp_us = r.timestamp_us;
    std::memcpy(slot.CLum, r.CLum.constData(), sizeof slot.CLum);
    return slot;
}

QString frameText(InspectorWindow &window)
{
    return child<QLabel>(&window, "frameText")->text();
}

// A drag over the view from the centre of one source pixel to another's, with modifiers held.
void dragOver(ZoomView *view, QPoint from, QPoint to, Qt::KeyboardModifiers modifiers)
{
    const QPoint start = view->cellRect(from.x(), from.y()).center().toPoint();
    const QPoint end = view->cellRect(to.x(), to.y()).center().toPoint();
    QTest::mousePress(view, Qt::LeftButton, modifiers, start);
    QTest::mouseMove(view, end);
    QTest::mouseRelease(view, Qt::LeftButton, modifiers, end);
}

QByteArray jpegOf(int width, int height, quint8 level)
{
    const QByteArray grey(width * height, char(level));
    return encodeJpeg(reinterpret_cast<const uint8_t *>(grey.constData()), width, height, 1, 90);
}

// The item of the menu bar's menu, by their texts.
QAction *menuItem(QMainWindow &window, const QString &menu, const QString &item)
{
    for (QAction *top : window.menuBar()->actions()) {
        if (top->text() != menu || !top->menu())
            continue;
        for (QAction *action : top->menu()->actions()) {
            if (action->text() == item)
                return action;
        }
    }
    return nullptr;
}

// A menu's item texts, "" for each separator.
QStringList itemTexts(const QObject *menu)
{
    QStringList texts;
    for (QAction *action : qobject_cast<const QWidget *>(menu)->actions())
        texts << action->text();
    return texts;
}

// Active again after a dialog or a menu, as a window manager would have it.
bool reactivate(QWidget &window)
{
    QApplication::setActiveWindow(&window);
    return QTest::qWaitForWindowActive(&window);
}

// Names a file in the file dialog once it shows, of the type chosen when given, and accepts it.
void answerFileDialog(const QString &path, const QString &filter = {})
{
    whenShown<QFileDialog>([path, filter](QFileDialog *dialog) {
        if (!filter.isEmpty())
            dialog->selectNameFilter(filter);
        auto *nameField = qobject_cast<QLineEdit *>(dialog->focusWidget());
        QVERIFY(nameField);
        nameField->setText(path);
        QTest::keyClick(nameField, Qt::Key_Return);
    });
}

// Drags paths over the window and drops them; whether the window took them.
bool drop(QWidget &window, const QList<QUrl> &urls)
{
    QMimeData dropped;
    dropped.setUrls(urls);
    const QPoint at = window.rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    if (!enter.isAccepted())
        return false;
    QDropEvent dropping(at, Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &dropping);
    return dropping.isAccepted();
}

// Gray frames 40 ms apart from 1 s on: frame `cut` cut short, `lost` frames lost before frame `gap`.
QByteArray grayDump(int frames, int cut = -1, int gap = -1, int lost = 0)
{
    QByteArray dump;
    for (int i = 0; i < frames; ++i) {
        const qint64 timeUs = 1000000 + qint64(i + (gap >= 0 && i >= gap ? lost : 0)) * PeriodUs;
        dump += record(1, 4, 2, i == cut ? GrayPixels.left(5) : GrayPixels, timeUs).toBytes();
    }
    return dump;
}

// A board's stream at 25 frames a second as a recorder took it, 4 x 2 Gray frames: frame 10
// stamped and sent 15 ms late, frame 20 on time but held 30 ms on the way, three frames lost
// before frame 30, frame 35 cut short.
QList<FrameSlot> troubledClip(QList<QDateTime> &arrivals)
{
    QList<FrameSlot> frames;
    for (int i = 0; i < 40; ++i) {
        const qint64 boardUs = 1000000 + qint64(i + (i >= 30 ? 3 : 0)) * PeriodUs + (i == 10 ? 15000 : 0);
        frames << slotOf(record(1, 4, 2, i == 35 ? GrayPixels.left(5) : GrayPixels, boardUs));
        arrivals << QDateTime::fromMSecsSinceEpoch(1700000000000 + boardUs / 1000 + (i == 20 ? 30 : 0), Qt::UTC);
    }
    return frames;
}

// The frames recorded into a Matroska recording with its index, as the recorder leaves it.
bool recordInto(const QString &folder, const QList<FrameSlot> &frames, const QList<QDateTime> &arrivals)
{
    StreamStatistics statistics;
    const RecordingNames names = RecordingNames::recorder(folder, QStringLiteral("bvtgrab_"));
    RecordingSession session(FrameStorage::make(FrameStorage::Kind::Matroska, names), names.indexFile(), statistics);
    if (!session.open())
        return false;
    QSignalSpy finished(&session, &RecordingSession::finished);
    for (int i = 0; i < frames.size(); ++i)
        session.take(frames[i], arrivals[i]);
    session.finish();
    return !finished.isEmpty() || finished.wait(WaitMs);
}

QString figuresText(InspectorWindow &window)
{
    return labelText(&window, "timingStretch") + '\n' + labelText(&window, "timingFigures");
}

// A source the export can open again on its own thread; from frame `gatedFrom` on, each frame
// the export reads waits until the gate has a permit. The window's own reads never wait.
class ReopenedSource : public FrameSource
{
public:
    ReopenedSource(const QString &path, std::shared_ptr<QSemaphore> gate = {}, qint64 gatedFrom = -1)
        : path(path), gate(std::move(gate)), gatedFrom(gatedFrom), inner(frameSourceFor(path))
    {
    }
    bool open() override { return inner->open(); }
    qint64 count() const override { return inner->count(); }
    bool frame(qint64 index, FrameSlot &slot) override
    {
        if (exported && gate && index >= gatedFrom) {
            gate->acquire();
            gate->release();
        }
        return inner->frame(index, slot);
    }
    QString name() const override { return inner->name(); }
    QString kind() const override { return inner->kind(); }
    QString errorString() const override { return inner->errorString(); }
    QDateTime arrival(qint64 index) const override { return inner->arrival(index); }
    std::unique_ptr<FrameSource> reopened() const override
    {
        auto again = std::make_unique<ReopenedSource>(path, gate, gatedFrom);
        again->exported = true;
        return again->open() ? std::move(again) : nullptr;
    }

private:
    const QString path;
    const std::shared_ptr<QSemaphore> gate;
    const qint64 gatedFrom;
    std::unique_ptr<FrameSource> inner;
    bool exported = false;
};

// The window on a file of these bytes (none: on the source there), shown; none when it cannot be opened.
std::unique_ptr<InspectorWindow> windowOn(const QString &path, const QByteArray &bytes,
                                          std::shared_ptr<QSemaphore> gate = {}, qint64 gatedFrom = -1)
{
    if (!bytes.isNull())
        writeFile(path, bytes);
    auto source = std::make_unique<ReopenedSource>(path, std::move(gate), gatedFrom);
    if (!source->open())
        return nullptr;
    auto window = std::make_unique<InspectorWindow>(std::move(source));
    window->show();
    return window;
}

// "Export Frames..." from the view's menu, the name typed into the file dialog.
void exportThroughMenu(InspectorWindow *window, const QString &path, const QString &filter)
{
    whenShown<QMenu>([](QMenu *menu) {
        for (QAction *action : menu->actions()) {
            if (action->text() == QLatin1String("Export Frames...")) {
                menu->setActiveAction(action);
                QTest::keyClick(menu, Qt::Key_Return);
            }
        }
    });
    answerFileDialog(path, filter);
    ZoomView *view = window->zoomView();
    QContextMenuEvent menuEvent(QContextMenuEvent::Mouse, QPoint(2, 2), view->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(view, &menuEvent);
}

// The status bar's message, as far as it can be read beside the pixel readout.
QString exportMessage(InspectorWindow *window)
{
    const QStatusBar *bar = window->statusBar();
    const QString message = bar->currentMessage();
    const auto *readout = bar->findChild<QWidget *>(QStringLiteral("pixelReadout"));
    if (readout && readout->isVisible() && readout->x() < bar->fontMetrics().horizontalAdvance(message))
        return QStringLiteral("hidden by the readout: ") + message;
    return message;
}

qint64 bytesOf(const QDir &folder, const QStringList &files)
{
    qint64 bytes = 0;
    for (const QString &file : files)
        bytes += QFileInfo(folder.filePath(file)).size();
    return bytes;
}

// A run's own XDG runtime folder: without one Qt says so on standard error.
QProcessEnvironment quietEnvironment(const QTemporaryDir &runtime)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    return environment;
}
} // namespace

class TestInspector : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true); // recent sources kept apart from the user's
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
    }

    // Each item of the menu bar by its key, whatever has the focus: the item is the one that
    // fires, and its outcome shows; a step past either end stays there.
    void menuKeys()
    {
        const auto window = windowOn(dir.filePath("keys.bin"), grayDump(30, 12, 21, 3));
        QVERIFY(window && QTest::qWaitForWindowActive(window.get()));
        QTRY_VERIFY(window->marksComplete());
        ZoomView *view = window->zoomView();
        const double fitted = view->zoom();
        QLabel *label = child<QLabel>(window.get(), "frameText");
        const auto frameIs = [&](qint64 frame) { return [&, frame] { return window->currentFrame() == frame; }; };
        const auto zoomIs = [&](double zoom) { return [view, zoom] { return view->zoom() == zoom; }; };

        struct Item
        {
            QString menu, text;
            QKeyCombination key;
            std::function<bool()> done;
        };
        const QList<Item> items{
            {"Go", "Previous Frame", Qt::Key_Left, frameIs(0)}, {"Go", "Next Frame", Qt::Key_Right, frameIs(1)},
            {"Go", "Back 10 Frames", Qt::Key_PageUp, frameIs(0)}, {"Go", "Forward 10 Frames", Qt::Key_PageDown, frameIs(10)},
            {"Go", "Forward 10 Frames", Qt::Key_PageDown, frameIs(20)}, {"Go", "Last Frame", Qt::Key_End, frameIs(29)},
            {"Go", "Next Frame", Qt::Key_Right, frameIs(29)}, {"Go", "Previous Trouble", Qt::SHIFT | Qt::Key_N, frameIs(21)},
            {"Go", "Previous Trouble", Qt::SHIFT | Qt::Key_N, frameIs(12)}, {"Go", "First Frame", Qt::Key_Home, frameIs(0)},
            {"Go", "Next Trouble", Qt::Key_N, frameIs(12)}, {"Go", "Next Trouble", Qt::Key_N, frameIs(21)},
            {"Go", "Next Trouble", Qt::Key_N, frameIs(21)}, {"Go", "Previous Trouble", Qt::SHIFT | Qt::Key_N, frameIs(12)},
            {"Go", "Mark In", Qt::Key_I, [&] { return window->stretchFirst() == 12 && window->stretchLast() == 29; }},
            {"Go", "Next Frame", Qt::Key_Right, frameIs(13)},
            {"Go", "Mark Out", Qt::Key_O, [&] { return window->stretchFirst() == 12 && window->stretchLast() == 13; }},
            // Out before In: the stretch runs from the first frame instead; then In past Out: to the last.
            {"Go", "Back 10 Frames", Qt::Key_PageUp, frameIs(3)},
            {"Go", "Mark Out", Qt::Key_O, [&] { return window->stretchFirst() == 0 && window->stretchLast() == 3; }},
            {"Go", "Forward 10 Frames", Qt::Key_PageDown, frameIs(13)}, {"Go", "Mark In", Qt::Key_I, [&] { return window->stretchFirst() == 13 && window->stretchLast() == 29; }},
            {"View", "Actual Pixels", Qt::Key_1, zoomIs(1)}, {"View", "Zoom In", Qt::Key_Plus, zoomIs(2)},
            {"View", "Zoom In", Qt::Key_Equal, zoomIs(4)}, {"View", "Zoom Out", Qt::Key_Minus, zoomIs(2)},
            {"Go", "Next Frame", Qt::Key_Right, [&] { return window->currentFrame() == 14 && view->zoom() == 2; }},
            {"View", "Fit", Qt::Key_0, zoomIs(fitted)},
            {"View", "Levels", Qt::Key_H, [&] { return window->levelsShown(); }},
            {"View", "Clipping", Qt::Key_C, [&] { return !view->clipMask().isNull(); }},
            {"View", "Clipping", Qt::Key_C, [&] { return view->clipMask().isNull(); }},
            {"View", "Levels", Qt::Key_H, [&] { return !window->levelsShown(); }},
            {"Edit", "Copy Picture", Qt::CTRL | Qt::Key_C, [&] {
                 return QGuiApplication::clipboard()->image().convertToFormat(view->picture().format()) == view->picture();
             }},
            {"Go", "Play", Qt::Key_Space, [&] { return window->isPlaying(); }},
            {"Go", "Play", Qt::Key_Space, [&] { return !window->isPlaying(); }},
        };
        for (int i = 0; i < items.size(); ++i) {
            const Item &item = items[i];
            QAction *action = menuItem(*window, item.menu, item.text);
            QVERIFY2(action, qPrintable(item.text));
            QSignalSpy fired(action, &QAction::triggered);
            QWidget *focus = i % 2 ? static_cast<QWidget *>(view) : label;
            QTest::keyClick(focus, item.key.key(), item.key.keyboardModifiers());
            QVERIFY2(fired.size() == 1 && item.done(), qPrintable(item.menu + " > " + item.text));
            // The frame's line: the damaged frame marked, the gap of the lost ones.
            const qint64 at = window->currentFrame();
            const QString text = frameText(*window);
            QCOMPARE(child<QSlider>(window.get(), "frameSlider")->value(), int(at));
            QVERIFY2(text.startsWith(QStringLiteral("Frame %1 of 30").arg(at + 1)), qPrintable(text));
            QVERIFY2(text.contains("DAMAGED") == (at == 12), qPrintable(text));
            if (at == 21)
                QVERIFY2(text.endsWith("board time 1.960000 s" + Dot + "gap 160.0 ms"), qPrintable(text));
            if (at != 12)
                continue;
            QVERIFY2(text.endsWith("5 bytes" + Dot + "board time 1.480000 s" + Dot + "gap 40.0 ms" + Dot
                                   + "DAMAGED: payload too short for 4x2"), qPrintable(text));
            // What is left of it shows: its first 5 bytes, the rest grey.
            QCOMPARE(view->picture().pixel(3, 0), qRgb(0xff, 0xff, 0xff));
            QCOMPARE(view->picture().pixel(1, 1), qRgb(0x80, 0x80, 0x80));
        }
        QCOMPARE(QGuiApplication::clipboard()->image().isNull(), false);

        // Play follows the timer: it stops, unchecked, at the last frame.
        QAction *play = menuItem(*window, "Go", "Play");
        QTest::keyClick(window.get(), Qt::Key_Home);
        QTest::keyClick(window.get(), Qt::Key_PageDown);
        QTest::keyClick(window.get(), Qt::Key_PageDown);
        QTest::keyClick(window.get(), Qt::Key_Space);
        QVERIFY(play->isChecked());
        QTRY_COMPARE_WITH_TIMEOUT(window->currentFrame(), qint64(29), 10000);
        QTRY_VERIFY(!play->isChecked() && !window->isPlaying());
        // The Go menu in its groups: frames, troubles, playing, the stretch.
        QCOMPARE(itemTexts(play->parent()), (QStringList{"First Frame", "Previous Frame", "Next Frame", "Last Frame", "Back 10 Frames",
                                                         "Forward 10 Frames", "", "Next Trouble", "Previous Trouble", "", "Play", "",
                                                         "Mark In", "Mark Out"}));

        // The view's menu holds the same items: chosen there, the levels show.
        QTimer::singleShot(0, window.get(), [] {
            auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
            QVERIFY(menu);
            QCOMPARE(itemTexts(menu), (QStringList{"Save Picture As...", "Copy Picture", "", "Levels", "Clipping",
                                                  "Mark In", "Mark Out", "Export Frames..."}));
            menu->actions().at(3)->trigger();
            menu->close();
        });
        emit view->customContextMenuRequested(view->rect().center());
        QVERIFY(window->levelsShown());
        QVERIFY(reactivate(*window));

        // Ctrl+S saves the picture on screen; Ctrl+Q closes the window.
        QTemporaryDir out;
        answerFileDialog(out.filePath("shot.bmp"));
        QTest::keyClick(label, Qt::Key_S, Qt::ControlModifier);
        QImageReader saved(out.filePath("shot.bmp"));
        QCOMPARE(saved.format(), QByteArray("bmp"));
        QCOMPARE(saved.read().convertToFormat(view->picture().format()), view->picture());
        QVERIFY(reactivate(*window));
        QTest::keyClick(label, Qt::Key_Q, Qt::ControlModifier);
        QVERIFY(!window->isVisible());
    }

    // Sources opened one after another in one window: each replaces the one shown, everything
    // tied to it starting again; one that cannot be opened leaves it and says why. The recent
    // list keeps those opened, newest first.
    void opensAnotherSource()
    {
        QTemporaryDir root;
        const QString first = root.filePath("first.bin");
        writeFile(first, grayDump(25));
        MatroskaWriter writer;
        QVERIFY(writer.open(root.filePath("second.mkv"), 2, 4, 2));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(writer.writeFrame(slotOf(record(2, 4, 2, UyvyPixels, 7000000 + i * 40000))), qint64(i));
        QVERIFY(writer.close());
        QDir(root.path()).mkdir("capture");
        writeFile(root.filePath("capture/bvtgrab_0.jpg"), jpegOf(16, 8, 40));
        const QString garbage = root.filePath("garbage.bin");
        writeFile(garbage, QByteArray(5000, '\x5a'));

        QString error;
        InspectorWindow window(InspectorWindow::openSource(first, error), first);
        QVERIFY(error.isEmpty());
        QMenu *recent = menuItem(window, "File", "Open Recent")->menu();
        const auto recentTexts = [recent] {
            recent->popup(QPoint());
            QStringList texts;
            for (QAction *action : recent->actions())
                texts << action->text();
            recent->hide();
            return texts;
        };
        for (QAction *action : recent->actions())
            if (action->text() == "Clear")
                action->trigger();
        QCOMPARE(recentTexts(), (QStringList{"", "Clear"}));
        QVERIFY(window.openPath(first));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        // Under way in the first: a stretch marked (a band under the timeline, none before), levels of a region, playing.
        COMPARE_WITH_APPROVED(child(&window, "frameMarks")->grab().toImage(), "marks without a stretch");
        QTest::keyClick(&window, Qt::Key_PageDown);
        QTest::keyClick(&window, Qt::Key_I);
        QTest::keyClick(&window, Qt::Key_Right);
        QTest::keyClick(&window, Qt::Key_O);
        QCOMPARE(window.stretchLast(), qint64(11));
        COMPARE_WITH_APPROVED(child(&window, "frameMarks")->grab().toImage(), "marks with a stretch");
        QTest::keyClick(&window, Qt::Key_H);
        dragOver(window.zoomView(), QPoint(0, 0), QPoint(1, 1), Qt::ShiftModifier);
        QTest::keyClick(&window, Qt::Key_Space);
        QVERIFY(window.isPlaying());

        answerFileDialog(root.filePath("second.mkv"));
        QTest::keyClick(&window, Qt::Key_O, Qt::ControlModifier);
        QVERIFY(reactivate(window));
        QCOMPARE(window.windowTitle(), "second.mkv - Matroska recording, 3 frames - Brevant Inspector");
        QCOMPARE(window.currentFrame(), qint64(0));
        QVERIFY(frameText(window).startsWith("Frame 1 of 3" + Dot + "UYVY"));
        QCOMPARE(child<QSlider>(&window, "frameSlider")->maximum(), 2);
        QVERIFY(!window.isPlaying());
        QVERIFY(!menuItem(window, "Go", "Play")->isChecked());
        QCOMPARE(window.stretchFirst(), qint64(0));
        QCOMPARE(window.stretchLast(), qint64(2));
        QVERIFY(window.zoomView()->selectedRegion().isNull());
        QVERIFY(labelText(&window, "levelsText").startsWith("Frame 4x2\nY: "));
        QTRY_VERIFY(window.marksComplete());
        QCOMPARE(labelText(&window, "timingStretch"), "All 3 frames"); // the first source's stretch went with it
        QTest::keyClick(&window, Qt::Key_End);
        QCOMPARE(window.currentFrame(), qint64(2));

        // Refused: the reason shown, the Matroska file still there.
        BoxCloser boxes;
        QVERIFY(drop(window, {QUrl::fromLocalFile(garbage)}));
        QTRY_COMPARE(boxes.texts, QStringList{garbage + ": no whole frame record in 5000 bytes"});
        QCOMPARE(window.windowTitle(), "second.mkv - Matroska recording, 3 frames - Brevant Inspector");
        QCOMPARE(window.currentFrame(), qint64(2));

        // Dropped: only local files, the first of them.
        QVERIFY(!drop(window, {QUrl("https://example.org/capture")}));
        QVERIFY(drop(window, {QUrl::fromLocalFile(root.filePath("capture")), QUrl::fromLocalFile(first)}));
        QTRY_COMPARE(window.windowTitle(), QStringLiteral("capture - capture folder, 1 frame - Brevant Inspector"));
        QVERIFY(frameText(window).startsWith("Frame 1 of 1" + Dot + "JPG"));

        QCOMPARE(recentTexts(), (QStringList{root.filePath("capture"), root.filePath("second.mkv"), first, "", "Clear"}));
        // Chosen again, a recent source comes to the top; one gone is left out.
        QFile::remove(root.filePath("second.mkv"));
        QCOMPARE(recentTexts(), (QStringList{root.filePath("capture"), first, "", "Clear"}));
        recent->actions().at(1)->trigger();
        QCOMPARE(window.windowTitle(), "first.bin - wire dump, 25 frames - Brevant Inspector");
        QCOMPARE(recentTexts(), (QStringList{first, root.filePath("capture"), "", "Clear"}));
        QCOMPARE(InspectorWindow::recentSources(), (QStringList{first, root.filePath("capture")}));
        answerFileDialog(root.filePath("capture"));
        menuItem(window, "File", "Open Folder...")->trigger();
        QCOMPARE(window.windowTitle(), QStringLiteral("capture - capture folder, 1 frame - Brevant Inspector"));
    }
    // Each row builds its source in a folder of its own: path to open, then what the window shows.
    void sources_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<qint64>("frames");
        QTest::addColumn<QString>("firstText"); // empty: the source is refused
        QTest::addColumn<QString>("error");     // a part of the refusal's reason
        QTest::addColumn<QByteArray>("clum");   // of the first frame
        QTest::addColumn<QString>("kind");      // as the title names it
        QTest::addColumn<QString>("notice");    // in the status bar
        const QString root = dir.path();
        const QByteArray clum = FrameRecord::sensorBlock(1, 2, 3, 4);
        const auto row = [&](const char *tag, const QString &path, qint64 frames, const QStringList &firstText,
                             const QString &kind, const QString &error = {}, const QByteArray &firstClum = {},
                             const QString &notice = {}) {
            QTest::newRow(tag) << root + path << frames << firstText.join(Dot) << error
                               << (firstClum.isNull() ? clum : firstClum) << kind << notice;
        };
        const QStringList gray{"Gray", "4x2", "8 bytes", "board time 5.250000 s"};

        // Garbage between records is skipped as the stream skips it; a cut last record is left out.
        writeFile(root + "/dump.bin", record(1, 4, 2, GrayPixels, 5250000).toBytes() + QByteArray(8, '\x11')
                                          + record(2, 4, 2, UyvyPixels, 5283333).toBytes()
                                          + record(1, 4, 2, GrayPixels, 5250000).toBytes().left(40));
        row("wire dump", "/dump.bin", 2, QStringList{"Frame 1 of 2"} + gray, "wire dump");
        // A code the board keeps to itself: named, with nothing to show.
        writeFile(root + "/hidden.bin", record(7, 4, 2, GrayPixels, 5250000).toBytes());
        row("hidden code", "/hidden.bin", 1, {"Frame 1 of 1", "code 7", "4x2", "8 bytes", "board time 5.250000 s"}, "wire dump", {}, {}, "code 7 carries no picture");
        // A JPEG cut short shows as far as its data goes.
        const QByteArray cutJpeg = jpegOf(16, 8, 40).chopped(8);
        writeFile(root + "/cut.bin", record(0, 16, 8, cutJpeg, 5250000).toBytes());
        row("JPEG cut short", "/cut.bin", 1, {"Frame 1 of 1", "JPG", "16x8", QString::number(cutJpeg.size()) + " bytes",
                                              "board time 5.250000 s", "DAMAGED: no JPEG header of the announced size"}, "wire dump");
        MatroskaWriter writer;
        QVERIFY(writer.open(root + "/rec.mkv", 2, 4, 2));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(writer.writeFrame(slotOf(record(2, 4, 2, UyvyPixels, 7000000 + i * 40000))), qint64(i));
        QVERIFY(writer.close());
        row("matroska", "/rec.mkv", 3, {"Frame 1 of 3", "UYVY", "4x2", "16 bytes", "board time 7.000000 s"},
            "Matroska recording");

        // A recorder's capture: raw payloads known by the index alone.
        QDir(root).mkdir("rec");
        writeFile(root + "/rec/g_0.bvt", GrayPixels);
        writeFile(root + "/rec/g_1.bvt", UyvyPixels);
        const QByteArray header = "record,file,status,format,width,height,payload_bytes,board_time,arrival_time,clum,cpos\n";
        const QByteArray sensors = clum.toHex() + "," + QByteArray(32, '0') + "\n";
        writeFile(root + "/rec/g_index.csv", header + "0,g_0.bvt,stored,Gray,4,2,8,5.250000,2026-01-01T00:00:00.000Z," + sensors
                                                 + "1,g_1.bvt,stored,UYVY,4,2,16,5.290000,2026-01-01T00:00:00.040Z,"
                                                 + QByteArray(32, '0') + "," + QByteArray(32, '0') + "\n");
        row("capture with index", "/rec", 2, QStringList{"Frame 1 of 2"} + gray, "capture folder");
        QDir(root).mkdir("cut");
        writeFile(root + "/cut/c_0.bvt", GrayPixels);
        writeFile(root + "/cut/c_index.csv", header + "0,c_0.bvt,stored,Gray,4,2,8,5.250000,x," + sensors
                                                 + "1,c_1.bvt,stored,Gray,4,2,8,5.29");
        row("index cut by a crash", "/cut/c_index.csv", 1, QStringList{"Frame 1 of 1"} + gray, "capture folder");
        QDir(root).mkdir("lens");
        writeFile(root + "/lens/l_0.bvt", GrayPixels);
        writeFile(root + "/lens/l_index.csv", header.trimmed() + ",lens\n0,l_0.bvt,stored,Gray,4,2,8,5.250000,x," + sensors.trimmed() + ",wide\n");
        row("index of a newer shape", "/lens", 1, QStringList{"Frame 1 of 1"} + gray, "capture folder", {}, {},
            "l_index.csv: column lens is not known and left aside");

        // The viewer's capture: JPEG files stand alone; raw ones cannot without an index.
        QDir(root).mkdir("jpg");
        writeFile(root + "/jpg/grab_0.jpg", jpegOf(16, 8, 40));
        writeFile(root + "/jpg/grab_1.jpg", jpegOf(16, 8, 200));
        writeFile(root + "/jpg/other_0.jpg", jpegOf(16, 8, 200));
        row("capture of JPEG files", "/jpg", 2, {"Frame 1 of 2", "JPG", "16x8", QString::number(jpegOf(16, 8, 40).size()) + " bytes"},
            "capture folder", {}, QByteArray(16, 0));
        QDir(root).mkdir("raw");
        writeFile(root + "/raw/r_0.bvt", GrayPixels);
        row("raw capture without index", "/raw", 0, {}, "capture folder",
            "they can be shown only with the recorder's index r_index.csv");
        QDir(root).mkdir("unrelated");
        writeFile(root + "/unrelated/notes.txt", "hello");
        writeFile(root + "/unrelated/photo.png", "png");
        row("folder of unrelated files", "/unrelated", 0, {}, "capture folder", "no captured frames");
    }

    void sources()
    {
        QFETCH(QString, path);
        QFETCH(qint64, frames);
        QFETCH(QString, firstText);
        QFETCH(QString, error);
        QFETCH(QByteArray, clum);
        QFETCH(QString, kind);
        QFETCH(QString, notice);
        std::unique_ptr<FrameSource> source = frameSourceFor(path);
        const bool opened = source->open();
        QCOMPARE(opened, !firstText.isEmpty());
        if (!opened) {
            QVERIFY2(source->errorString().contains(error), qPrintable(source->errorString()));
            return;
        }
        QCOMPARE(source->count(), frames);
        // A capture known by its folder and prefix, a file by its name; the title names what was opened.
        const bool capture = QFileInfo(path).isDir() || path.endsWith(".csv");
        QCOMPARE(capture ? source->name().right(2) : source->name(), capture ? QStringLiteral("_*") : QFileInfo(path).fileName());
        InspectorWindow window(std::move(source), path);
        QCOMPARE(window.windowTitle(), QStringLiteral("%1 - %2, %3 %4 - Brevant Inspector")
                                           .arg(QFileInfo(path).fileName(), kind).arg(frames)
                                           .arg(frames == 1 ? "frame" : "frames"));
        QCOMPARE(child<QSlider>(&window, "frameSlider")->maximum(), int(frames - 1));
        QCOMPARE(window.statusBar()->currentMessage(), notice);
        QCOMPARE(child<QSlider>(&window, "frameSlider")->accessibleName(), QStringLiteral("Frame"));
        QCOMPARE(frameText(window), firstText);
        QCOMPARE(child<QLabel>(&window, "frameText")->toolTip(),
                 "CLum " + clum.toHex(' ') + "\nCPos " + QByteArray(16, 0).toHex(' '));
        QCOMPARE(window.zoomView()->picture().isNull(), notice.endsWith("no picture"));
        // Every frame reads and shows; none but the first is marked damaged.
        QTRY_VERIFY(window.marksComplete());
        QTest::keyClick(&window, Qt::Key_N);
        QCOMPARE(window.currentFrame(), 0);
    }

    void cellValues_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QPoint>("pixel");
        QTest::addColumn<QString>("readout");
        const FrameRecord gray = record(1, 4, 2, GrayPixels, 1000000);
        const FrameRecord uyvy = record(2, 4, 2, UyvyPixels, 1000000);
        QTest::newRow("gray level") << gray.toBytes() << QPoint(3, 0) << QString::fromUtf8("x 3 y 0 \u00B7 255");
        QTest::newRow("gray second row") << gray.toBytes() << QPoint(1, 1) << QString::fromUtf8("x 1 y 1 \u00B7 32");
        // U Y0 V Y1: the second pixel of a pair has its own luma and the pair's chroma.
        QTest::newRow("uyvy") << uyvy.toBytes() << QPoint(1, 0) << "";
    }

    void cellValues()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QPoint, pixel);
        QFETCH(QString, readout);
        const auto window = windowOn(dir.filePath("cells.bin"), bytes);
        QVERIFY(window && QTest::qWaitForWindowExposed(window.get()));
        ZoomView *view = window->zoomView();
        view->showOneToOne();
        QVERIFY(view->zoom() == 1.0);
        // One source pixel per device pixel, on a high-density screen too (run again at scale 2).
        QCOMPARE(view->cellRect(0, 0).width() * view->devicePixelRatioF(), 1.0);
        view->zoomAbout(ZoomView::ValuesZoom, view->rect().center());
        QVERIFY(view->zoom() == ZoomView::ValuesZoom);
        // Each cell's numbers painted in it, dark on light and light on dark.
        COMPARE_WITH_APPROVED(view->grab().toImage(), "values of " + QString::fromLatin1(QTest::currentDataTag()).section(QLatin1Char(' '), 0, 0));
        // Zooming about a point keeps the pixel under it; the readout names that pixel.
        const QPointF at = view->rect().center();
        const QPoint before = view->sourcePixelAt(at);
        view->zoomAbout(2, at);
        QVERIFY(view->zoom() == ZoomView::MaxZoom);
        view->zoomAbout(2, at);
        QVERIFY(view->zoom() == ZoomView::MaxZoom);
        QCOMPARE(view->sourcePixelAt(at), before);
        // Ctrl+wheel zooms about the cursor too: two notches back halve the zoom.
        QWheelEvent wheel(at, view->mapToGlobal(at), QPoint(), QPoint(0, -240), Qt::NoButton,
                          Qt::ControlModifier, Qt::NoScrollPhase, false);
        QApplication::sendEvent(view, &wheel);
        QVERIFY(view->zoom() == ZoomView::ValuesZoom);
        QCOMPARE(view->sourcePixelAt(at), before);
        // Dragging by one cell moves the picture by one source pixel under the cursor.
        const QPoint from = at.toPoint();
        QTest::mousePress(view, Qt::LeftButton, {}, from);
        QTest::mouseMove(view, from + QPoint(qRound(view->cellRect(0, 0).width()), 0));
        QTest::mouseRelease(view, Qt::LeftButton, {}, from + QPoint(qRound(view->cellRect(0, 0).width()), 0));
        QCOMPARE(view->sourcePixelAt(at), before - QPoint(1, 0));
        if (!readout.isEmpty()) {
            emit view->pixelHovered(pixel);
            QCOMPARE(labelText(window.get(), "pixelReadout"), readout);
            // Left by the mouse, the view names no pixel.
            QEvent leave(QEvent::Leave);
            QApplication::sendEvent(view, &leave);
            QCOMPARE(labelText(window.get(), "pixelReadout"), QString());
        }
    }

    void recentFramesKept_data()
    {
        QTest::addColumn<QList<qint64>>("timesUs");
        QTest::addColumn<int>("payloadKiB");
        QTest::addColumn<QList<qint64>>("keptUs");
        using T = QList<qint64>;
        QTest::newRow("last ten seconds") << T{0, 5000000, 10000000, 11000000} << 0 << T{5000000, 10000000, 11000000};
        QTest::newRow("ten seconds and a microsecond") << T{0, 1, 10000001} << 0 << T{1, 10000001};
        QTest::newRow("board restarted") << T{5000000, 6000000, 1000000} << 0 << T{1000000};
        QTest::newRow("byte cap, reached exactly") << T{0, 1, 2, 3, 4} << 65536 << T{1, 2, 3, 4};
        QTest::newRow("byte cap, passed by a quarter MiB") << T{0, 1, 2, 3, 4} << 52480 << T{1, 2, 3, 4};
    }

    void recentFramesKept()
    {
        QFETCH(QList<qint64>, timesUs);
        QFETCH(int, payloadKiB);
        QFETCH(QList<qint64>, keptUs);
        // One buffer for every frame: kept frames share it, as the viewer's frames share theirs.
        const QByteArray payload(payloadKiB * 1024, '\x01');
        RecentFrames recent;
        for (qint64 t : timesUs)
            recent.add(slotOf(record(1, 1, 1, payload, t)), QDateTime());
        QList<qint64> kept;
        for (const FrameSlot &frame : recent.frames()) {
            kept << frame.boardTimeUs();
            QCOMPARE(frame.payload.constData(), payload.constData());
        }
        QCOMPARE(kept, keptUs);
        QCOMPARE(recent.keptBytes(), qint64(payload.size()) * keptUs.size());
    }

    void viewerHandsOverItsLastFrames()
    {
        WindowRig rig;
        QVERIFY(rig.showAndConnect());
        // Nothing received yet: nothing to look at, and the status bar says so.
        QTest::keyClick(&rig.window, Qt::Key_I, Qt::ControlModifier);
        QVERIFY(!rig.window.findChild<InspectorWindow *>());
        QVERIFY(rig.window.statusBar()->currentMessage().endsWith(": no frames have been received"));
        for (int i = 0; i < 5; ++i)
            QVERIFY(rig.send(record(1, 4, 2, GrayPixels, 3000000 + i * 100000)));
        QTest::keyClick(&rig.window, Qt::Key_I, Qt::ControlModifier);
        auto *inspector = rig.window.findChild<InspectorWindow *>();
        QVERIFY(inspector);
        QCOMPARE(inspector->currentFrame(), qint64(4));
        QCOMPARE(inspector->windowTitle(), QStringLiteral("last seconds from 127.0.0.1:%1 - recent frames, 5 frames - Brevant Inspector")
                                               .arg(rig.video.serverPort()));
        QCOMPARE(frameText(*inspector), "Frame 5 of 5" + Dot + "Gray" + Dot + "4x2" + Dot + "8 bytes" + Dot
                                            + "board time 3.400000 s" + Dot + "gap 100.0 ms");
        // Their arrivals were kept: the latency is plotted.
        QTRY_VERIFY(child<QWidget>(inspector, "latencyPlot")->isVisible());
        // The stream goes on in the viewer; the inspector keeps the frames it was given.
        QVERIFY(rig.send(record(2, 4, 2, UyvyPixels, 3500000)));
        QCOMPARE(labelText(&rig.window, "labelFormat"), QStringLiteral("Gray"));
        QCOMPARE(child<QSlider>(inspector, "frameSlider")->maximum(), 4);
        inspector->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(inspector));
        QTest::keyClick(inspector, Qt::Key_Home);
        QVERIFY(frameText(*inspector).startsWith("Frame 1 of 5"));
        // A second look, once the first window is closed, takes in the newer frame too.
        QPointer<InspectorWindow> first = inspector;
        inspector->close();
        QTRY_VERIFY(first.isNull());
        QApplication::setActiveWindow(&rig.window);
        QVERIFY(QTest::qWaitForWindowActive(&rig.window));
        QTest::keyClick(&rig.window, Qt::Key_I, Qt::ControlModifier);
        inspector = rig.window.findChild<InspectorWindow *>();
        QVERIFY(inspector);
        QVERIFY(frameText(*inspector).startsWith("Frame 6 of 6" + Dot + "UYVY"));
    }

    // Marks are found a few frames a turn, so that a long recording opens at once; the scan ends
    // at the last frame. The first frame is marked as any other.
    void marksFoundAFewATurn()
    {
        const QString path = dir.filePath("scan.bin");
        writeFile(path, grayDump(5, 0));
        const std::unique_ptr<FrameSource> source = frameSourceFor(path);
        QVERIFY(source->open());
        FrameMarkScan scan(*source);
        QVERIFY(!scan.scan(2));
        QCOMPARE(scan.scanned(), 2);
        QVERIFY(scan.scan(10));
        QCOMPARE(scan.scanned(), 5);
        QCOMPARE(QList<int>({scan.mark(0), scan.mark(1), scan.mark(4)}), QList<int>({FrameMarkScan::Damaged, 0, 0}));
    }

    void levelsFollowTheFrame()
    {
        // The third clips U at the first two pixels and V at the last two; the fourth is larger, the
        // fifth cut short.
        const QByteArray clippedChroma("\x00\x51\x80\x52\x80\x60\x80\x61" "\x80\x10\x80\xeb\x80\x70\xff\x71", 16);
        const auto window = windowOn(dir.filePath("levels.bin"), record(1, 4, 2, GrayPixels, 1000000).toBytes()
                                                                   + record(2, 4, 2, UyvyPixels, 1040000).toBytes()
                                                                   + record(2, 4, 2, clippedChroma, 1080000).toBytes()
                                                                   + record(1, 8, 4, GrayPixels.repeated(4), 1120000).toBytes()
                                                                   + record(1, 8, 4, GrayPixels, 1160000).toBytes());
        QVERIFY(window && QTest::qWaitForWindowExposed(window.get()));
        QTest::keyClick(window.get(), Qt::Key_H);
        QVERIFY(window->levelsShown());
        QCOMPARE(labelText(window.get(), "levelsText"),
                 QString::fromUtf8("Frame 4x2\nGray: mean 68.75  σ 80.10  min 0  max 255  SNR 0.86 (-1.33 dB)\n"
                                   "   at 0: 1 (12.50 %)  at 255: 1 (12.50 %)"));
        QCOMPARE(child<LevelPlot>(window.get(), "levelsHistogram")->curves().size(), size_t(1));

        // Clipped samples painted over the picture: black in one colour, white in another.
        ZoomView *view = window->zoomView();
        QTest::keyClick(window.get(), Qt::Key_C);

        // A region of source pixels, dragged either way, here from below the picture; a plain drag still pans.
        view->fit();
        dragOver(view, QPoint(2, 2), QPoint(1, 0), Qt::ShiftModifier);
        QCOMPARE(view->selectedRegion(), QRect(1, 0, 2, 2));
        dragOver(view, QPoint(0, 0), QPoint(3, 1), Qt::ShiftModifier | Qt::AltModifier);
        const auto *profile = child<LevelPlot>(window.get(), "levelsProfile");
        QVERIFY(profile->isVisible());
        QCOMPARE(profile->curves().at(0).values, (std::vector<double>{0, 7, 48, 128}));
        COMPARE_WITH_APPROVED(view->grab().toImage(), "levels over the picture");
        COMPARE_WITH_APPROVED(child<QWidget>(window.get(), "levelsDock")->grab().toImage(), "levels panel");

        // The next frame, its own samples: Y, U and V of the same region.
        QTest::keyClick(window.get(), Qt::Key_Right);
        QCOMPARE(labelText(window.get(), "levelsText").section('\n', 1, 1),
                 QString::fromUtf8("Y: mean 131.25  σ 60.83  min 82  max 235  SNR 2.16 (6.68 dB)"));
        QCOMPARE(labelText(window.get(), "levelsText").count(QStringLiteral("at 255")), 3);
        QCOMPARE(profile->curves().size(), size_t(3));
        QTest::keyClick(window.get(), Qt::Key_Escape);
        QVERIFY(labelText(window.get(), "levelsText").startsWith("Frame 4x2\nY: mean 104.00"));
        QVERIFY(!profile->isVisible());
        // Clipped chroma, of the channel chosen, over the pixels that share the sample.
        QTest::keyClick(window.get(), Qt::Key_Right);
        auto *channel = child<QComboBox>(window.get(), "levelsChannel");
        channel->setCurrentIndex(1);
        QImage chroma = view->clipMask();
        QCOMPARE(QList<QRgb>({chroma.pixel(0, 0), chroma.pixel(1, 0), chroma.pixel(2, 0), chroma.pixel(3, 1)}),
                 QList<QRgb>({qRgb(0, 90, 255), qRgb(0, 90, 255), 0, 0}));
        channel->setCurrentIndex(2);
        chroma = view->clipMask();
        QCOMPARE(QList<QRgb>({chroma.pixel(0, 0), chroma.pixel(1, 1), chroma.pixel(2, 1), chroma.pixel(3, 1)}),
                 QList<QRgb>({0, 0, qRgb(255, 0, 0), qRgb(255, 0, 0)}));
        QTest::keyClick(window.get(), Qt::Key_C);
        QVERIFY(view->clipMask().isNull());

        // Zoomed in, a frame of another size is fitted afresh.
        QTest::keyClick(window.get(), Qt::Key_Plus);
        const double zoomed = view->zoom();
        QTest::keyClick(window.get(), Qt::Key_Right);
        const double shown = view->zoom();
        QTest::keyClick(window.get(), Qt::Key_0);
        QCOMPARE(view->zoom(), shown);
        QVERIFY(shown < zoomed);

        // A raw frame cut short: the grey standing in for its lost part is not measured.
        QTest::keyClick(window.get(), Qt::Key_Right);
        QCOMPARE(labelText(window.get(), "levelsText"), QStringLiteral("No samples to measure in this frame"));
        QVERIFY(child<LevelPlot>(window.get(), "levelsHistogram")->curves().empty());
    }

    // A curve's height on the linear and the logarithmic scale (its filling: the levels panel's picture).
    void levelPlotDrawing()
    {
        LevelPlot plot;
        plot.resize(104, 104); // 100 rows inside the frame's margin
        const auto curveRow = [&plot](int column) { // the first from the top that is not background
            const QImage drawn = plot.grab().toImage();
            for (int y = 3; y < drawn.height() - 3; ++y)
                if (drawn.pixel(column, y) != drawn.pixel(column, 3))
                    return y;
            return -1;
        };
        plot.setCurves({{Qt::red, {50, 50}}}, 100, true);
        QCOMPARE(curveRow(52), 51); // the line antialiased over rows 51 and 52
        plot.setCurves({{Qt::red, {10, 10}}}, 1000, false);
        QCOMPARE(curveRow(52), 100); // 1 % up: row 101
        plot.setLogarithmic(true);
        QCOMPARE(curveRow(52), 66); // log(11) / log(1001) = 34.7 % up: row 67.3
    }

    // Six frames 40 ms apart, Gray then UYVY from the fourth on; the stretch marked with I and O.
    void exportStretch_data()
    {
        QTest::addColumn<int>("storage");
        QTest::addColumn<QList<int>>("marks"); // frame at I, frame at O; -1 leaves it unset
        QTest::addColumn<QStringList>("files"); // each with the frames (first, last) it holds
        using S = FrameExport::Storage;
        QTest::newRow("matroska split where the format changes")
            << int(S::Matroska) << QList<int>{1, 4} << QStringList{"x.mkv 1 2", "x-2.mkv 3 4"};
        QTest::newRow("matroska to the end") << int(S::Matroska) << QList<int>{4, -1} << QStringList{"x.mkv 4 5"};
        QTest::newRow("payloads from the start") << int(S::Payloads) << QList<int>{-1, 1} << QStringList{"x-0.bvt 0 0", "x-1.bvt 1 1"};
        QTest::newRow("jpeg as received") << int(S::Pictures) << QList<int>{2, 3} << QStringList{"x-0.jpg 2 2", "x-1.jpg 3 3"};
    }

    void exportStretch()
    {
        QFETCH(int, storage);
        QFETCH(QList<int>, marks);
        QFETCH(QStringList, files);
        const bool jpeg = storage == int(FrameExport::Storage::Pictures);
        std::vector<FrameRecord> frames;
        QByteArray dump;
        for (int i = 0; i < 6; ++i) {
            frames.push_back(jpeg ? record(0, 16, 8, jpegOf(16, 8, quint8(40 * i)), 1000000 + i * 40000)
                                  : record(i < 3 ? 1 : 2, 4, 2, i < 3 ? GrayPixels : UyvyPixels, 1000000 + i * 40000));
            dump += frames.back().toBytes();
        }
        QTemporaryDir out;
        const QString path = out.filePath("stretch.bin");
        const auto window = windowOn(path, dump);
        QVERIFY(window && QTest::qWaitForWindowExposed(window.get()));
        for (int m = 0; m < 2; ++m) {
            if (marks[m] >= 0) {
                window->showFrame(marks[m]);
                QTest::keyClick(window.get(), m == 0 ? Qt::Key_I : Qt::Key_O);
            }
        }
        QVERIFY(window->exportStretch(out.filePath("x"), FrameExport::Storage(storage)));
        QTRY_VERIFY_WITH_TIMEOUT(exportMessage(window.get()).startsWith("Export"), 60000);
        QStringList written;
        for (const QString &file : files)
            written << file.section(' ', 0, 0);
        written << "x.csv";
        QCOMPARE(exportMessage(window.get()), QStringLiteral("Exported %1 frames to %2: %3 (%4 bytes)")
                                                  .arg(window->stretchLast() - window->stretchFirst() + 1)
                                                  .arg(out.path(), written.join(", "))
                                                  .arg(bytesOf(QDir(out.path()), written)));

        // The index: a row a frame, naming its file; the board's time as received.
        const QStringList rows = QString::fromUtf8(fileBytes(out.filePath("x.csv"))).split('\n', Qt::SkipEmptyParts).mid(1);
        QCOMPARE(rows.size(), window->stretchLast() - window->stretchFirst() + 1);
        for (const QString &file : files) {
            const QStringList parts = file.split(' ');
            QByteArray payloads;
            QStringList times;
            for (int i = parts[1].toInt(); i <= parts[2].toInt(); ++i) {
                const FrameRecord &frame = frames[size_t(i)];
                const QStringList row = rows.at(i - window->stretchFirst()).split(',');
                QCOMPARE(row.mid(1, 3), (QStringList{parts[0], "stored", RecordIndex::formatName(frame.format)}));
                QCOMPARE(row.at(7), RecordIndex::boardTime(frame.timestamp_s, frame.timestamp_us));
                QCOMPARE(row.at(8), QString()); // a wire dump keeps no arrival time
                payloads += frame.payload;
                times << RecordIndex::boardTime(0, qint32(i - parts[1].toInt()) * 40000);
            }
            if (!parts[0].endsWith(".mkv")) {
                QCOMPARE(fileBytes(out.filePath(parts[0])), payloads);
                continue;
            }
            if (!have("ffprobe") || !have("ffmpeg"))
                QSKIP("ffprobe or ffmpeg missing");
            const QString mkv = out.filePath(parts[0]);
            QCOMPARE(QString::fromUtf8(output("ffprobe", {"-v", "error", "-show_entries", "packet=pts_time", "-of", "csv=p=0", mkv}))
                         .remove(',')
                         .split('\n', Qt::SkipEmptyParts), times);
            QCOMPARE(output("ffmpeg", {"-v", "error", "-i", mkv, "-map", "0:v", "-c", "copy", "-f", "rawvideo", "-"}), payloads);
        }
    }

    // "Export Frames..." through the view's menu and the file dialog, of a source large enough to
    // take a while: the named Matroska file and its index, read back whole; then an export held
    // half way while the window steps on, and cancelled there with its index complete.
    void exportThroughDialog()
    {
        constexpr int Frames = 400;
        constexpr int HeldAt = Frames / 2;
        QByteArray dump;
        for (int i = 0; i < Frames; ++i)
            dump += record(0, 16, 8, jpegOf(16, 8, quint8(i)), 1000000 + i * 40000).toBytes();
        QTemporaryDir out;
        const QDir folder(out.path());
        auto gate = std::make_shared<QSemaphore>(1);
        const auto window = windowOn(out.filePath("large.bin"), dump, gate, HeldAt);
        QVERIFY(window && QTest::qWaitForWindowExposed(window.get()));
        const QString matroska = QStringLiteral("Matroska (*.mkv)");

        exportThroughMenu(window.get(), out.filePath("cut"), matroska);
        QTRY_VERIFY_WITH_TIMEOUT(exportMessage(window.get()).startsWith("Export"), 60000);
        const QStringList whole{"cut.mkv", "cut.csv"};
        QCOMPARE(exportMessage(window.get()), QStringLiteral("Exported %1 frames to %2: cut.mkv, cut.csv (%3 bytes)")
                                                  .arg(Frames).arg(out.path()).arg(bytesOf(folder, whole)));
        const RecordIndex::Contents index = RecordIndex::read(out.filePath("cut.csv"));
        QCOMPARE(index.error, QString());
        QCOMPARE(qint64(index.rows.size()), qint64(Frames));
        for (int i = 0; i < Frames; ++i) {
            const RecordIndex::Row &row = index.rows[size_t(i)];
            QCOMPARE(QStringList({row.file, row.status, QString::number(row.frameInFile), QString::number(row.frame.boardTimeUs())}),
                     QStringList({"cut.mkv", "stored", QString::number(i), QString::number(1000000 + i * 40000)}));
        }
        MatroskaReader reader;
        QVERIFY(reader.open(out.filePath("cut.mkv")));
        QCOMPARE(reader.frameCount(), qint64(Frames));
        if (have("ffprobe")) {
            QCOMPARE(output("ffprobe", {"-v", "error", "-count_packets", "-select_streams", "v:0", "-show_entries",
                                        "stream=nb_read_packets", "-of", "csv=p=0", out.filePath("cut.mkv")}).trimmed(),
                     QByteArray::number(Frames));
        }

        // Held at a frame, the export waits on its own thread; the window steps on meanwhile.
        gate->acquire();
        const auto letGo = qScopeGuard([gate] { gate->release(); }); // before the window waits for it
        exportThroughMenu(window.get(), out.filePath("half.mkv"), matroska);
        auto *progress = window->findChild<QProgressDialog *>();
        QVERIFY(progress);
        QTRY_COMPARE_WITH_TIMEOUT(progress->value(), HeldAt, 60000);
        QTRY_VERIFY_WITH_TIMEOUT(progress->isVisible(), 10000);
        window->activateWindow();
        QTRY_VERIFY(window->isActiveWindow());
        const qint64 shown = window->currentFrame();
        QTest::keyClick(window.get(), Qt::Key_Right);
        QCOMPARE(window->currentFrame(), shown + 1);
        // Chosen again meanwhile, it brings the export in hand forward instead of asking for another.
        progress->hide();
        menuItem(*window, "File", "Export Frames...")->trigger();
        QVERIFY(progress->isVisible() && !window->findChild<QFileDialog *>());

        // Cancelled there: the frame in hand is the last one written and indexed.
        auto *cancel = progress->findChild<QPushButton *>();
        QVERIFY(cancel);
        QTest::mouseClick(cancel, Qt::LeftButton);
        gate->release();
        QTRY_VERIFY_WITH_TIMEOUT(exportMessage(window.get()).startsWith("Export cancelled"), 60000);
        const QStringList half{"half.mkv", "half.csv"};
        QCOMPARE(exportMessage(window.get()), QStringLiteral("Export cancelled after %1 of %2 frames: half.mkv, half.csv (%3 bytes) in %4")
                                                  .arg(HeldAt + 1).arg(Frames).arg(bytesOf(folder, half)).arg(out.path()));
        const RecordIndex::Contents halfIndex = RecordIndex::read(out.filePath("half.csv"));
        QCOMPARE(qint64(halfIndex.rows.size()), qint64(HeldAt + 1));
        QCOMPARE(halfIndex.rows.back().frameInFile, qint64(HeldAt));
        QVERIFY(reader.open(out.filePath("half.mkv")));
        QCOMPARE(reader.frameCount(), qint64(HeldAt + 1));
        QTRY_VERIFY(!window->findChild<QProgressDialog *>());

        // Named where nothing can be written: why, for which frames, and nothing left behind.
        BoxCloser boxes;
        exportThroughMenu(window.get(), out.filePath("cut.mkv/again.mkv"), matroska);
        QTRY_COMPARE_WITH_TIMEOUT(boxes.texts, QStringList{"Could not export frames 1 to 400: cannot write the index "
                                                             + out.filePath("cut.mkv/again.csv") + ": Not a directory"}, 60000);
        QCOMPARE(folder.entryList(QDir::Files), (QStringList{"cut.csv", "cut.mkv", "half.csv", "half.mkv", "large.bin"}));
    }


    // The figures of a recording, for all of it and for a stretch marked; T shows and hides
    // them; both plots show, a click on one goes to the frame under it.
    void timingOfRecording()
    {
        QTemporaryDir folder;
        QList<QDateTime> arrivals;
        QVERIFY(recordInto(folder.path(), troubledClip(arrivals), arrivals));
        const auto window = windowOn(folder.path(), {});
        QVERIFY(window && QTest::qWaitForWindowActive(window.get()));
        QVERIFY(window->timingView()->isKnown());
        QTRY_VERIFY(window->marksComplete());

        QVERIFY(!window->timingShown());
        QTest::keyClick(window.get(), Qt::Key_T);
        QVERIFY(window->timingShown());
        QCOMPARE(figuresText(*window),
                 QString::fromUtf8("All 40 frames\n"
                                   "Frames: 40\n"
                                   "Nominal period: 40000 µs (median of the last 10 s)\n"
                                   "Board interval jitter: σ 3441 µs, p50 0, p95 15000, p99 15000, max 15000 µs\n"
                                   "Arrival interval jitter: σ 7695 µs, p50 0, p95 30000, p99 30000, max 30000 µs\n"
                                   "Late frames: 1 (at the board 0, on the way 1)\n"
                                   "Relative latency: σ 4684 µs, p50 0, p95 0, p99 30000, max 30000 µs\n"
                                   "Clock drift: board 0.0 ppm against the host\n"
                                   "Lost: 3, damaged: 1, clock restarts: 0"));

        window->showFrame(15);
        QTest::keyClick(window.get(), Qt::Key_I);
        window->showFrame(25);
        QTest::keyClick(window.get(), Qt::Key_O);
        QCOMPARE(figuresText(*window),
                 QString::fromUtf8("Stretch: frames 16 to 26\n"
                                   "Frames: 11\n"
                                   "Nominal period: 40000 µs (median of the last 10 s)\n"
                                   "Board interval jitter: σ 0 µs, p50 0, p95 0, p99 0, max 0 µs\n"
                                   "Arrival interval jitter: σ 12792 µs, p50 0, p95 30000, p99 30000, max 30000 µs\n"
                                   "Late frames: 1 (at the board 0, on the way 1)\n"
                                   "Relative latency: σ 8624 µs, p50 0, p95 30000, p99 30000, max 30000 µs\n"
                                   "Clock drift: not known\n"
                                   "Lost: 0, damaged: 0, clock restarts: 0"));
        COMPARE_WITH_APPROVED(window->centralWidget()->grab().toImage(), "frame 26 of a stretch");
        QTest::keyClick(window.get(), Qt::Key_T);
        QVERIFY(!window->timingShown());

        auto *intervals = child<TimingPlot>(window.get(), "boardIntervalPlot");
        auto *latencies = child<TimingPlot>(window.get(), "latencyPlot");
        QVERIFY(intervals->isVisible() && latencies->isVisible());
        for (TimingPlot *plot : {intervals, latencies}) {
            const qint64 frame = plot == intervals ? 17 : 38;
            const QRect area = plot->plotArea();
            const int column = int(std::lround(double(frame) * (area.width() - 1) / 39.0));
            QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(area.left() + column, area.center().y()));
            QCOMPARE(window->currentFrame(), frame);
            QCOMPARE(child<QSlider>(window.get(), "frameSlider")->value(), frame);
        }
        window->showFrame(35);
        COMPARE_WITH_APPROVED(window->zoomView()->grab().toImage(), "frame 36 cut short");
    }

    // A wire dump, small or of more frames than the window reads at once (those are read aside
    // while the first frame shows): it keeps no arrival, so there is no latency to plot; the
    // frame cut short counts as damaged once the marks scan has judged its payload.
    void timingOfWireDump_data()
    {
        QTest::addColumn<int>("frames");
        QTest::newRow("read at once") << 100;
        QTest::newRow("read aside") << int(SourceTimingView::ReadOnWindowThreadFrames) + 1000;
    }

    void timingOfWireDump()
    {
        QFETCH(int, frames);
        const bool aside = frames > SourceTimingView::ReadOnWindowThreadFrames;
        const auto window = windowOn(dir.filePath("timing.bin"), grayDump(frames, frames * 7 / 10, frames / 2, 2));
        QVERIFY(window);
        QCOMPARE(window->timingView()->isKnown(), !aside);
        if (aside)
            QCOMPARE(labelText(window.get(), "timingFigures"), QStringLiteral("Reading the times of %1 frames...").arg(frames));
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), Qt::Key_T);
        QTRY_VERIFY_WITH_TIMEOUT(window->timingView()->isKnown() && window->marksComplete(), WaitMs);
        QCOMPARE(figuresText(*window),
                 QString::fromUtf8("All %1 frames\n"
                                   "Frames: %1\n"
                                   "Nominal period: 40000 µs (median of the last 10 s)\n"
                                   "Board interval jitter: σ 0 µs, p50 0, p95 0, p99 0, max 0 µs\n"
                                   "Arrival interval jitter: not known\n"
                                   "Late frames: 0 (at the board 0, on the way 0)\n"
                                   "Relative latency: not known\n"
                                   "Clock drift: not known\n"
                                   "Lost: 2, damaged: 1, clock restarts: 0").arg(frames));
        QVERIFY(child<TimingPlot>(window.get(), "boardIntervalPlot")->isVisible());
        QVERIFY(!child<TimingPlot>(window.get(), "latencyPlot")->isVisible());
    }

    // brevant-inspect's command line, as a script meets it: what it prints and how it ends before any
    // window opens.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("brevant-inspect " BREVANT_VERSION "\n") << QByteArray();
        QTest::newRow("unknown option") << QStringList{"--frames", "3"} << 2 << QByteArray()
                                        << QByteArray("brevant-inspect: Unknown option 'frames'.\n");
        QTest::newRow("two sources") << QStringList{"a.mkv", "b.mkv"} << 2 << QByteArray()
                                     << QByteArray("brevant-inspect: one SOURCE at most\n");
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QTemporaryDir runtime;
        QProcess inspect;
        inspect.setProcessEnvironment(quietEnvironment(runtime));
        inspect.start(QStringLiteral(BREVANT_INSPECT), arguments);
        QVERIFY(inspect.waitForFinished(60000));
        QCOMPARE(inspect.exitStatus(), QProcess::NormalExit);
        QTEST(inspect.readAllStandardError(), "err");
        QTEST(inspect.readAllStandardOutput(), "out");
        QCOMPARE(inspect.exitCode(), exitCode);
    }

    // --help needs no screen, so it works over a plain terminal.
    void help()
    {
        QTemporaryDir runtime;
        QProcess inspect;
        QProcessEnvironment environment = quietEnvironment(runtime);
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
        inspect.setProcessEnvironment(environment);
        inspect.start(QStringLiteral(BREVANT_INSPECT), {QStringLiteral("--help")});
        QVERIFY(inspect.waitForFinished(60000));
        QCOMPARE(inspect.exitCode(), 0);
        QVERIFY(inspect.readAllStandardOutput().startsWith("Usage: "));
    }

    // Past its command line: a source refused is said in a box, 1; none chosen, 0 at once; a source
    // shown until its window is closed, 0.
    void programRun()
    {
        BoxCloser boxes;
        QCOMPARE(InspectorWindow::runOn(dir.filePath("gone.bin")), 1);
        QCOMPARE(boxes.texts, QStringList{dir.filePath("gone.bin") + ": No such file or directory"});
        whenShown<QFileDialog>([](QFileDialog *dialog) { dialog->reject(); });
        QCOMPARE(InspectorWindow::runOn(QString()), 0);
        writeFile(dir.filePath("run.bin"), grayDump(2));
        QString title;
        QObject::connect(&boxes.timer, &QTimer::timeout, [&] { if (QWidget *shown = QApplication::activeWindow()) title = shown->windowTitle(), shown->close(); });
        QCOMPARE(InspectorWindow::runOn(dir.filePath("run.bin")), 0);
        QCOMPARE(title, "run.bin - wire dump, 2 frames - Brevant Inspector");
    }

private:
    QTemporaryDir dir;
};

QTEST_MAIN(TestInspector)
#include "tst_inspector.moc"
