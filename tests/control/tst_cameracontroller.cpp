#include "CameraController.h"
#include "CommandController.h"
#include "CommandServer.h"
#include "CommandServerThread.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

namespace {
constexpr int Timeout = CommandController::CommandTimeoutMs;
constexpr int MarginMs = 2000;

// "01001e 020000" -> the requests 01 00 1E and 02 00 00.
QList<QByteArray> requests(const char *hex)
{
    QList<QByteArray> list;
    for (const QByteArray &word : QByteArray(hex).split(' ')) {
        if (!word.isEmpty())
            list << QByteArray::fromHex(word);
    }
    return list;
}

quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

// Collects the server's signals on the test's thread.
class ServerSignals : public QObject
{
public:
    explicit ServerSignals(CommandServer *server)
    {
        connect(server, &CommandServer::configurationApplied, this,
                [this](int format, int width, int height, int fps) {
                    applied << QList<int>{format, width, height, fps};
                });
        connect(server, &CommandServer::applicationSwitched, this,
                [this](int code, bool on) { switched << qMakePair(code, on); });
    }

    QList<QList<int>> applied;
    QList<QPair<int, bool>> switched;
};

// A controller talking to a server in its own thread.
struct Rig {
    CommandServerThread server;
    CommandController command{QStringLiteral("127.0.0.1"), server.port()};
    CameraController camera{&command};
    QSignalSpy states{&command, &CommandController::connection_state};
    ServerSignals serverSignals{server.get()};

    QList<int> stateList() const
    {
        QList<int> list;
        for (const QList<QVariant> &arguments : states)
            list << arguments.at(0).toInt();
        return list;
    }
};
}

class tst_CameraController : public QObject
{
    Q_OBJECT

private slots:
    // Send Values
    void sendValuesAfterConstruction();
    void storedConfigurationSent_data();
    void storedConfigurationSent();
    void invalidValuesKeepEarlierOnes();
    void sequenceGoesOnAfterNonZeroResults();
    void sequenceStopsAtFirstFailedExchange_data();
    void sequenceStopsAtFirstFailedExchange();
    void sequenceWithoutListener();
    void appliedOnSimulator_data();
    void appliedOnSimulator();

    // Frame rate and probe
    void sendFps_data();
    void sendFps();
    void tryConnection_data();
    void tryConnection();

    // Applications
    void switchOffThenOn();
    void switchOffNotCarriedOut_data();
    void switchOffNotCarriedOut();
    void rechoosingCurrentApplication();
};

void tst_CameraController::sendValuesAfterConstruction()
{
    Rig rig;
    rig.server->setProducibleFormats({0, 1, 2, 3, 4});

    QElapsedTimer clock;
    clock.start();
    rig.camera.send_camera_config();
    QVERIFY(clock.elapsed() < 5 * 2 * Timeout + MarginMs);

    QCOMPARE(rig.server->requests(), requests("01001e 020000 030280 0401e0 050001"));
    QCOMPARE(rig.stateList(), QList<int>({1, 1, 1, 1, 1}));
    QTRY_COMPARE(rig.serverSignals.applied, QList<QList<int>>{QList<int>({0, 640, 480, 30})});
    QCOMPARE(rig.server->currentConfiguration(), (CommandServer::Configuration{0, 640, 480, 30}));
}

