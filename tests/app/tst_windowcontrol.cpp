#include "CommandServerThread.h"
#include "MainWindow.h"
#include "WidgetLookup.h"
#include "RecordBuilder.h"

#include <QtTest>
#include <QtWidgets>
#include <QTcpServer>
#include <QTcpSocket>

static QStringList hex(const QList<QByteArray> &requests)
{
    QStringList out;
    for (const QByteArray &r : requests)
        out << QString::fromLatin1(r.toHex(' ').toUpper());
    return out;
}

// A window pointed at a command server in its own thread and a video listener on 127.0.0.1.
class Rig
{
public:
    Rig()
    {
        video.listen(QHostAddress::LocalHost, 0);
        commands->setProducibleFormats({ 0, 1, 2, 3, 4 });
        child<QLineEdit>(&window, "editHostname")->setText(QStringLiteral("127.0.0.1"));
        child<QLineEdit>(&window, "editVideoPort")->setText(QString::number(video.serverPort()));
        child<QLineEdit>(&window, "editCmdPort")->setText(QString::number(commands.port()));
        QTest::keyClick(child<QLineEdit>(&window, "editCmdPort"), Qt::Key_Return);
    }

    int videoConnections()
    {
        while (QTcpSocket *s = video.nextPendingConnection()) {
            ++accepted;
            peer = s;
        }
        return accepted;
    }

    CommandServerThread commands;
    QTcpServer video;
    QTcpSocket *peer = nullptr;
    int accepted = 0;
    MainWindow window;
};

class tst_WindowControl : public QObject
{
    Q_OBJECT

private slots:
    void startupProbeWithoutPlatform();
    void commandStateIsShown();
    void sendValuesAfterStartup();
    void listChangesReconnectFourSecondsLater();
    void applicationsOnGrayStream();
    void applicationsRefusedElsewhere();
};

void tst_WindowControl::startupProbeWithoutPlatform()
{
    QTcpServer guard;
    if (!guard.listen(QHostAddress::Any, 4305))
        QSKIP("something listens on the command port of this machine");
    guard.close();

    MainWindow window; // probes the default command port, where nothing answers
    auto *state = child<QLabel>(&window, "labelCmdState");
    QCOMPARE(state->text(), QStringLiteral("Problem"));
    QCOMPARE(state->styleSheet(), QStringLiteral("QLabel { color : red; }"));
    QVERIFY(!state->toolTip().isEmpty());
    QVERIFY(state->toolTip() != QLatin1String("Command Connection Status"));
    QCOMPARE(window.statusBar()->currentMessage(), QStringLiteral("Problem in command transmission"));
    bool errorShown = false;
    for (QLabel *l : window.statusBar()->findChildren<QLabel *>())
        errorShown |= l->text() == QLatin1String("Error: try to reconnect");
    QVERIFY(errorShown);
}

void tst_WindowControl::commandStateIsShown()
{
    Rig rig;
    auto *state = child<QLabel>(&rig.window, "labelCmdState");
    QCOMPARE(state->text(), QStringLiteral("OK"));
    QCOMPARE(state->styleSheet(), QStringLiteral("QLabel { color : green; }"));
    QCOMPARE(state->toolTip(), QStringLiteral("Connected"));
    QStringList statusTexts;
    for (QLabel *l : rig.window.statusBar()->findChildren<QLabel *>())
        statusTexts << l->text();
    QVERIFY(statusTexts.contains("Brevant Image Controller: Ready"));
    QCOMPARE(hex(rig.commands->requests()), QStringList { "00 00 00" });
}

void tst_WindowControl::sendValuesAfterStartup()
{
    Rig rig;
    rig.commands->clearRequests();
    QTest::mouseClick(child<QPushButton>(&rig.window, "buttonSendConfig"), Qt::LeftButton);
    QCOMPARE(hex(rig.commands->requests()),
             (QStringList { "01 00 1E", "02 00 00", "03 02 80", "04 01 E0", "05 00 01" }));

    // A size chosen while no format is selected records format -1, sent as 65535.
    rig.commands->clearRequests();
    child<QComboBox>(&rig.window, "comboImgSize")->setCurrentIndex(2);
    QTest::mouseClick(child<QPushButton>(&rig.window, "buttonSendConfig"), Qt::LeftButton);
    QCOMPARE(hex(rig.commands->requests()).mid(0, 4),
             (QStringList { "01 00 1E", "02 FF FF", "03 01 40", "04 00 F0" }));
}

