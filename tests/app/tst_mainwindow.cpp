#include "CommandServerThread.h"
#include "ElidedLabel.h"
#include "FileBytes.h"
#include "JpegEncoder.h"
#include "Pictures.h"
#include "Records.h"
#include "StreamTimingWindow.h"
#include "TestPattern.h"
#include "TimingPlot.h"
#include "ViewScaler.h"
#include "WindowRig.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <atomic>
#include <cmath>
#include <functional>
#include <map>

static QStringList items(QWidget *window, const char *name)
{
    QStringList texts;
    auto *combo = child<QComboBox>(window, name);
    for (int i = 0; i < combo->count(); ++i)
        texts << combo->itemText(i);
    return texts;
}

static bool scrollBarsShown(QGraphicsView *view)
{
    return view->horizontalScrollBar()->isVisible() || view->verticalScrollBar()->isVisible();
}

// The largest picture of aspect ratio 4:3 that fits the view's visible area.
static QSize fittedVga(QGraphicsView *view)
{
    const QSize area = view->viewport()->size();
    return area.width() * 3 <= area.height() * 4 ? QSize(area.width(), area.width() * 3 / 4)
                                                 : QSize(area.height() * 4 / 3, area.height());
}

// A picture of the frame's size and pixel format, different for every seed.
static QPixmap picture(int width, int height, QImage::Format format, int seed)
{
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgba(x * seed, y * 3, (x ^ y) + seed, format == QImage::Format_ARGB32 ? x : 255));
    return QPixmap::fromImage(image);
}

static QPixmap scaledByQt(const QPixmap &pixmap, const QSize &view)
{
    return pixmap.scaled(view, Qt::KeepAspectRatio, Qt::FastTransformation);
}

// The status bar's permanent area and the view's own actions, beside the form.
// 0: pixel readout, 1: statistics, 2: trouble clips; after the form's own status label.
static QLabel *readout(MainWindow &window, int index)
{
    return window.statusBar()->findChildren<QLabel *>().value(1 + index);
}

static QGraphicsView *view(MainWindow &window) { return child<QGraphicsView>(&window, "graphicsView"); }

// Picks an item of the view's context menu as a right click opens it; whileOpen runs first, with
// the menu on screen.
static void chooseFromViewMenu(MainWindow &window, const QString &item, const std::function<void()> &whileOpen = {})
{
    QTimer::singleShot(0, &window, [item, whileOpen] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
        if (whileOpen)
            whileOpen();
        for (QAction *action : menu->actions())
            if (action->text() == item)
                action->trigger();
        menu->close();
    });
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), QPoint(5, 5));
    QApplication::sendEvent(view(window)->viewport(), &click);
}

static void moveMouse(MainWindow &window, QPoint to)
{
    QMouseEvent move(QEvent::MouseMove, to, to, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(view(window)->viewport(), &move);
}

static QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

static QString grayText(int x, int y, int width, int level = -1)
{
    return QStringLiteral("x %1 y %2 \u00B7 %3").arg(x).arg(y).arg(level >= 0 ? level : ((y * width + x) * 7) & 255);
}

// A window connected to a command server in a thread of its own and to a video listener.
struct Rig : WindowRig
{
    Rig()
    {
        commands->setProducibleFormats({ 0, 1, 2, 3, 4 });
        child<QLineEdit>(&window, "editCmdPort")->setText(QString::number(commands.port()));
        QTest::keyClick(child<QLineEdit>(&window, "editCmdPort"), Qt::Key_Return);
    }
    void click(const char *name) { QTest::mouseClick(child<QPushButton>(&window, name), Qt::LeftButton); }
    QStringList requests()
    {
        QStringList texts;
        for (const QByteArray &request : commands->requests())
            texts << QString::fromLatin1(request.toHex(' ').toUpper());
        return texts;
    }
    CommandServerThread commands;
};

// Whether Start, Stop and the boxes frozen during a capture show a capture running.
static bool capturing(QWidget *window, bool running)
{
    for (const char *name : { "buttonStartCapture", "boxSetSource", "boxSaveImage", "tabApplications" })
        if (child(window, name)->isEnabled() == running)
            return false;
    return child(window, "buttonStopCapture")->isEnabled() == running;
}

// Through the button, as a user would: the dialog it opens is answered once it shows.
static void chooseFolder(QWidget *window, const QString &path)
{
    QTimer::singleShot(0, window, [window, path] {
        auto *dialog = window->findChild<QFileDialog *>();
        if (!dialog->isVisible())
            return;
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted); // public there, protected in QFileDialog
    });
    QTest::mouseClick(child(window, "buttonChooseFolder"), Qt::LeftButton);
}

// What a timing plot drew, read back from its pixels: the rows a colour takes in one pixel column of the image, top to bottom.
static QList<int> rowsOf(const QImage &image, int x, const QColor &colour, int top, int bottom)
{
    QList<int> rows;
    for (int y = top; y <= bottom; ++y)
        if (image.pixelColor(x, y) == colour)
            rows << y;
    return rows;
}

// The row a value is drawn on, for a scale whose top is the value given.
static int rowOf(qint64 y, const QRect &area, qint64 top)
{
    return area.bottom() - int(std::lround(double(y) / double(top) * (area.height() - 1)));
}