void tst_CameraController::storedConfigurationSent_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QString>("debugLine");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("all valid") << 15 << 1 << 320 << 240 << "Selected config: 15 1 320 240 \n"
                               << QByteArray("01000f 020001 030140 0400f0 050001");
    // A size chosen while the format list has no selection.
    QTest::newRow("format -1") << 0 << -1 << 640 << 480 << "Selected config: 30 -1 640 480 \n"
                               << QByteArray("01001e 02ffff 030280 0401e0 050001");
    QTest::newRow("fps 1") << 1 << 4 << 400 << 400 << "Selected config: 1 4 400 400 \n"
                           << QByteArray("010001 020004 030190 040190 050001");
    QTest::newRow("fps 30") << 30 << 0 << 640 << 480 << "Selected config: 30 0 640 480 \n"
                            << QByteArray("01001e 020000 030280 0401e0 050001");
    QTest::newRow("fps 31 dropped") << 31 << 1 << 640 << 480 << "Selected config: 30 1 640 480 \n"
                                    << QByteArray("01001e 020001 030280 0401e0 050001");
    QTest::newRow("fps -2 dropped") << -2 << 1 << 640 << 480 << "Selected config: 30 1 640 480 \n"
                                    << QByteArray("01001e 020001 030280 0401e0 050001");
    QTest::newRow("format 5 dropped") << 10 << 5 << 640 << 480 << "Selected config: 10 0 640 480 \n"
                                      << QByteArray("01000a 020000 030280 0401e0 050001");
    QTest::newRow("format 6 kept") << 10 << 6 << 640 << 480 << "Selected config: 10 6 640 480 \n"
                                   << QByteArray("01000a 020006 030280 0401e0 050001");
    QTest::newRow("sizes 0 and -1 dropped") << 5 << 1 << 0 << -1 << "Selected config: 5 1 640 480 \n"
                                            << QByteArray("010005 020001 030280 0401e0 050001");
    QTest::newRow("size above 16 bits") << 5 << 1 << 70000 << 1 << "Selected config: 5 1 70000 1 \n"
                                        << QByteArray("010005 020001 031170 040001 050001");
}

void tst_CameraController::storedConfigurationSent()
{
    QFETCH(int, fps);
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, debugLine);
    QFETCH(QByteArray, sent);

    Rig rig;
    QTest::ignoreMessage(QtDebugMsg, qPrintable(debugLine));
    rig.camera.store_config(fps, format, width, height);
    QVERIFY(rig.server->requests().isEmpty());
    QCOMPARE(rig.states.size(), 0);

    // Refused values (65535, a width of 70000 cut to 4464) do not end the sequence.
    rig.camera.send_camera_config();
    QCOMPARE(rig.server->requests(), requests(sent.constData()));
    QCOMPARE(rig.stateList(), QList<int>({1, 1, 1, 1, 1}));
}

void tst_CameraController::invalidValuesKeepEarlierOnes()
{
    Rig rig;
    QTest::ignoreMessage(QtDebugMsg, "Selected config: 15 1 320 240 \n");
    rig.camera.store_config(15, 1, 320, 240);
    QTest::ignoreMessage(QtDebugMsg, "Selected config: 15 1 320 240 \n");
    rig.camera.store_config(0, 5, 0, 0);

    rig.camera.send_camera_config();
    QCOMPARE(rig.server->requests(), requests("01000f 020001 030140 0400f0 050001"));
}

void tst_CameraController::sequenceGoesOnAfterNonZeroResults()
{
    Rig rig;
    rig.server->setRefuseAll(true);
    rig.camera.send_camera_config();

    QCOMPARE(rig.server->requests(), requests("01001e 020000 030280 0401e0 050001"));
    QCOMPARE(rig.stateList(), QList<int>({1, 1, 1, 1, 1}));
    QCoreApplication::processEvents();
    QVERIFY(rig.serverSignals.applied.isEmpty());
}

void tst_CameraController::sequenceStopsAtFirstFailedExchange_data()
{
    QTest::addColumn<int>("failing");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("frame rate") << 1 << QByteArray("01001e");
    QTest::newRow("format") << 2 << QByteArray("01001e 020000");
    QTest::newRow("width") << 3 << QByteArray("01001e 020000 030280");
    QTest::newRow("height") << 4 << QByteArray("01001e 020000 030280 0401e0");
}

