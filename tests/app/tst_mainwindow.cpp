#include "MainWindow.h"
#include "WidgetLookup.h"
#include "RecordBuilder.h"

#include <QtWidgets>
#include <QtTest>
#include <QTcpServer>
#include <QTcpSocket>

class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initialState();
    void windowSizes();
    void listsAndTexts();
    void videoProblemIsShownInRed();
    void statusBarMessageIsReplaced();
    void framesAreShownAndRescaled();
    void editsTakeEffectAtNextConnection();
};

void tst_MainWindow::initialState()
{
    MainWindow window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Brevant: Image Viewer and Recorder"));
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(child<QTabWidget>(&window, "tabWidget")->currentIndex(), 0);
    QCOMPARE(child<QTabWidget>(&window, "tabWidget")->currentWidget()->objectName(),
             QStringLiteral("tabSource"));

    QCOMPARE(child<QComboBox>(&window, "comboFormat")->currentIndex(), -1);
    QCOMPARE(child<QComboBox>(&window, "comboFps")->currentIndex(), -1);
    QCOMPARE(child<QComboBox>(&window, "comboImgSize")->currentIndex(), 0);
    QVERIFY(child<QRadioButton>(&window, "radioNoApp")->isChecked());
    QVERIFY(!child<QPushButton>(&window, "buttonStartCapture")->isEnabled());
    QVERIFY(!child<QPushButton>(&window, "buttonStopCapture")->isEnabled());
    QVERIFY(!child<QCheckBox>(&window, "checkGyro")->isEnabled());
    QVERIFY(!child<QCheckBox>(&window, "checkLum")->isEnabled());
    QVERIFY(!child<QRadioButton>(&window, "radioColorDetec")->isEnabled());
    QVERIFY(!child<QRadioButton>(&window, "radioAutoSharp")->isCheckable());

    QCOMPARE(labelText(&window, "labelVideoState"), QStringLiteral("Problem"));
    QCOMPARE(labelText(&window, "labelFormat"), QString());
    QCOMPARE(labelText(&window, "labelImageName"), QStringLiteral("bvtgrab_0.jpg"));
    QCOMPARE(child<QLineEdit>(&window, "editPrefix")->text(), QStringLiteral("bvtgrab_"));

    const QString host = child<QLineEdit>(&window, "editHostname")->text();
    QVERIFY(!host.isEmpty());
    const QString hostTip = QStringLiteral("Set platform hostname (default %1)").arg(host);
    QCOMPARE(child<QLineEdit>(&window, "editHostname")->toolTip(), hostTip);
    QCOMPARE(child<QLabel>(&window, "dispHostname")->toolTip(), hostTip);
    QVERIFY(window.toolTip().startsWith("Brevant, specialist in embedded vision systems. "));
    const QString web = window.toolTip().section(' ', -1);
    for (const char *logo : { "label", "label_2", "label_3" }) {
        QCOMPARE(child<QLabel>(&window, logo)->toolTip(), web);
        QCOMPARE(child<QLabel>(&window, logo)->pixmap().size(), QSize(200, 30));
    }

    // The status text follows the start-up probe of the command port.
    const QList<QLabel *> statusLabels = window.statusBar()->findChildren<QLabel *>();
    QCOMPARE(statusLabels.size(), 1);
    const bool probed = labelText(&window, "labelCmdState") == QLatin1String("OK");
    QCOMPARE(statusLabels.at(0)->text(), probed ? QStringLiteral("Brevant Image Controller: Ready")
                                                : QStringLiteral("Error: try to reconnect"));
}

void tst_MainWindow::windowSizes()
{
    MainWindow window;
    window.setMinimumSize(850, 520);
    QCOMPARE(window.size(), QSize(863, 520));
    QCOMPARE(window.maximumSize(), QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX));
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto *tabs = child<QTabWidget>(&window, "tabWidget");
    window.resize(1400, 700);
    QTRY_COMPARE(window.width(), 1400);
    QTRY_COMPARE(tabs->width(), 250); // all extra width goes to the view
    QCOMPARE(child<QGraphicsView>(&window, "graphicsView")->width(), 1400 - 250);
    window.resize(100, 100);
    QTRY_COMPARE(window.size(), QSize(850, 520));
    QVERIFY(tabs->width() >= 200);
}

