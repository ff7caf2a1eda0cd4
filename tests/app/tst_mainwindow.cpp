#include "ElidedLabel.h"
#include "Records.h"
#include "ViewScaler.h"
#include "WindowRig.h"

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
            { "tabSource", "toolTip", "Control Image Source" },
            { "tabSaveImage", "toolTip", "Image capture options" },
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
        QMouseEvent move(QEvent::MouseMove, lastColumn, lastColumn, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(view->viewport(), &move);
        const QList<QLabel *> readouts = window.statusBar()->findChildren<QLabel *>().mid(1);
        QCOMPARE(readouts.size(), 2);
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
        QFETCH(QSize, shown);
        const QPixmap frame = picture(source.width(), source.height(), format, 5);
        for (int warned = 0; frame.isNull() && warned < 2; ++warned) // by ours and by Qt's
            QTest::ignoreMessage(QtWarningMsg, "QPixmap::scaled: Pixmap is a null pixmap");
        const QPixmap ours = ViewScaler().scaled(frame, view);
        QCOMPARE(ours.size(), shown);
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
};

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
