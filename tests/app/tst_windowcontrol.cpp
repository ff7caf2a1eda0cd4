#include "CommandServerThread.h"
#include "Records.h"
#include "WindowRig.h"

#include <atomic>

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

class tst_WindowControl : public QObject
{
    Q_OBJECT

private slots:
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
};

QTEST_MAIN(tst_WindowControl)
#include "tst_windowcontrol.moc"