// The columns of the area marks of a colour point at: where the colour first shows under the area.
static QList<int> markedColumns(const QImage &image, const QRect &area, const QColor &colour)
{
    QList<int> columns;
    for (int y = area.bottom() + 1; y < image.height() && columns.isEmpty(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixelColor(x, y) == colour)
                columns << x - area.left();
    return columns;
}

constexpr qint64 UsPerColumn = 1000;
constexpr qint64 PeriodUs = 40000;
constexpr qint64 HeldUs = 30000;

// The columns where the plot's envelope reaches above a value.
static QList<int> columnsAbove(TimingPlot *plot, qint64 value)
{
    const QImage image = plot->grab().toImage();
    const QRect area = plot->plotArea();
    QList<int> columns;
    for (int c = 0; c < area.width(); ++c)
        if (!rowsOf(image, area.left() + c, TimingPlot::EnvelopeColour, area.top(), rowOf(value, area, plot->topValue()) - 1).isEmpty())
            columns << c;
    return columns;
}

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initialState()
    {
        MainWindow window;
        QCOMPARE(window.windowTitle(), QStringLiteral("Brevant: Image Viewer and Recorder"));
        QVERIFY(!window.windowIcon().isNull());
        const struct
        {
            const char *name, *property;
            QVariant value;
        } expected[] = {
            { "comboFormat", "currentIndex", -1 },        { "comboFps", "currentIndex", -1 },
            { "comboImgSize", "currentIndex", 0 },        { "radioNoApp", "checked", true },
            { "buttonStartCapture", "enabled", false },   { "buttonStopCapture", "enabled", false },
            { "checkGyro", "enabled", false },            { "checkLum", "enabled", false },
            { "radioColorDetec", "enabled", false },      { "radioAutoSharp", "checkable", false },
            { "radioNoise", "checkable", true },          { "labelVideoState", "text", "Problem" },
            { "labelFormat", "text", "" },                { "labelImageName", "text", "bvtgrab_0.jpg" },
            { "editPrefix", "text", "bvtgrab_" },         { "tabWidget", "currentIndex", 0 },
            { "tabSource", "toolTip", "Control Image Source" }, { "tabSaveImage", "toolTip", "Image capture options" },
            { "tabApplications", "toolTip", "Brevant Demonstrative Applicatons (processed by the platform)" },
        };
        for (const auto &e : expected)
            QVERIFY2(child(&window, e.name)->property(e.property) == e.value, e.name);
        auto *tabs = child<QTabWidget>(&window, "tabWidget");
        for (int tab = 0; tab < tabs->count(); ++tab) // each header shows its page's tooltip
            QCOMPARE(tabs->tabToolTip(tab), tabs->widget(tab)->toolTip());
        QCOMPARE(items(&window, "comboFormat"),
                 (QStringList { "Jpeg", "Raw - Grayscale", "Raw - Color (UYVY)", "Raw - Color (YUV420)",
                                "Raw - Color (NV12)" }));
        QCOMPARE(items(&window, "comboImgSize"), (QStringList { "", "VGA (640x480)", "QVGA (320x240)", "Endoscope (400x400)" }));
        QCOMPARE(items(&window, "comboFps"), (QStringList { "30", "15", "10", "6", "5", "3", "2", "1" }));

        // The default host is a build setting; both tooltips name it.
        const QString host = child<QLineEdit>(&window, "editHostname")->text();
        QVERIFY(!host.isEmpty());
        for (const char *name : { "editHostname", "dispHostname" })
            QCOMPARE(child(&window, name)->toolTip(), QStringLiteral("Set platform hostname (default %1)").arg(host));
        for (const char *logo : { "label", "label_2", "label_3" })
            QCOMPARE(child<QLabel>(&window, logo)->pixmap().size(), QSize(200, 30));
    }

    // However long the readouts' texts, the window can still be made 850 x 520 and no text it shows
    // is cut through: a readout short of space ends in an ellipsis, its whole text in its tooltip.
    void minimumSizeAndLayout()
    {
        WindowRig rig;
        MainWindow &window = rig.window;
        QCOMPARE(window.minimumSize(), QSize(850, 480));
        window.setMinimumSize(850, 520); // as the program's entry does
        QCOMPARE(window.size(), QSize(863, 520));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(1400, 700);
        QTRY_COMPARE(child(&window, "tabWidget")->width(), 250); // all extra width goes to the view
        QCOMPARE(child(&window, "graphicsView")->width(), 1400 - 250);

        // Every counter of the readout grown, then a UYVY frame read at a five-digit column: whatever
        // the font, the status bar asks for no more width than before.
        const auto barWidth = [&window] {
            window.statusBar()->clearMessage(); // a message hides the status label
            return window.statusBar()->minimumSizeHint().width();
        };
        const int before = barWidth();
        QVERIFY(rig.connect());
        QByteArray trouble;
        for (int second : { 0, 1, 2, 3, 4, 9 })
            trouble += grayRecord(4, 2, second).toBytes();
        FrameRecord oversize = makeRecord(1, 4, 2, {}, 11);
        oversize.size = 0x7fffffff;
        rig.peer->write(trouble + makeRecord(1, 4, 2, "short", 10).toBytes() + oversize.toBytes());
        const int width = 12346;
        QVERIFY(rig.send(makeRecord(2, width, 2, QByteArray(width * 4, char(128)))));
        auto *view = child<QGraphicsView>(&window, "graphicsView");
        QTRY_VERIFY(view->horizontalScrollBar()->isVisible());
        view->horizontalScrollBar()->setValue(view->horizontalScrollBar()->maximum());
        const QPoint lastColumn(view->viewport()->width() - 1, view->mapFromScene(QPointF(0, 0)).y());
        moveMouse(window, lastColumn);
        const QList<QLabel *> readouts = window.statusBar()->findChildren<QLabel *>().mid(1, 2);
        QVERIFY2(readouts[0]->text().startsWith("x 12345 y "), qPrintable(readouts[0]->text()));
        QCOMPARE(readouts[0]->toolTip(), readouts[0]->text());
        QTRY_VERIFY2(readouts[1]->text().endsWith(" \u00B7 4 lost \u00B7 1 damaged \u00B7 1 dropped"),
                     qPrintable(readouts[1]->text()));

        QCOMPARE(barWidth(), before);
        window.resize(850, 520);
        QTRY_COMPARE(window.size(), QSize(850, 520));
        QVERIFY(window.minimumSizeHint().width() <= 850 && window.minimumSizeHint().height() <= 520);
        for (QLabel *label : window.findChildren<QLabel *>())
            if (label->isVisible())
                QVERIFY2(label->width() >= label->minimumSizeHint().width(), qPrintable(label->text()));
        for (QLabel *label : readouts) { // what is shown is the text's start, whole or ending in "..."
            const QString shown = static_cast<ElidedLabel *>(label)->shownText();
            QVERIFY2(shown == label->text() || (shown.endsWith(QChar(0x2026)) && label->text().startsWith(shown.chopped(1))),
                     qPrintable(shown));
            label->resize(label->minimumSizeHint()); // squeezed to the least it asks for, it still shows that it holds text
            QCOMPARE(static_cast<ElidedLabel *>(label)->shownText(), QString(QChar(0x2026)));
        }
    }

    void framesAreShownAndRescaled()
    {
        WindowRig rig;
        QWidget *w = &rig.window;
        auto *view = child<QGraphicsView>(w, "graphicsView");
        view->setFixedSize(500, 500);
        w->show();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QVERIFY(rig.shown()->pixmap().isNull());
        QCOMPARE(rig.videoConnections(), 0); // showing the window alone never connects
        QTest::mouseClick(child<QPushButton>(w, "buttonReconnect"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(rig.window.statusBar()->currentMessage(), QStringLiteral("Connected"), 10000);

        QVERIFY(rig.send(grayRecord(640, 480, 1)));
        QCOMPARE(rig.shown()->pixmap().size(), QSize(640, 480));
        QTRY_VERIFY(view->horizontalScrollBar()->isVisible());
        QCOMPARE(labelText(w, "labelFormat"), QStringLiteral("Gray"));
        QCOMPARE(labelText(w, "labelSize"), QStringLiteral("640x480"));
        QCOMPARE(labelText(w, "labelFps"), QStringLiteral("10"));
        auto *state = child<QLabel>(w, "labelVideoState");
        QCOMPARE(state->text(), QStringLiteral("OK"));
        QCOMPARE(state->styleSheet(), QStringLiteral("QLabel { color : green; }"));
        QCOMPARE(state->toolTip(), QStringLiteral("Connected"));

        // Rescaled into the visible area: the picture fits it whole.
        auto *rescale = child<QCheckBox>(w, "check_Rescale");
        rescale->setChecked(true);
        QCOMPARE(rig.shown()->pixmap().size(), QSize(640, 480)); // takes effect with the next frame
        QVERIFY(rig.send(grayRecord(640, 480, 2)));
        QTRY_VERIFY(!scrollBarsShown(view));
        QVERIFY(rig.send(grayRecord(640, 480, 3)));
        const QSize fittedInSquare = fittedVga(view);
        QCOMPARE(rig.shown()->pixmap().size(), fittedInSquare);
        view->setFixedSize(700, 300);
        QTRY_COMPARE(view->height(), 300);
        QCOMPARE(rig.shown()->pixmap().size(), fittedInSquare); // scaled per frame, not per resize
        QVERIFY(rig.send(grayRecord(640, 480, 4)));
        QCOMPARE(rig.shown()->pixmap().size(), fittedVga(view));
        QTRY_VERIFY(!scrollBarsShown(view));

        // A smaller picture leaves no stale scroll bars and sits in the middle of the view.
        rescale->setChecked(false);
        QVERIFY(rig.send(grayRecord(320, 240, 5)));
        QTRY_VERIFY(!scrollBarsShown(view));
        const QPoint corner = view->mapFromScene(0, 0);
        QVERIFY(qAbs(corner.x() - (view->viewport()->width() - 320) / 2) <= 1);
        QVERIFY(qAbs(corner.y() - (view->viewport()->height() - 240) / 2) <= 1);

        // A lost connection shows in red and empties the received-stream labels.
        rig.peer->close();
        QTRY_COMPARE_WITH_TIMEOUT(state->text(), QStringLiteral("Problem"), 10000);
        QCOMPARE(state->styleSheet(), QStringLiteral("QLabel { color : red; }"));
        QCOMPARE(state->toolTip(), QStringLiteral("Connection closed by host"));
        for (const char *label : { "labelFormat", "labelSize", "labelFps" })
            QCOMPARE(labelText(w, label), QString());
    }

    void looksAsQtScaledIt_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<QSize>("view");
        QTest::addColumn<QSize>("shown");
        const auto rgb = QImage::Format_RGB32;
        const auto alpha = QImage::Format_ARGB32;
        QTest::newRow("1080p wide") << QSize(1920, 1080) << rgb << QSize(900, 300) << QSize(533, 300);
        QTest::newRow("enlarged") << QSize(400, 400) << rgb << QSize(502, 700) << QSize(502, 502);
        QTest::newRow("fits already") << QSize(500, 375) << rgb << QSize(500, 500) << QSize(500, 375);
        QTest::newRow("side to nothing") << QSize(4095, 7) << rgb << QSize(100, 100) << QSize(100, 1);
        QTest::newRow("alpha") << QSize(640, 480) << alpha << QSize(300, 300) << QSize(300, 225);
        // A frame that could not be shown sets a null pixmap, which is passed on.
        QTest::newRow("null") << QSize(0, 0) << rgb << QSize(320, 320) << QSize(0, 0);
    }

    // Frames of every shape and pixel format end up exactly as Qt would show them.
    void looksAsQtScaledIt()
    {
        QFETCH(QSize, source);
        QFETCH(QImage::Format, format);
        QFETCH(QSize, view);
        const QPixmap frame = picture(source.width(), source.height(), format, 5);
        for (int warned = 0; frame.isNull() && warned < 2; ++warned) // by ours and by Qt's
            QTest::ignoreMessage(QtWarningMsg, "QPixmap::scaled: Pixmap is a null pixmap");
        const QPixmap ours = ViewScaler().scaled(frame, view);
        QTEST(ours.size(), "shown");
        QCOMPARE(ours.toImage(), scaledByQt(frame, view).toImage());
    }

    void pictureStillShownIsNotOverwritten()
    {
        ViewScaler scaler;
        const QSize view(320, 320);
        const QPixmap first = picture(640, 480, QImage::Format_RGB32, 1);
        const QImage firstShown = scaler.scaled(first, view).toImage().copy();
        const QPixmap onScreen = scaler.scaled(first, view);
        for (int seed = 2; seed < 6; ++seed)
            QCOMPARE(scaler.scaled(picture(640, 480, QImage::Format_RGB32, seed), view).toImage(),
                     scaledByQt(picture(640, 480, QImage::Format_RGB32, seed), view).toImage());
        QCOMPARE(onScreen.toImage(), firstShown);
    }

    void statisticsReadout()
    {
        WindowRig rig;
        QLabel *label = readout(rig.window, 1);
        QCOMPARE(label->text(), QStringLiteral("0.0 MB/s \u00B7 0 lost \u00B7 0 damaged"));
        QVERIFY(rig.connect());
        rig.peer->write(makeRecord(1, 8, 8, "short").toBytes());
        QTRY_COMPARE_WITH_TIMEOUT(label->text(), QStringLiteral("0.0 MB/s \u00B7 0 lost \u00B7 1 damaged"), 10000);
        QCOMPARE(label->styleSheet(), QStringLiteral("QLabel { color : red; }")); // news for a while
        QTRY_COMPARE_WITH_TIMEOUT(label->styleSheet(), QString(), 10000);
        // The detail's full text is the statistics' own; here only that it follows them.
        QVERIFY(label->toolTip().contains("Frames damaged: 1\n"));
        chooseFromViewMenu(rig.window, QStringLiteral("Reset Statistics"));
        QCOMPARE(label->text(), QStringLiteral("0.0 MB/s \u00B7 0 lost \u00B7 0 damaged"));
        for (const QString &line : label->toolTip().split(QLatin1Char('\n'))) // every counter back to 0
            QVERIFY2(line.endsWith(": 0") || line == "Throughput: 0.0 MB/s", qPrintable(line));
        rig.peer->close();
        QTRY_VERIFY_WITH_TIMEOUT(label->toolTip().contains("Connections lost: 1\n"), 10000);
        chooseFromViewMenu(rig.window, QStringLiteral("Copy Statistics"));
        QCOMPARE(QGuiApplication::clipboard()->text(), label->toolTip());
        // A temporary message leaves the readout in view.
        rig.window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
        rig.window.statusBar()->showMessage(QStringLiteral("busy"));
        QVERIFY(label->isVisible());
    }

    // Clips of the seconds around each trouble from the view's menu: a folder asked for once, the
    // clips counted in the status bar while on, the count gone once off.
    void keepTroubleClips()
    {
        QTemporaryDir folder;
        WindowRig rig;
        MainWindow &w = rig.window;
        QVERIFY(rig.showAndConnect());
        QLabel *clips = readout(w, 2);
        QVERIFY(clips->isHidden());
        whenShown<QFileDialog>([&](QFileDialog *dialog) {
            dialog->setDirectory(folder.path());
            static_cast<QDialog *>(dialog)->done(QDialog::Accepted);
        });
        chooseFromViewMenu(w, QStringLiteral("Keep Trouble Clips"));
        QTRY_COMPARE(clips->text(), QStringLiteral("clips: 0"));
        QVERIFY(clips->isVisible());

        // A frame a second by the board's clock, the fourth not decodable: its clip holds the three
        // before it and the ten after, and ends at the next.
        QByteArray sent;
        for (int second = 0; second < 14; ++second)
            sent += (second == 3 ? makeRecord(1, 8, 8, "short", second) : grayRecord(8, 8, second)).toBytes();
        rig.peer->write(sent);
        // While the clip is written, its list already names the trouble (a killed viewer leaves it).
        const QDir clip(folder.filePath(QStringLiteral("bvtgrab_trouble-1")));
        const auto listed = [&] { return QJsonDocument::fromJson(fileBytes(clip.filePath("trouble.json"))).object(); };
        QTRY_COMPARE_WITH_TIMEOUT(listed().value("troubles").toArray().size(), 1, 10000);
        QVERIFY(listed().value("ended").isNull());
        QCOMPARE(clips->text(), QStringLiteral("clips: 0"));
        rig.peer->write(grayRecord(8, 8, 14).toBytes());
        QTRY_COMPARE_WITH_TIMEOUT(clips->text(), QStringLiteral("clips: 1"), 10000);
        QCOMPARE(fileBytes(clip.filePath(QStringLiteral("stream.wire"))), sent);
        QJsonObject list = QJsonDocument::fromJson(fileBytes(clip.filePath(QStringLiteral("trouble.json")))).object();
        QCOMPARE(list.value("frames").toInteger(), 14);
        QCOMPARE(list.value("ended").toString(), QStringLiteral("after time"));
        QJsonObject trouble = list.value("troubles")[0].toObject();
        trouble.remove("arrival");
        QCOMPARE(trouble, (QJsonObject{{"kind", "damaged"}, {"frame", 3}, {"board_time", "3.000000"}}));
        QCOMPARE(list.value("troubles").toArray().size(), 1);

        // A record dropped for its size, then the connection lost: one more clip, from ten seconds
        // before the dropped record to the connection's last byte.
        const QByteArray before = sent + grayRecord(8, 8, 14).toBytes();
        FrameRecord oversized = grayRecord(8, 8, 18);
        oversized.size = -1;
        const QByteArray last = grayRecord(8, 8, 15).toBytes() + grayRecord(8, 8, 16).toBytes()
                                + grayRecord(8, 8, 17).toBytes() + oversized.toBytes() + grayRecord(8, 8, 19).toBytes();
        rig.peer->write(last);
        rig.peer->close();
        QTRY_COMPARE_WITH_TIMEOUT(clips->text(), QStringLiteral("clips: 2"), 10000);
        const QDir second(folder.filePath(QStringLiteral("bvtgrab_trouble-2")));
        QCOMPARE(fileBytes(second.filePath(QStringLiteral("stream.wire"))),
                 (before + last).mid(before.indexOf(grayRecord(8, 8, 8).toBytes())));
        list = QJsonDocument::fromJson(fileBytes(second.filePath(QStringLiteral("trouble.json")))).object();
        QCOMPARE(list.value("ended").toString(), QStringLiteral("connection lost"));
        QStringList kinds;
        for (const QJsonValue &t : list.value("troubles").toArray())
            kinds << t["kind"].toString();
        QCOMPARE(kinds, (QStringList{"dropped", "connection_lost"}));

        chooseFromViewMenu(w, QStringLiteral("Keep Trouble Clips"));
        QTRY_VERIFY(clips->isHidden());
        chooseFromViewMenu(w, QStringLiteral("Keep Trouble Clips")); // the folder is known by now
        QTRY_COMPARE(clips->text(), QStringLiteral("clips: 0"));
    }

    // Ctrl+T, wherever the focus is in the window, and the view's menu open one timing window and
    // bring it back; it follows the stream, the frame rate chosen and a reset.
    void streamTiming()
    {
        WindowRig rig;
        MainWindow &w = rig.window;
        QVERIFY(rig.showAndConnect());
        for (int second = 0; second < 3; ++second)
            QVERIFY(rig.send(grayRecord(8, 8, second)));
        auto *host = child<QLineEdit>(&w, "editHostname");
        host->setFocus();
        QTest::keyClick(host, Qt::Key_T, Qt::ControlModifier);
        QCOMPARE(host->text(), QStringLiteral("127.0.0.1"));
        auto *timing = w.findChild<StreamTimingWindow *>();
        QVERIFY(timing && QTest::qWaitForWindowExposed(timing));
        QLabel *figures = child<QLabel>(timing, "figuresText");
        QVERIFY(figures->text().startsWith("Frames: 3\nNominal period: 1000000 \u00B5s (median of the last 10 s)\n"));
        child<QComboBox>(&w, "comboFps")->setCurrentText(QStringLiteral("15"));
        QTRY_VERIFY(figures->text().contains("Nominal period: 66667 \u00B5s (the rate set)"));
        chooseFromViewMenu(w, QStringLiteral("Reset Statistics"));
        QTRY_VERIFY(figures->text().startsWith("Frames: 0\n"));
        timing->close();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        chooseFromViewMenu(w, QStringLiteral("Stream Timing..."));
        QTRY_VERIFY(timing->isVisible());
        QCOMPARE(w.findChildren<StreamTimingWindow *>().size(), 1);
    }

    void pixelValues_data()
    {
        QTest::addColumn<FrameRecord>("record");
        // At the corners (0, 0), (3, 0), (0, 1), (3, 1); a colour frame's readout ends with the R, G,
        // B on screen.
        QTest::addColumn<QStringList>("texts");
        const QByteArray luma = bytes({ 16, 50, 90, 130, 170, 210, 235, 81 });
        const QByteArray uyvy = bytes({ 90, 16, 240, 50, 54, 90, 34, 130, 128, 170, 128, 210, 240, 235, 110, 81 });
        const QByteArray chroma = bytes({ 90, 54, 240, 34 });
        QTest::newRow("gray") << makeRecord(1, 4, 2, luma)
                              << QStringList { "x 0 y 0 · 16", "x 3 y 0 · 130", "x 0 y 1 · 170", "x 3 y 1 · 81" };
        QTest::newRow("uyvy") << makeRecord(2, 4, 2, uyvy)
                              << QStringList { "x 0 y 0 · Y 16 U 90 V 240 · ", "x 3 y 0 · Y 130 U 54 V 34 · ",
                                               "x 0 y 1 · Y 170 U 128 V 128 · ", "x 3 y 1 · Y 81 U 240 V 110 · " };
        QTest::newRow("yuv420") << makeRecord(3, 4, 2, luma + chroma)
                                << QStringList { "x 0 y 0 · Y 16 U 90 V 240 · ", "x 3 y 0 · Y 130 U 54 V 34 · ",
                                                 "x 0 y 1 · Y 170 U 90 V 240 · ", "x 3 y 1 · Y 81 U 54 V 34 · " };
        QTest::newRow("nv12") << makeRecord(4, 4, 2, luma + chroma)
                              << QStringList { "x 0 y 0 · Y 16 U 90 V 54 · ", "x 3 y 0 · Y 130 U 240 V 34 · ",
                                               "x 0 y 1 · Y 170 U 90 V 54 · ", "x 3 y 1 · Y 81 U 240 V 34 · " };
        QByteArray rgb;
        for (int i = 0; i < 4 * 2; ++i)
            rgb += bytes({ 200, 30, 90 });
        const auto *rgbData = reinterpret_cast<const uint8_t *>(rgb.constData());
        QTest::newRow("jpeg") << makeRecord(0, 4, 2, encodeJpeg(rgbData, 4, 2, 3, 95))
                              << QStringList { "x 0 y 0 · ", "x 3 y 0 · ", "x 0 y 1 · ", "x 3 y 1 · " };
    }

    void pixelValues()
    {
        QFETCH(FrameRecord, record);
        QFETCH(QStringList, texts);
        WindowRig rig;
        QVERIFY(rig.showAndConnect());
        QVERIFY(rig.send(record));
        const QPoint corners[] = { { 0, 0 }, { 3, 0 }, { 0, 1 }, { 3, 1 } };
        for (int i = 0; i < 4; ++i) {
            // Read as the mouse arrives; the R, G, B read are those on screen, and so is a gray level.
            moveMouse(rig.window, view(rig.window)->mapFromScene(QPointF(corners[i])));
            const QColor shown = rig.shown()->pixmap().toImage().pixelColor(corners[i]);
            const QString rgb = QStringLiteral("R %1 G %2 B %3").arg(shown.red()).arg(shown.green()).arg(shown.blue());
            const QString expected = texts[i].endsWith(QStringLiteral("· ")) ? texts[i] + rgb : texts[i];
            QCOMPARE(readout(rig.window, 0)->text(), expected);
            QCOMPARE(readout(rig.window, 0)->toolTip(), expected);
            if (record.format == 1)
                QCOMPARE(QString::number(shown.red()), expected.section(' ', -1));
            // Just past the picture's edge beside that corner, and back.
            const QPointF outside[] = { { -2, 0.5 }, { 3.5, -2 }, { 0.5, 4 }, { 6, 1.5 } };
            moveMouse(rig.window, view(rig.window)->mapFromScene(outside[i]));
            QCOMPARE(readout(rig.window, 0)->text(), QString());
        }
        QEvent leave(QEvent::Leave);
        QApplication::sendEvent(view(rig.window)->viewport(), &leave);
        QCOMPARE(readout(rig.window, 0)->text(), QString());
    }

    void pixelMappingThroughScalingAndScrolling()
    {
        WindowRig rig;
        MainWindow &w = rig.window;
        QGraphicsView *v = view(w);
        v->setFixedSize(500, 500);
        QVERIFY(rig.showAndConnect());
        QLabel *label = readout(w, 0);

        // Scrolled to the far corner: the view's last pixel shows the frame's last.
        QVERIFY(rig.send(grayRecord(800, 600)));
        QCOMPARE(label->text(), QString()); // the pointer has not been in the view
        QTRY_VERIFY(v->horizontalScrollBar()->isVisible() && v->verticalScrollBar()->isVisible());
        v->horizontalScrollBar()->setValue(v->horizontalScrollBar()->maximum());
        v->verticalScrollBar()->setValue(v->verticalScrollBar()->maximum());
        moveMouse(w, QPoint(v->viewport()->width() - 1, v->viewport()->height() - 1));
        QCOMPARE(label->text(), grayText(799, 599, 800));
        moveMouse(w, QPoint(17, 29));
        const int left = v->horizontalScrollBar()->value() + 17, top = v->verticalScrollBar()->value() + 29;
        QCOMPARE(label->text(), grayText(left, top, 800));
        // A still cursor follows the stream; a refused frame's samples are never shown, even those it holds.
        QVERIFY(rig.send(makeRecord(1, 800, 600, QByteArray(800 * 600, char(200)))));
        QCOMPARE(label->text(), grayText(left, top, 800, 200));
        rig.peer->write(makeRecord(1, 800, 600, QByteArray(800 * 600 - 1, char(9))).toBytes());
        QTRY_COMPARE(label->text(), QStringLiteral("x %1 y %2 \u00B7 R 200 G 200 B 200").arg(left).arg(top));

        // Rescaled: each view pixel reads the frame pixel it shows.
        child<QCheckBox>(&w, "check_Rescale")->setChecked(true);
        QVERIFY(rig.send(grayRecord(37, 23)));
        const QImage scaled = rig.shown()->pixmap().toImage();
        QVERIFY(scaled.width() > 37 * 10);
        for (int sx = 0; sx < scaled.width(); sx += 7) {
            const int sy = (sx * 3) % scaled.height();
            moveMouse(w, v->mapFromScene(QPointF(sx, sy)));
            const QStringList parts = label->text().split(QLatin1Char(' '));
            QCOMPARE(parts.size(), 6);
            const int x = parts[1].toInt(), y = parts[3].toInt(), level = parts[5].toInt();
            QCOMPARE(level, ((y * 37 + x) * 7) & 255);
            QCOMPARE(qRed(scaled.pixel(sx, sy)), level);
            QVERIFY(qAbs(x - sx * 37 / scaled.width()) <= 1 && qAbs(y - sy * 23 / scaled.height()) <= 1);
        }
        moveMouse(w, v->mapFromScene(-1, -1)); // around the picture nothing is read
        QCOMPARE(label->text(), QString());
    }

    void savePicture_data()
    {
        QTest::addColumn<bool>("byKey"); // Ctrl+S on the view, or the view's menu
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("written"); // empty: refused
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("png") << false << "frame.png" << "frame.png" << QByteArray("png");
        QTest::newRow("bmp") << false << "frame.BMP" << "frame.BMP" << QByteArray("bmp");
        QTest::newRow("jpg") << false << "frame.jpg" << "frame.jpg" << QByteArray("jpeg");
        QTest::newRow("jpeg") << false << "frame.Jpeg" << "frame.Jpeg" << QByteArray("jpeg");
        QTest::newRow("no extension") << false << "frame" << "frame.png" << QByteArray("png");
        QTest::newRow("missing folder") << false << "missing/frame.png" << "" << QByteArray();
        QTest::newRow("by key") << true << "keyed.png" << "keyed.png" << QByteArray("png");
    }

    // The file holds the picture on screen when the action was chosen, at its own size, though frames
    // arrive while the dialog is open.
    void savePicture()
    {
        QFETCH(bool, byKey);
        QFETCH(QString, name);
        QFETCH(QString, written);
        QFETCH(QByteArray, format);
        QTemporaryDir dir;
        WindowRig rig;
        MainWindow &w = rig.window;
        child<QCheckBox>(&w, "check_Rescale")->setChecked(true);
        QVERIFY(rig.showAndConnect());
        QVERIFY(rig.send(grayRecord(64, 48)));

        BoxCloser boxes;
        whenShown<QFileDialog>([&](QFileDialog *dialog) {
            QVERIFY(rig.send(makeRecord(1, 64, 48, QByteArray(64 * 48, char(99)))));
            auto *nameField = qobject_cast<QLineEdit *>(dialog->focusWidget());
            QVERIFY(nameField);
            nameField->setText(dir.filePath(name));
            QTest::keyClick(nameField, Qt::Key_Return);
        });
        if (byKey) {
            view(w)->setFocus();
            QTRY_VERIFY(view(w)->hasFocus());
            QTest::keyClick(view(w), Qt::Key_S, Qt::ControlModifier);
        } else {
            chooseFromViewMenu(w, QStringLiteral("Save Picture As..."));
        }
        const QStringList files = QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);
        if (written.isEmpty()) { // the reason shown, no partial file left
            QTRY_COMPARE(boxes.texts.size(), 1);
            QVERIFY2(boxes.texts[0].startsWith("Could not save the picture to " + QDir::toNativeSeparators(dir.filePath(name)) + ": "),
                     qPrintable(boxes.texts[0]));
            QCOMPARE(files, QStringList());
            return;
        }
        QCOMPARE(files, QStringList { written });
        QCOMPARE(boxes.texts, QStringList());
        QImageReader reader(dir.filePath(written));
        QCOMPARE(reader.format(), format);
        const QImage image = reader.read();
        QCOMPARE(image.size(), QSize(64, 48)); // the frame, not the scaled view
        int errorSum = 0;
        for (int y = 0; y < 48; ++y)
            for (int x = 0; x < 64; ++x) {
                const int level = ((y * 64 + x) * 7) & 255;
                const QColor colour = image.pixelColor(x, y);
                errorSum += qAbs(colour.red() - level);
                QCOMPARE(colour.red(), colour.green());
                QCOMPARE(colour.red(), colour.blue());
            }
        // JPEG loses detail; the others keep every level.
        QVERIFY2(errorSum <= (format == "jpeg" ? 64 * 48 * 12 : 0), qPrintable(QString::number(errorSum)));
    }

    // Ctrl+C on the view and the menu's "Copy Picture" copy the picture on screen as they were chosen;
    // a line edit keeps its own Ctrl+C.
    void copyPicture()
    {
        WindowRig rig;
        MainWindow &w = rig.window;
        QVERIFY(rig.showAndConnect());
        QVERIFY(rig.send(grayRecord(20, 10)));
        const QImage picture = rig.shown()->pixmap().toImage();
        auto *host = child<QLineEdit>(&w, "editHostname");
        host->setFocus();
        host->selectAll();
        QTest::keyClick(host, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), host->text());
        view(w)->setFocus();
        QTRY_VERIFY(view(w)->hasFocus());
        QTest::keyClick(view(w), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->image().convertToFormat(picture.format()), picture);

        QGuiApplication::clipboard()->clear();
        chooseFromViewMenu(w, QStringLiteral("Copy Picture"), 
                           [&] { QVERIFY(rig.send(makeRecord(1, 20, 10, QByteArray(200, char(3))))); });
        QCOMPARE(QGuiApplication::clipboard()->image().convertToFormat(picture.format()), picture);
    }

    void startupProbeWithoutPlatform()
    {
        QTcpServer guard;
        if (!guard.listen(QHostAddress::Any, BoardProtocol::DefaultCommandPort))
            QSKIP("something listens on the command port of this machine");
        guard.close();
        MainWindow window; // probes the default command port, where nothing answers
        auto *state = child<QLabel>(&window, "labelCmdState");
        QCOMPARE(state->text(), QStringLiteral("Problem"));
        QCOMPARE(state->styleSheet(), QStringLiteral("QLabel { color : red; }"));
        QVERIFY(!state->toolTip().isEmpty() && state->toolTip() != "Command Connection Status");
        QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Problem in command transmission"));
        QCOMPARE(window.statusBar()->findChild<QLabel *>()->text(), QStringLiteral("Error: try to reconnect"));
    }

    void commandStateAndSendValues()
    {
        Rig rig;
        auto *state = child<QLabel>(&rig.window, "labelCmdState");
        QCOMPARE(state->text(), QStringLiteral("OK"));
        QCOMPARE(state->styleSheet(), QStringLiteral("QLabel { color : green; }"));
        QCOMPARE(state->toolTip(), QStringLiteral("Connected"));
        QCOMPARE(rig.window.statusBar()->findChild<QLabel *>()->text(), QStringLiteral("Brevant Image Controller: Ready"));
        QCOMPARE(rig.requests(), QStringList { "00 00 00" });

        rig.commands->clearRequests();
        rig.click("buttonSendConfig");
        QCOMPARE(rig.requests(), (QStringList { "01 00 1E", "02 00 00", "03 02 80", "04 01 E0", "05 00 01" }));
        // The result shows briefly, then leaves the bar to the messages that follow.
        QVERIFY(rig.connect());
        rig.click("buttonSendConfig");
        QCOMPARE(rig.window.statusBar()->currentMessage(), QStringLiteral("Message successfully transmitted"));
        QTRY_VERIFY_WITH_TIMEOUT(rig.window.statusBar()->currentMessage().isEmpty(), 1500);
        // A size chosen while no format is selected records format -1, sent as 65535.
        rig.commands->clearRequests();
        child<QComboBox>(&rig.window, "comboImgSize")->setCurrentIndex(2);
        rig.click("buttonSendConfig");
        QCOMPARE(rig.requests().mid(0, 4), (QStringList { "01 00 1E", "02 FF FF", "03 01 40", "04 00 F0" }));
    }

    void listChangesReconnectFourSecondsLater()
    {
        Rig rig;
        QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 1, 10000);
        rig.commands->clearRequests();
        // Clocks started just before and just after the first change bound its delay from both sides.
        QElapsedTimer beforeChange, afterChange, firstProbe;
        std::atomic<bool> probed { false };
        QObject::connect(rig.commands.get(), &CommandServer::requestReceived, rig.commands.get(), [&](int code) {
                             if (code == 0 && !probed) {
                                 firstProbe.start();
                                 probed = true;
                             }
                         }, Qt::DirectConnection); // in the server's thread, as the probe arrives
        beforeChange.start();
        child<QComboBox>(&rig.window, "comboFormat")->setCurrentIndex(1);
        afterChange.start();
        child<QComboBox>(&rig.window, "comboFps")->setCurrentIndex(1); // "15": recorded, then sent
        child<QComboBox>(&rig.window, "comboImgSize")->setCurrentIndex(3);
        QCOMPARE(rig.requests(), QStringList { "01 00 0F" });

        QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 4, 20000);
        QVERIFY(probed);
        const qint64 delayAtLeast = afterChange.msecsTo(firstProbe);
        const qint64 delayAtMost = beforeChange.msecsTo(firstProbe);
        QVERIFY2(delayAtLeast >= 4000, qPrintable(QString::number(delayAtLeast)));
        QVERIFY2(delayAtMost <= 4100, qPrintable(QString::number(delayAtMost)));
        QCOMPARE(rig.requests(), (QStringList { "01 00 0F", "00 00 00", "00 00 00", "00 00 00" }));

        // The recorded configuration goes out with the next "Send Values".
        rig.commands->clearRequests();
        rig.click("buttonSendConfig");
        QCOMPARE(rig.requests(), (QStringList { "01 00 0F", "02 00 01", "03 01 90", "04 01 90", "05 00 01" }));
    }

    void applicationsOnGrayStreamOnly()
    {
        Rig rig;
        rig.commands->clearRequests();
        auto radio = [&rig](const char *name) { return child<QRadioButton>(&rig.window, name); };
        BoxCloser closer;
        radio("radioMotion")->click(); // no frame yet: no format
        QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 1, 10000);
        QVERIFY(rig.send(makeRecord(2, 2, 2, QByteArray(8, char(128)))));
        QCOMPARE(labelText(&rig.window, "labelFormat"), QStringLiteral("UYVY"));
        radio("radioEdgeDetec")->click();
        QCOMPARE(closer.texts, QStringList(2, "Application Filters are only available on Grayscale mode"));
        QVERIFY(radio("radioNoApp")->isChecked());
        QVERIFY(rig.commands->requests().isEmpty());

        for (int n = 1; n <= 10; ++n) // the format is reported every tenth frame
            QVERIFY(rig.send(grayRecord(8, 8, n)));
        QCOMPARE(labelText(&rig.window, "labelFormat"), QStringLiteral("Gray"));
        // Each application in turn: the one before off, then this one on; none, all off.
        for (const char *name : { "radioEdgeDetec", "radioAutoContrast", "radioMotion", "radioNoApp", "radioNoise" })
            radio(name)->click();
        QCOMPARE(rig.requests(), (QStringList { "00 00 00", "06 00 01", "06 00 00", "08 00 01", "08 00 00", "0B 00 01",
                                                "0B 00 00", "00 00 01", "00 00 00", "0A 00 01" }));
        QCOMPARE(rig.commands->activeApplications(), QSet<int> { 10 });

        // A refused switch-off leaves the new application off.
        rig.commands->clearRequests();
        rig.commands->setRefuseAll(true);
        radio("radioMotion")->click();
        QCOMPARE(rig.requests(), QStringList { "0A 00 00" });
    }

    void captureThroughWindow_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("raw");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("shown"); // in the name shown while the raw box is the other way
        QTest::newRow("JPG, raw box") << 0 << true << "jpg" << "jpg";
        QTest::newRow("NV12, raw box") << 4 << true << "bvt" << "bmp";
        QTest::newRow("Gray") << 1 << false << "bmp" << "bvt";
    }

    void captureThroughWindow()
    {
        QFETCH(int, format);
        QFETCH(bool, raw);
        QFETCH(QString, extension);
        QFETCH(QString, shown);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        WindowRig rig;
        QWidget *w = &rig.window;
        QVERIFY(rig.connect());
        TestPattern pattern;
        pattern.setJpegEncoder(encodeJpeg);
        auto frame = [&](int n) { return makeRecord(format, 16, 8, pattern.payload(format, 16, 8, quint32(n))); };
        // The file holds frame n: its payload, or for BMP its grey levels.
        auto holds = [&](int file, const FrameRecord &record) {
            const QString name = dir.filePath(QString("cap_%1.").arg(file) + extension);
            if (extension != "bmp")
                return fileBytes(name) == record.payload;
            const QImage picture(name, "BMP");
            return picture.size() == QSize(16, 8) && qGray(picture.pixel(5, 1)) == uchar(record.payload.at(21));
        };

        auto *start = child(w, "buttonStartCapture");
        QVERIFY(!start->isEnabled()); // no folder yet
        chooseFolder(w, dir.path());
        const QString chosen = child<QLineEdit>(w, "editFolderName")->text();
        QCOMPARE(QFileInfo(chosen).canonicalFilePath(), QFileInfo(dir.path()).canonicalFilePath());
        // A folder gone by the time the chooser returns disables Start; the folder chosen stays shown.
        BoxCloser closer;
        chooseFolder(w, dir.filePath("vanished"));
        QCOMPARE(closer.texts, QStringList { "Specified Directory does not exist" });
        QVERIFY(!start->isEnabled());
        QCOMPARE(child<QLineEdit>(w, "editFolderName")->text(), chosen);
        chooseFolder(w, dir.path());
        auto *saveRaw = child<QCheckBox>(w, "checkSaveRaw");
        saveRaw->setChecked(!raw);
        QVERIFY(rig.send(frame(0)));
        // The name shown follows the prefix typed, with the extension of the stream's format and the
        // raw box; only prefix edits update it, and Start goes by the box, not the name shown.
        auto *prefix = child<QLineEdit>(w, "editPrefix");
        prefix->clear();
        QCOMPARE(labelText(w, "labelImageName"), "0." + shown);
        QTest::keyClicks(prefix, "cap_");
        QCOMPARE(labelText(w, "labelImageName"), "cap_0." + shown);
        saveRaw->setChecked(raw);
        QCOMPARE(labelText(w, "labelImageName"), "cap_0." + shown);
        QVERIFY(capturing(w, false));

        QTest::mouseClick(child<QPushButton>(w, "buttonStartCapture"), Qt::LeftButton);
        QVERIFY(capturing(w, true));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QString());
        for (int n = 1; n <= 3; ++n) {
            QVERIFY(rig.send(frame(n)));
            QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capturing image... %1").arg(n - 1));
            QVERIFY2(holds(n - 1, frame(n)), qPrintable(QString::number(n)));
        }
        const QStringList expected = { "cap_0." + extension, "cap_1." + extension, "cap_2." + extension };
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);

        QTest::mouseClick(child<QPushButton>(w, "buttonStopCapture"), Qt::LeftButton);
        QVERIFY(capturing(w, false));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));
        QVERIFY(rig.send(frame(4)));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));

        // Start again: numbering from 0, overwriting.
        QTest::mouseClick(child<QPushButton>(w, "buttonStartCapture"), Qt::LeftButton);
        QVERIFY(rig.send(frame(5)));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capturing image... 0"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
        QVERIFY(holds(0, frame(5)));
    }

    // Squeezed to a single column, a plot still draws its axis, and a click on it names the range's start.
    void plotOfOneColumn()
    {
        TimingPlot plot;
        plot.resize(1, 100);
        plot.setRange(5000, 9000);
        plot.setPoints({{5000, 1500000, false, false}, {9000, 2000000, true, false}});
        QVERIFY(!plot.grab().isNull());
        QCOMPARE(QStringList({plot.axisLabels().first(), plot.axisLabels().last()}), QStringList({"0", "2000"})); // ms, to a top of 2 s
        QSignalSpy clicked(&plot, &TimingPlot::clicked);
        QTest::mouseClick(&plot, Qt::LeftButton, {}, QPoint(0, 50));
        QCOMPARE(clicked.value(0).value(0).toLongLong(), 5000);
    }

    void drawsTheEnvelope_data()
    {
        QTest::addColumn<int>("perColumn");
        QTest::newRow("a few points a column") << 6; QTest::newRow("hundreds a column") << 300;
    }

    // Points in every column or many, some without a value, some columns empty: each column shows
    // exactly the extremes of its values, the marks sit under the right columns, the reference
    // and the cursor on their row and column; the scale is round and holds the largest value.
    // Points beside the range are neither drawn nor scaled to.
    void drawsTheEnvelope()
    {
        QFETCH(int, perColumn);
        TimingPlot plot;
        plot.resize(420, 180);
        const QRect area = plot.plotArea();
        const int columns = area.width();
        const qint64 lastX = (columns - 1) * UsPerColumn;
        plot.setRange(0, lastX);
        const qint64 reference = 33333;
        plot.setReference(reference);
        const int cursorColumn = 250;
        plot.setCursor(cursorColumn * UsPerColumn);

        // A slow wave with noise, one burst far above it and a column at 0.
        std::vector<TimingPlot::Point> points;
        std::map<int, std::pair<qint64, qint64>> extremes;
        QList<int> lostColumns, damagedColumns;
        QRandomGenerator random(7);
        for (int c = -3; c < columns + 3; ++c) {
            for (int i = 0; i < perColumn && c % 37 != 5; ++i) {
                const qint64 x = c * UsPerColumn - 400 + i * 800 / (perColumn - 1);
                qint64 y = c == 200 && i == 3 ? 71000 : c == 90 ? 0 : 30000 + 8000 * ((c / 40) % 3) + random.bounded(4000);
                if (c == 120 || (i == 2 && c % 5 == 0))
                    y = -1;
                const bool lost = c % 50 == 10 && i == 0;
                const bool damaged = c % 70 == 33 && i == perColumn - 1;
                const bool inRange = x >= 0 && x <= lastX;
                points.push_back(inRange ? TimingPlot::Point{x, y, lost, damaged} : TimingPlot::Point{x, 900000, true, true});
                if (!inRange)
                    continue;
                if (lost)
                    lostColumns << c;
                if (damaged)
                    damagedColumns << c;
                if (y >= 0) {
                    auto [column, added] = extremes.try_emplace(c, y, y);
                    column->second = {std::min(column->second.first, y), std::max(column->second.second, y)};
                }
            }
        }
        plot.setPoints(points);

        const qint64 top = plot.topValue();
        QVERIFY2(top >= 71000 && top <= 100000 && top % 10000 == 0, qPrintable(QString::number(top)));
        const QImage image = plot.grab().toImage();
        const auto span = [](int first, int last, int count) { return QStringLiteral("%1-%2 of %3").arg(first).arg(last).arg(count); };
        // Column by column, the rows of the envelope, or where there is none, of the reference.
        QStringList drawn, expected;
        for (int c = 0; c < columns; ++c) {
            const int x = area.left() + c;
            QList<int> rows = rowsOf(image, x, TimingPlot::EnvelopeColour, area.top(), area.bottom());
            if (rows.isEmpty())
                rows = rowsOf(image, x, TimingPlot::ReferenceColour, area.top(), area.bottom());
            drawn << QString::number(c) + ": " + (rows.isEmpty() ? QString() : span(rows.first(), rows.last(), rows.size()));
            const auto e = extremes.find(c);
            const int high = e == extremes.end() ? rowOf(reference, area, top) : rowOf(e->second.second, area, top);
            const int low = e == extremes.end() ? high : rowOf(e->second.first, area, top);
            expected << QString::number(c) + ": " + (c == cursorColumn ? QString() : span(high, low, low - high + 1));
        }
        QCOMPARE(drawn, expected);
        QCOMPARE(markedColumns(image, area, TimingPlot::LostColour), lostColumns);
        QCOMPARE(markedColumns(image, area, TimingPlot::DamagedColour), damagedColumns);
        QCOMPARE(rowsOf(image, area.left() + cursorColumn, TimingPlot::CursorColour, area.top(), area.bottom()).size(), area.height());
    }

    // A click anywhere over a column gives that column's x; beside the area, the nearest end.
    void clickGivesX()
    {
        TimingPlot plot;
        plot.resize(300, 120);
        const QRect area = plot.plotArea();
        const qint64 first = 5000000;
        plot.setRange(first, first + (area.width() - 1) * UsPerColumn);
        QSignalSpy clicked(&plot, &TimingPlot::clicked);
        for (const int x : {area.left(), area.left() + 17, area.right(), area.left() - 20, plot.width() - 1})
            QTest::mouseClick(&plot, Qt::LeftButton, {}, QPoint(x, area.center().y()));
        QTest::mouseClick(&plot, Qt::RightButton, {}, area.center());
        QList<qint64> xs;
        for (const QList<QVariant> &signal : clicked)
            xs << (signal[0].toLongLong() - first) / UsPerColumn;
        QCOMPARE(xs, QList<qint64>({0, 17, area.width() - 1, 0, area.width() - 1}));
    }

    // 75 s at 25 frames a second: a loss early on, outside the minute shown; in it, a frame
    // stamped late by the board, one held on the way and one damaged. The window's figures are
    // those of the frames of the last 60 s, Copy copies them, the plots show each event over its
    // frame's arrival, and the window follows frames added later.
    void showsTheLastMinute()
    {
        StreamTiming timing;
        QList<qint64> arrivals;
        const auto add = [&](int i) {
            const qint64 late = i == 1000 ? HeldUs : 0; // stamped late by the board
            const qint64 held = i == 1500 ? HeldUs : 0; // held on the way
            arrivals << 900000000 + i * PeriodUs + late + held;
            timing.add(7000000 + i * PeriodUs + late, arrivals.last(), i == 100 || i == 1890 ? 1 : 0);
            if (i == 1600)
                timing.markNewestDamaged();
        };
        add(0); // alone, the minute shown ends at its arrival
        StreamTimingWindow alone(timing);
        alone.show();
        auto *plot = alone.findChild<TimingPlot *>("latencyPlot");
        QSignalSpy clicked(plot, &TimingPlot::clicked);
        QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(plot->width() - 1, plot->plotArea().center().y()));
        QCOMPARE(clicked.value(0).value(0).toLongLong(), arrivals[0]);
        alone.hide();
        int frames = 1875;
        for (int i = 1; i < frames; ++i)
            add(i);
        const auto lastMinute = [&] {
            qint64 first = 0;
            while (arrivals[first] < arrivals.last() - StreamTimingWindow::ShownSpanUs)
                ++first;
            return timing.figures(first, timing.size()).text();
        };
        QVERIFY(lastMinute() != timing.figures().text()); // the early loss is left out

        StreamTimingWindow window(timing);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto *figures = window.findChild<QLabel *>("figuresText");
        QCOMPARE(figures->text(), lastMinute());
        COMPARE_WITH_APPROVED(window.grab().toImage(), "stream timing");
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(window.findChild<QPushButton *>("copyButton"), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), figures->text());

        // Each event over its frame's arrival, in the plot of its series.
        auto *intervals = window.findChild<TimingPlot *>("intervalPlot");
        auto *latencies = window.findChild<TimingPlot *>("latencyPlot");
        const auto columnOf = [&](int frame) {
            const double share = double(arrivals[frame] - arrivals.last() + StreamTimingWindow::ShownSpanUs)
                / double(StreamTimingWindow::ShownSpanUs);
            return int(std::lround(share * (intervals->plotArea().width() - 1)));
        };
        QCOMPARE(columnsAbove(intervals, PeriodUs + HeldUs / 2), QList<int>{columnOf(1000)});
        QCOMPARE(columnsAbove(latencies, HeldUs / 2), QList<int>{columnOf(1500)});

        for (; frames < 1900; ++frames)
            add(frames);
        QTRY_COMPARE(figures->text(), lastMinute()); // with the loss among them
    }
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
