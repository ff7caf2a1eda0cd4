#include "JpegEncoder.h"
#include "Records.h"
#include "WindowRig.h"

// The status bar's permanent area and the view's own actions, beside the form.
class tst_ViewReadouts : public QObject
{
    Q_OBJECT

private slots:
    void statisticsReadout();
    void pixelValues_data();
    void pixelValues();
    void pixelMappingThroughScalingAndScrolling();
    void savePicture_data();
    void savePicture();
    void viewKeys();
};

// 0: pixel readout, 1: statistics; after the form's own status label.
static QLabel *readout(MainWindow &window, int index)
{
    return window.statusBar()->findChildren<QLabel *>().value(1 + index);
}

static QGraphicsView *view(MainWindow &window) { return child<QGraphicsView>(&window, "graphicsView"); }

// Picks an item of the view's context menu as a right click opens it.
static void chooseFromViewMenu(MainWindow &window, const QString &item)
{
    QTimer::singleShot(0, &window, [item] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        QVERIFY(menu);
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

void tst_ViewReadouts::statisticsReadout()
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
    QVERIFY(label->toolTip().contains("Frames received: 0\nFrames shown: 0\nFrames damaged: 0\n"));
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

static QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

void tst_ViewReadouts::pixelValues_data()
{
    QTest::addColumn<FrameRecord>("record");
    QTest::addColumn<QPoint>("pixel");
    QTest::addColumn<QString>("text"); // a colour frame's readout ends with the R, G, B on screen
    // 4 x 2 frames; the pixel at (3, 1) takes chroma of column pair 1.
    const QByteArray luma = bytes({ 16, 50, 90, 130, 170, 210, 235, 81 });
    const QByteArray uyvy = bytes({ 90, 16, 240, 50, 54, 90, 34, 130, 128, 170, 128, 210, 240, 235, 110, 81 });
    const QByteArray chroma = bytes({ 90, 54, 240, 34 });
    QTest::newRow("gray") << makeRecord(1, 4, 2, luma) << QPoint(2, 1) << "x 2 y 1 \u00B7 235";
    QTest::newRow("uyvy") << makeRecord(2, 4, 2, uyvy) << QPoint(3, 1)
                          << "x 3 y 1 \u00B7 Y 81 U 240 V 110 \u00B7 ";
    QTest::newRow("yuv420") << makeRecord(3, 4, 2, luma + chroma) << QPoint(3, 1)
                            << "x 3 y 1 \u00B7 Y 81 U 54 V 34 \u00B7 ";
    QTest::newRow("nv12") << makeRecord(4, 4, 2, luma + chroma) << QPoint(2, 0)
                          << "x 2 y 0 \u00B7 Y 90 U 240 V 34 \u00B7 ";
    QByteArray rgb;
    for (int i = 0; i < 16 * 16; ++i)
        rgb += bytes({ 200, 30, 90 });
    const auto *rgbData = reinterpret_cast<const uint8_t *>(rgb.constData());
    QTest::newRow("jpeg") << makeRecord(0, 16, 16, encodeJpeg(rgbData, 16, 16, 3, 95))
                          << QPoint(9, 3) << "x 9 y 3 \u00B7 ";
}

void tst_ViewReadouts::pixelValues()
{
    QFETCH(FrameRecord, record);
    QFETCH(QPoint, pixel);
    QFETCH(QString, text);
    WindowRig rig;
    rig.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&rig.window));
    QVERIFY(rig.connect());
    QVERIFY(rig.send(record));
    moveMouse(rig.window, view(rig.window)->mapFromScene(QPointF(pixel)));
    // The R, G, B read are those on screen; so is a gray level.
    const QColor shown = rig.shown()->pixmap().toImage().pixelColor(pixel);
    const QString rgb = QStringLiteral("R %1 G %2 B %3")
                            .arg(shown.red()).arg(shown.green()).arg(shown.blue());
    const QString read = readout(rig.window, 0)->text();
    QCOMPARE(read, text.endsWith(QStringLiteral("\u00B7 ")) ? text + rgb : text);
    QVERIFY2(read.endsWith(rgb) || read.endsWith(QString::number(shown.red())), qPrintable(read));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(view(rig.window)->viewport(), &leave);
    QCOMPARE(readout(rig.window, 0)->text(), QString());
}

static QString grayText(int x, int y, int width, int level = -1)
{
    return QStringLiteral("x %1 y %2 \u00B7 %3").arg(x).arg(y).arg(level >= 0 ? level : ((y * width + x) * 7) & 255);
}

void tst_ViewReadouts::pixelMappingThroughScalingAndScrolling()
{
    WindowRig rig;
    MainWindow &w = rig.window;
    QGraphicsView *v = view(w);
    v->setFixedSize(500, 500);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(rig.connect());
    QLabel *label = readout(w, 0);

    // Scrolled to the far corner: the view's last pixel shows the frame's last.
    QVERIFY(rig.send(grayRecord(800, 600)));
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

void tst_ViewReadouts::savePicture_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("written"); // empty: refused
    QTest::addColumn<QByteArray>("format");
    QTest::newRow("png") << "frame.png" << "frame.png" << QByteArray("png");
    QTest::newRow("bmp") << "frame.BMP" << "frame.BMP" << QByteArray("bmp");
    QTest::newRow("no extension") << "frame" << "frame.png" << QByteArray("png");
    QTest::newRow("missing folder") << "missing/frame.png" << "" << QByteArray();
    QTest::newRow("folder at the name") << "taken.png" << "" << QByteArray();
}

void tst_ViewReadouts::savePicture()
{
    QFETCH(QString, name);
    QFETCH(QString, written);
    QFETCH(QByteArray, format);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("taken.png")));
    WindowRig rig;
    child<QCheckBox>(&rig.window, "check_Rescale")->setChecked(true);
    QVERIFY(rig.connect());
    QVERIFY(rig.send(grayRecord(64, 48)));
    const QStringList before = QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries);

    BoxCloser boxes;
    bool saved = false;
    QMetaObject::invokeMethod(&rig.window, "savePictureTo", Q_RETURN_ARG(bool, saved), Q_ARG(QString, dir.filePath(name)));
    QCOMPARE(saved, !written.isEmpty());
    if (written.isEmpty()) { // the reason shown, no partial file left
        QCOMPARE(boxes.texts.size(), 1);
        QVERIFY2(boxes.texts[0].startsWith("Could not save the picture to"), qPrintable(boxes.texts[0]));
        QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), before);
        return;
    }
    QImageReader reader(dir.filePath(written));
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QCOMPARE(image.size(), QSize(64, 48)); // the frame, not the scaled view
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 64; ++x) {
            const int level = ((y * 64 + x) * 7) & 255;
            QCOMPARE(image.pixelColor(x, y), QColor(level, level, level));
        }
}

// While the view has the focus, Ctrl+S and Ctrl+C act on the picture; a line edit keeps its own.
void tst_ViewReadouts::viewKeys()
{
    QTemporaryDir dir;
    WindowRig rig;
    MainWindow &w = rig.window;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QVERIFY(rig.connect());
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

    QTimer::singleShot(0, &w, [&dir] {
        auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
        QVERIFY(dialog);
        dialog->selectFile(dir.filePath("keyed.png"));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QTest::keyClick(view(w), Qt::Key_S, Qt::ControlModifier);
    QTRY_COMPARE(QImage(dir.filePath("keyed.png")).convertToFormat(picture.format()), picture);
}

QTEST_MAIN(tst_ViewReadouts)
#include "tst_viewreadouts.moc"