void tst_CameraController::sequenceStopsAtFirstFailedExchange()
{
    QFETCH(int, failing);
    QFETCH(QByteArray, sent);

    Rig rig;
    CommandServer *server = rig.server.get();
    // Runs on the server's thread before the request is answered.
    connect(
        server, &CommandServer::requestReceived, server,
        [server, failing] {
            if (server->requests().size() == failing)
                server->setReplyShape(CommandServer::ReplyShape::NoReply);
        },
        Qt::DirectConnection);

    QElapsedTimer clock;
    clock.start();
    rig.camera.send_camera_config();
    QVERIFY(clock.elapsed() < failing * 2 * Timeout + MarginMs);

    QCOMPARE(rig.server->requests(), requests(sent.constData()));
    QList<int> expectedStates(failing - 1, 1);
    expectedStates << -1;
    QCOMPARE(rig.stateList(), expectedStates);
    QCoreApplication::processEvents();
    QVERIFY(rig.serverSignals.applied.isEmpty());
}

void tst_CameraController::sequenceWithoutListener()
{
    CommandController command(QStringLiteral("127.0.0.1"), closedPort());
    CameraController camera(&command);
    QSignalSpy states(&command, &CommandController::connection_state);

    QElapsedTimer clock;
    clock.start();
    camera.send_camera_config();
    QVERIFY(clock.elapsed() < Timeout + MarginMs);
    QCOMPARE(states.size(), 1);
    QCOMPARE(states.at(0).at(0).toInt(), -1);
}

void tst_CameraController::appliedOnSimulator_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QList<QList<int>>>("applied");

    using Applied = QList<QList<int>>;
    QTest::newRow("Gray QVGA 15") << 15 << 1 << 320 << 240 << Applied{{1, 320, 240, 15}};
    // The format is refused, the rest applies with the format before.
    QTest::newRow("JPEG not produced") << 6 << 0 << 400 << 400 << Applied{{1, 400, 400, 6}};
    QTest::newRow("640x400 not produced") << 15 << 1 << 640 << 400 << Applied{};
}

void tst_CameraController::appliedOnSimulator()
{
    QFETCH(int, fps);
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QList<QList<int>>, applied);

    Rig rig;
    const CommandServer::Configuration before = rig.server->currentConfiguration();
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Selected config: "));
    rig.camera.store_config(fps, format, width, height);
    rig.camera.send_camera_config();
    QCOMPARE(rig.server->requests().size(), 5);

    QCoreApplication::processEvents();
    QCOMPARE(rig.serverSignals.applied, applied);
    if (applied.isEmpty()) {
        QCOMPARE(rig.server->currentConfiguration(), before);
    } else {
        const QList<int> &now = applied.first();
        QCOMPARE(rig.server->currentConfiguration(),
                 (CommandServer::Configuration{now[0], now[1], now[2], now[3]}));
    }
}

void tst_CameraController::sendFps_data()
{
    QTest::addColumn<int>("fps");
    QTest::addColumn<bool>("sent");

    QTest::newRow("0") << 0 << false;
    QTest::newRow("1") << 1 << true;
    QTest::newRow("15") << 15 << true;
    QTest::newRow("30") << 30 << true;
    QTest::newRow("31") << 31 << false;
    QTest::newRow("-15") << -15 << false;
}

void tst_CameraController::sendFps()
{
    QFETCH(int, fps);
    QFETCH(bool, sent);

    Rig rig;
    rig.camera.send_fps(fps);
    const QByteArray request = QByteArray::fromHex("0100") + char(fps);
    QCOMPARE(rig.server->requests(), sent ? QList<QByteArray>{request} : QList<QByteArray>{});
    QCOMPARE(rig.states.size(), sent ? 1 : 0);

    // Only a sent rate is recorded.
    rig.server->clearRequests();
    rig.camera.send_camera_config();
    QCOMPARE(rig.server->requests().value(0), sent ? request : QByteArray::fromHex("01001e"));
}

void tst_CameraController::tryConnection_data()
{
    QTest::addColumn<CommandServer::ReplyShape>("shape");
    QTest::addColumn<bool>("refuseAll");
    QTest::addColumn<int>("state");

    QTest::newRow("answered") << CommandServer::ReplyShape::Normal << false << 1;
    QTest::newRow("non-zero result") << CommandServer::ReplyShape::Normal << true << 1;
    QTest::newRow("no reply") << CommandServer::ReplyShape::NoReply << false << -1;
}