void tst_WindowControl::listChangesReconnectFourSecondsLater()
{
    Rig rig;
    QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 1, 10000);
    rig.commands->clearRequests();

    QElapsedTimer clock;
    clock.start();
    child<QComboBox>(&rig.window, "comboFps")->setCurrentIndex(1); // "15": recorded, then sent
    child<QComboBox>(&rig.window, "comboFormat")->setCurrentIndex(1);
    child<QComboBox>(&rig.window, "comboImgSize")->setCurrentIndex(3);
    QCOMPARE(hex(rig.commands->requests()), QStringList { "01 00 0F" });

    QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 4, 20000);
    // Nothing reconnects before the delay (a coarse timer may fire up to 5 % early).
    QVERIFY2(clock.elapsed() >= 3700, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(hex(rig.commands->requests()),
             (QStringList { "01 00 0F", "00 00 00", "00 00 00", "00 00 00" }));

    // The recorded configuration goes out with the next "Send Values".
    rig.commands->clearRequests();
    QTest::mouseClick(child<QPushButton>(&rig.window, "buttonSendConfig"), Qt::LeftButton);
    QCOMPARE(hex(rig.commands->requests()),
             (QStringList { "01 00 0F", "02 00 01", "03 01 90", "04 01 90", "05 00 01" }));
}

void tst_WindowControl::applicationsOnGrayStream()
{
    Rig rig;
    QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 1, 10000);
    rig.peer->write(grayRecord(8, 8, 1).bytes());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&rig.window, "labelFormat")->text(), QStringLiteral("Gray"), 10000);

    rig.commands->clearRequests();
    child<QRadioButton>(&rig.window, "radioEdgeDetec")->click();
    QCOMPARE(hex(rig.commands->requests()), (QStringList { "00 00 00", "06 00 01" }));
    child<QRadioButton>(&rig.window, "radioNoise")->click();
    QCOMPARE(hex(rig.commands->requests()).mid(2), (QStringList { "06 00 00", "0A 00 01" }));
    QCOMPARE(rig.commands->activeApplications(), QSet<int> { 10 });

    // A refused switch-off leaves the new application off.
    rig.commands->clearRequests();
    rig.commands->setRefuseAll(true);
    child<QRadioButton>(&rig.window, "radioMotion")->click();
    QCOMPARE(hex(rig.commands->requests()), QStringList { "0A 00 00" });
}

void tst_WindowControl::applicationsRefusedElsewhere()
{
    Rig rig;
    rig.commands->clearRequests();
    QStringList boxTexts;
    // Close each modal box as soon as it shows, noting its text.
    QTimer closer;
    connect(&closer, &QTimer::timeout, this, [&boxTexts] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            boxTexts << box->text();
            box->accept();
        }
    });
    closer.start(20);

    child<QRadioButton>(&rig.window, "radioMotion")->click(); // no frame yet: label empty
    QCOMPARE(boxTexts, QStringList { "Application Filters are only available on Grayscale mode" });
    QVERIFY(child<QRadioButton>(&rig.window, "radioNoApp")->isChecked());
    QVERIFY(rig.commands->requests().isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(rig.videoConnections(), 1, 10000);
    RecordBuilder colour;
    colour.format = 2;
    colour.width = 2;
    colour.height = 2;
    colour.payload = QByteArray(8, char(128));
    rig.peer->write(colour.bytes());
    QTRY_COMPARE_WITH_TIMEOUT(child<QLabel>(&rig.window, "labelFormat")->text(), QStringLiteral("UYVY"), 10000);
    child<QRadioButton>(&rig.window, "radioEdgeDetec")->click();
    QCOMPARE(boxTexts.size(), 2);
    QVERIFY(child<QRadioButton>(&rig.window, "radioNoApp")->isChecked());
    QVERIFY(rig.commands->requests().isEmpty());
}

QTEST_MAIN(tst_WindowControl)
#include "tst_windowcontrol.moc"