void tst_MainWindow::listsAndTexts()
{
    MainWindow window;
    auto items = [&window](const char *name) {
        QStringList texts;
        auto *combo = child<QComboBox>(&window, name);
        for (int i = 0; i < combo->count(); ++i)
            texts << combo->itemText(i);
        return texts;
    };
    QCOMPARE(items("comboFormat"),
             (QStringList { "Jpeg", "Raw - Grayscale", "Raw - Color (UYVY)", "Raw - Color (YUV420)",
                            "Raw - Color (NV12)" }));
    QCOMPARE(items("comboImgSize"),
             (QStringList { "", "VGA (640x480)", "QVGA (320x240)", "Endoscope (400x400)" }));
    QCOMPARE(items("comboFps"), (QStringList { "30", "15", "10", "6", "5", "3", "2", "1" }));

    auto *tabs = child<QTabWidget>(&window, "tabWidget");
    QCOMPARE(tabs->tabText(0), QStringLiteral("Source"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("Save"));
    QCOMPARE(tabs->tabText(2), QStringLiteral("Application"));
    QCOMPARE(child<QLabel>(&window, "labelImageName")->styleSheet(),
             QStringLiteral("font: oblique 9pt \"Andale Mono\";"));
    QCOMPARE(child<QCheckBox>(&window, "checkSaveRaw")->toolTip(),
             QStringLiteral("Save raw data directly (if not checked, image will be converted to "
                            "BMP. Not available for Jpg stream)"));
    QCOMPARE(child<QWidget>(&window, "tabApplications")->toolTip(),
             QStringLiteral("Brevant Demonstrative Applicatons (processed by the platform)"));
}

void tst_MainWindow::videoProblemIsShownInRed()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 unused = server.serverPort();
    server.close();

    MainWindow window;
    auto *port = child<QLineEdit>(&window, "editVideoPort");
    port->setText(QString::number(unused));
    QTest::keyClick(port, Qt::Key_Return);
    auto *state = child<QLabel>(&window, "labelVideoState");
    QTRY_COMPARE_WITH_TIMEOUT(state->styleSheet(), QStringLiteral("QLabel { color : red; }"), 10000);
    QCOMPARE(state->text(), QStringLiteral("Problem"));
}

void tst_MainWindow::statusBarMessageIsReplaced()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QStatusBar *bar = window.statusBar();
    QLabel *ready = bar->findChild<QLabel *>();
    QVERIFY(ready);

    QMetaObject::invokeMethod(&window, "status_area_show_message", Q_ARG(QString, "first"));
    QMetaObject::invokeMethod(&window, "status_area_show_message", Q_ARG(QString, "second"));
    QCOMPARE(bar->currentMessage(), QStringLiteral("second"));
    QVERIFY(!ready->isVisible()); // a temporary message hides the normal widget
    QTRY_COMPARE_WITH_TIMEOUT(bar->currentMessage(), QString(), 5000);
    QTRY_VERIFY(ready->isVisible());
}

class FrameSender
{
public:
    FrameSender(MainWindow &window)
    {
        server.listen(QHostAddress::LocalHost, 0);
        child<QLineEdit>(&window, "editHostname")->setText(QStringLiteral("127.0.0.1"));
        auto *port = child<QLineEdit>(&window, "editVideoPort");
        port->setText(QString::number(server.serverPort()));
        QTest::keyClick(port, Qt::Key_Return);
    }
    bool send(const QByteArray &bytes)
    {
        if (!peer) {
            // The window connects through the event loop, so wait without blocking it.
            if (!QTest::qWaitFor([this] { return server.hasPendingConnections(); }, 10000))
                return false;
            peer = server.nextPendingConnection();
        }
        peer->write(bytes);
        return true;
    }
    QTcpServer server;
    QTcpSocket *peer = nullptr;
};

void tst_MainWindow::framesAreShownAndRescaled()
{
    MainWindow window;
    auto *view = child<QGraphicsView>(&window, "graphicsView");
    view->setFixedSize(500, 500);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *item = qgraphicsitem_cast<QGraphicsPixmapItem *>(view->scene()->items().value(0));
    QVERIFY(item);
    QCOMPARE(view->scene()->items().size(), 1);
    QVERIFY(item->pixmap().isNull());

    FrameSender sender(window);
    QVERIFY(sender.send(grayRecord(640, 480, 1).bytes()));
    QTRY_COMPARE_WITH_TIMEOUT(item->pixmap().size(), QSize(640, 480), 10000);
    QTRY_COMPARE(labelText(&window, "labelFormat"), QStringLiteral("Gray"));
    QCOMPARE(labelText(&window, "labelSize"), QStringLiteral("640x480"));
    QCOMPARE(labelText(&window, "labelFps"), QStringLiteral("10"));
    QCOMPARE(labelText(&window, "labelVideoState"), QStringLiteral("OK"));
    QCOMPARE(child<QLabel>(&window, "labelVideoState")->styleSheet(),
             QStringLiteral("QLabel { color : green; }"));
    QCOMPARE(child<QLabel>(&window, "labelVideoState")->toolTip(), QStringLiteral("Connected"));

    child<QCheckBox>(&window, "check_Rescale")->setChecked(true);
    QCOMPARE(item->pixmap().size(), QSize(640, 480)); // takes effect with the next frame
    QVERIFY(sender.send(grayRecord(640, 480, 2).bytes()));
    QTRY_COMPARE_WITH_TIMEOUT(item->pixmap().size(), QSize(500, 375), 10000);

    // A lost connection empties the received-stream labels.
    sender.peer->close();
    QTRY_COMPARE_WITH_TIMEOUT(labelText(&window, "labelVideoState"), QStringLiteral("Problem"), 10000);
    QCOMPARE(labelText(&window, "labelFormat"), QString());
    QCOMPARE(labelText(&window, "labelSize"), QString());
    QCOMPARE(labelText(&window, "labelFps"), QString());
}

void tst_MainWindow::editsTakeEffectAtNextConnection()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    MainWindow window;
    child<QLineEdit>(&window, "editHostname")->setText(QStringLiteral("127.0.0.1"));
    child<QLineEdit>(&window, "editVideoPort")->setText(QString::number(server.serverPort()));
    QTest::qWait(200); // typing alone never connects
    QVERIFY(!server.hasPendingConnections());
    QTest::mouseClick(child<QPushButton>(&window, "buttonReconnect"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