void tst_CameraController::tryConnection()
{
    QFETCH(CommandServer::ReplyShape, shape);
    QFETCH(bool, refuseAll);
    QFETCH(int, state);

    Rig rig;
    rig.server->setReplyShape(shape);
    rig.server->setRefuseAll(refuseAll);
    QCOMPARE(rig.camera.try_connection(), 0);
    QCOMPARE(rig.server->requests(), requests("000000"));
    QCOMPARE(rig.stateList(), QList<int>{state});
}

void tst_CameraController::switchOffThenOn()
{
    Rig rig;
    QTest::ignoreMessage(QtDebugMsg, "Prev is 0 new is 6");
    rig.camera.switch_application(6);
    QCOMPARE(rig.server->requests(), requests("000000 060001"));
    QCOMPARE(rig.server->activeApplications(), QSet<int>{6});

    rig.server->clearRequests();
    QTest::ignoreMessage(QtDebugMsg, "Prev is 6 new is 10");
    rig.camera.switch_application(10);
    QCOMPARE(rig.server->requests(), requests("060000 0a0001"));
    QCOMPARE(rig.server->activeApplications(), QSet<int>{10});

    using Switch = QPair<int, bool>;
    QTRY_COMPARE(rig.serverSignals.switched,
                 (QList<Switch>{{0, false}, {6, true}, {6, false}, {10, true}}));
}

void tst_CameraController::switchOffNotCarriedOut_data()
{
    QTest::addColumn<CommandServer::ReplyShape>("shape");
    QTest::addColumn<bool>("refuseAll");

    QTest::newRow("non-zero result") << CommandServer::ReplyShape::Normal << true;
    QTest::newRow("failed exchange") << CommandServer::ReplyShape::NoReply << false;
}

void tst_CameraController::switchOffNotCarriedOut()
{
    QFETCH(CommandServer::ReplyShape, shape);
    QFETCH(bool, refuseAll);

    Rig rig;
    rig.server->setReplyShape(shape);
    rig.server->setRefuseAll(refuseAll);
    QTest::ignoreMessage(QtDebugMsg, "Prev is 0 new is 11");
    rig.camera.switch_application(11);
    QCOMPARE(rig.server->requests(), requests("000000"));
    QVERIFY(!rig.server->activeApplications().contains(11));

    // The refused choice is still the one switched off next.
    rig.server->setReplyShape(CommandServer::ReplyShape::Normal);
    rig.server->setRefuseAll(false);
    rig.server->clearRequests();
    QTest::ignoreMessage(QtDebugMsg, "Prev is 11 new is 8");
    rig.camera.switch_application(8);
    QCOMPARE(rig.server->requests(), requests("0b0000 080001"));
    QCOMPARE(rig.server->activeApplications(), QSet<int>{8});
}

void tst_CameraController::rechoosingCurrentApplication()
{
    Rig rig;
    QTest::ignoreMessage(QtDebugMsg, "Prev is 0 new is 0");
    rig.camera.switch_application(0);
    QCOMPARE(rig.server->requests(), requests("000000"));

    QTest::ignoreMessage(QtDebugMsg, "Prev is 0 new is 6");
    rig.camera.switch_application(6);
    rig.server->clearRequests();
    QTest::ignoreMessage(QtDebugMsg, "Prev is 6 new is 6");
    rig.camera.switch_application(6);
    QCOMPARE(rig.server->requests(), requests("060000"));
    QVERIFY(rig.server->activeApplications().isEmpty());

    rig.server->clearRequests();
    QTest::ignoreMessage(QtDebugMsg, "Prev is 6 new is 8");
    rig.camera.switch_application(8);
    QCOMPARE(rig.server->requests(), requests("060000 080001"));
}

QTEST_GUILESS_MAIN(tst_CameraController)
#include "tst_cameracontroller.moc"
