#include "CommandController.h"
#include "CommandServer.h"
#include "CommandServerThread.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>
#include <vector>

namespace {
constexpr int Timeout = CommandController::CommandTimeoutMs;
// Scheduling slack on a busy machine; only upper bounds are as loose as this.
constexpr int MarginMs = 2000;

struct Exchange {
    int result = 0;
    QList<int> states;
    QStringList statusAtSignal;
    qint64 elapsedMs = 0;
};

Exchange exchange(CommandController &controller, qint8 code, quint16 value)
{
    Exchange e;
    QObject context;
    QObject::connect(&controller, &CommandController::connection_state, &context,
                     [&](int state) {
                         e.states << state;
                         e.statusAtSignal << controller.status_text();
                     });
    QElapsedTimer clock;
    clock.start();
    e.result = controller.send_command(code, value);
    e.elapsedMs = clock.elapsed();
    return e;
}

// A port on 127.0.0.1 that nothing listens on.
quint16 closedPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}
}

Q_DECLARE_METATYPE(CommandServer::ReplyShape)

class tst_CommandController : public QObject
{
    Q_OBJECT

private slots:
    void requestBytes_data();
    void requestBytes();
    void replies_data();
    void replies();
    void acceptDelay_data();
    void acceptDelay();
    void noListener();
    void connectionNotEstablished();
    void nextCommandAfterFailure_data();
    void nextCommandAfterFailure();
    void hostChangeUsedByNextCommand();
    void portChangeUsedByNextCommand();
    void portAboveRangeKeepsLowBits();
    void serverResults_data();
    void serverResults();
};

void tst_CommandController::requestBytes_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("value");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("probe, same as no-processing off") << 0 << 0 << QByteArray::fromHex("000000");
    QTest::newRow("fps 30") << 1 << 30 << QByteArray::fromHex("01001e");
    QTest::newRow("format 65535") << 2 << 65535 << QByteArray::fromHex("02ffff");
    QTest::newRow("width 640") << 3 << 640 << QByteArray::fromHex("030280");
    QTest::newRow("height 480") << 4 << 480 << QByteArray::fromHex("0401e0");
    QTest::newRow("apply") << 5 << 1 << QByteArray::fromHex("050001");
    QTest::newRow("motion on") << 11 << 1 << QByteArray::fromHex("0b0001");
    QTest::newRow("negative code") << -128 << 256 << QByteArray::fromHex("800100");
}

void tst_CommandController::requestBytes()
{
    QFETCH(int, code);
    QFETCH(int, value);
    QFETCH(QByteArray, expected);

    CommandServerThread server;
    QVERIFY(server.isListening());
    CommandController controller(QStringLiteral("127.0.0.1"), server.port());

    controller.send_command(static_cast<qint8>(code), static_cast<quint16>(value));
    QCOMPARE(server->requests(), QList<QByteArray>{expected});
}

void tst_CommandController::replies_data()
{
    QTest::addColumn<CommandServer::ReplyShape>("shape");
    QTest::addColumn<bool>("refuseAll");
    QTest::addColumn<int>("expectedResult");
    // Waits of up to Timeout each that the exchange may need.
    QTest::addColumn<int>("boundedWaits");

    using Shape = CommandServer::ReplyShape;
    QTest::newRow("normal") << Shape::Normal << false << 0 << 2;
    QTest::newRow("non-zero result") << Shape::Normal << true << int(CommandServer::Refused) << 2;
    QTest::newRow("1-byte pieces") << Shape::PiecewiseReply << true << int(CommandServer::Refused)
                                   << 4;
    QTest::newRow("5-byte reply") << Shape::LongReply << true << int(CommandServer::Refused) << 2;
    QTest::newRow("2 bytes then silence") << Shape::TruncatedReply << false << -1 << 3;
    QTest::newRow("no reply") << Shape::NoReply << false << -1 << 2;
}

void tst_CommandController::replies()
{
    QFETCH(CommandServer::ReplyShape, shape);
    QFETCH(bool, refuseAll);
    QFETCH(int, expectedResult);
    QFETCH(int, boundedWaits);

    CommandServerThread server;
    server->setReplyShape(shape);
    server->setRefuseAll(refuseAll);
    CommandController controller(QStringLiteral("127.0.0.1"), server.port());

    const Exchange e = exchange(controller, 6, 1);
    QCOMPARE(e.result, expectedResult);
    QVERIFY2(e.elapsedMs < boundedWaits * Timeout + MarginMs, qPrintable(QString::number(e.elapsedMs)));
    QCOMPARE(server->requests(), QList<QByteArray>{QByteArray::fromHex("060001")});

    // The status is already set when the state arrives: the window reads it as its tooltip then.
    if (expectedResult >= 0) {
        QCOMPARE(e.states, QList<int>{1});
        QCOMPARE(e.statusAtSignal, QStringList{QStringLiteral("Connected")});
    } else {
        QCOMPARE(e.states, QList<int>{-1});
        QVERIFY(!e.statusAtSignal.first().isEmpty());
        QVERIFY(e.statusAtSignal.first() != QLatin1String("Connected"));
        QVERIFY2(e.elapsedMs >= Timeout * 9 / 10, "a silent peer is given the full wait");
    }
    QCOMPARE(controller.status_text(), e.statusAtSignal.first());
}

void tst_CommandController::acceptDelay_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("expectedResult");

    QTest::newRow("within the wait") << Timeout / 5 << 0;
    QTest::newRow("beyond the wait") << Timeout * 3 << -1;
}

void tst_CommandController::acceptDelay()
{
    QFETCH(int, delayMs);
    QFETCH(int, expectedResult);

    CommandServerThread server;
    server->setAcceptDelay(delayMs);
    CommandController controller(QStringLiteral("127.0.0.1"), server.port());

    const Exchange e = exchange(controller, 0, 0);
    QCOMPARE(e.result, expectedResult);
    QCOMPARE(e.states, QList<int>{expectedResult < 0 ? -1 : 1});
    QVERIFY(e.elapsedMs < 2 * Timeout + MarginMs);
}

void tst_CommandController::noListener()
{
    const quint16 port = closedPort();
    QVERIFY(port != 0);

    QTcpSocket plain;
    plain.connectToHost(QStringLiteral("127.0.0.1"), port);
    QVERIFY(!plain.waitForConnected(Timeout));
    const QString refusedText = plain.errorString();

    CommandController controller(QStringLiteral("127.0.0.1"), port);
    QVERIFY(controller.status_text().isEmpty());
    const Exchange e = exchange(controller, 0, 0);
    QCOMPARE(e.result, -1);
    QCOMPARE(e.states, QList<int>{-1});
    QCOMPARE(controller.status_text(), refusedText);
    QVERIFY(e.elapsedMs < Timeout + MarginMs);
}

void tst_CommandController::connectionNotEstablished()
{
    // A listener that accepts nothing, with its queue filled: further connects hang.
    QTcpServer full;
    full.setListenBacklogSize(0);
    QVERIFY(full.listen(QHostAddress::LocalHost, 0));
    full.pauseAccepting();
    std::vector<std::unique_ptr<QTcpSocket>> fillers;
    bool hanging = false;
    while (!hanging && fillers.size() < 8) {
        fillers.push_back(std::make_unique<QTcpSocket>());
        fillers.back()->connectToHost(QHostAddress::LocalHost, full.serverPort());
        hanging = !fillers.back()->waitForConnected(Timeout);
    }
    if (!hanging)
        QSKIP("the system completes every connection to a full listen queue");

    CommandController controller(QStringLiteral("127.0.0.1"), full.serverPort());
    const Exchange e = exchange(controller, 0, 0);
    QCOMPARE(e.result, -1);
    QCOMPARE(e.states, QList<int>{-1});
    QVERIFY(!controller.status_text().isEmpty());
    QVERIFY2(e.elapsedMs >= Timeout * 9 / 10, qPrintable(QString::number(e.elapsedMs)));
    QVERIFY2(e.elapsedMs < Timeout + MarginMs, qPrintable(QString::number(e.elapsedMs)));

    // The connection attempt still under way is dropped for the next command.
    CommandServerThread server;
    controller.set_port(server.port());
    QCOMPARE(controller.send_command(0, 0), 0);
    QCOMPARE(server->requests(), QList<QByteArray>{QByteArray::fromHex("000000")});
}

void tst_CommandController::nextCommandAfterFailure_data()
{
    QTest::addColumn<CommandServer::ReplyShape>("firstShape");
    QTest::addColumn<int>("firstResult");

    using Shape = CommandServer::ReplyShape;
    QTest::newRow("after 2 bytes then silence") << Shape::TruncatedReply << -1;
    QTest::newRow("after no reply") << Shape::NoReply << -1;
    // Its two unread bytes must not be taken for the next reply.
    QTest::newRow("after 5-byte reply") << Shape::LongReply << int(CommandServer::Refused);
}

void tst_CommandController::nextCommandAfterFailure()
{
    QFETCH(CommandServer::ReplyShape, firstShape);
    QFETCH(int, firstResult);

    CommandServerThread server;
    server->setReplyShape(firstShape);
    server->setRefuseAll(true);
    CommandController controller(QStringLiteral("127.0.0.1"), server.port());
    QCOMPARE(controller.send_command(8, 1), firstResult);

    server->setReplyShape(CommandServer::ReplyShape::Normal);
    server->setRefuseAll(false);
    const Exchange e = exchange(controller, 8, 0);
    QCOMPARE(e.result, 0);
    QCOMPARE(e.states, QList<int>{1});
    QCOMPARE(controller.status_text(), QStringLiteral("Connected"));
    QCOMPARE(server->requests(),
             (QList<QByteArray>{QByteArray::fromHex("080001"), QByteArray::fromHex("080000")}));
}

void tst_CommandController::hostChangeUsedByNextCommand()
{
    CommandServerThread server;
    CommandController controller(QStringLiteral("127.0.0.1"), server.port());
    QCOMPARE(controller.send_command(0, 0), 0);

    // The server listens on 127.0.0.1 only; 127.0.0.2 is loopback without a listener.
    controller.set_host(QStringLiteral("127.0.0.2"));
    QCOMPARE(server->requests().size(), 1);
    QCOMPARE(controller.status_text(), QStringLiteral("Connected"));
    QCOMPARE(controller.send_command(1, 15), -1);
    QCOMPARE(server->requests().size(), 1);

    controller.set_host(QStringLiteral("127.0.0.1"));
    QCOMPARE(controller.send_command(1, 15), 0);
    QCOMPARE(server->requests(),
             (QList<QByteArray>{QByteArray::fromHex("000000"), QByteArray::fromHex("01000f")}));
}

void tst_CommandController::portChangeUsedByNextCommand()
{
    CommandServerThread first;
    CommandServerThread second;
    CommandController controller(QStringLiteral("127.0.0.1"), first.port());
    QCOMPARE(controller.send_command(3, 320), 0);

    controller.set_port(second.port());
    QCOMPARE(first->requests().size(), 1);
    QCOMPARE(second->requests().size(), 0);

    QCOMPARE(controller.send_command(4, 240), 0);
    QCOMPARE(first->requests(), QList<QByteArray>{QByteArray::fromHex("030140")});
    QCOMPARE(second->requests(), QList<QByteArray>{QByteArray::fromHex("0400f0")});
}

void tst_CommandController::portAboveRangeKeepsLowBits()
{
    CommandServerThread server;
    CommandController controller(QStringLiteral("127.0.0.1"), closedPort());

    // As the window passes a port field's integer: 70000 becomes 4464, here p + 65536 becomes p.
    const int typedPort = server.port() + 65536;
    controller.set_port(static_cast<quint16>(typedPort));
    QCOMPARE(controller.send_command(0, 0), 0);
    QCOMPARE(server->requests().size(), 1);
}

void tst_CommandController::serverResults_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("expected");

    const int done = CommandServer::Done;
    const int range = CommandServer::OutOfRange;
    const int notProducible = CommandServer::NotProducible;
    const int unknown = CommandServer::UnknownCommand;
    const QByteArray none;

    QTest::newRow("fps 1") << none << 1 << 1 << done;
    QTest::newRow("fps 30") << none << 1 << 30 << done;
    QTest::newRow("fps 0") << none << 1 << 0 << range;
    QTest::newRow("fps 31") << none << 1 << 31 << range;
    QTest::newRow("format Gray") << none << 2 << 1 << done;
    QTest::newRow("format JPEG not yet produced") << none << 2 << 0 << notProducible;
    QTest::newRow("format 5") << none << 2 << 5 << range;
    QTest::newRow("format 65535") << none << 2 << 65535 << range;
    QTest::newRow("width 320") << none << 3 << 320 << done;
    QTest::newRow("width 641") << none << 3 << 641 << notProducible;
    QTest::newRow("height 400") << none << 4 << 400 << done;
    QTest::newRow("height 0") << none << 4 << 0 << notProducible;
    QTest::newRow("apply") << none << 5 << 1 << done;
    QTest::newRow("apply QVGA") << QByteArray::fromHex("030140 0400f0") << 5 << 1 << done;
    QTest::newRow("apply 640x400") << QByteArray::fromHex("040190") << 5 << 1 << notProducible;
    QTest::newRow("apply value 0") << none << 5 << 0 << range;
    QTest::newRow("no processing on") << none << 0 << 1 << done;
    QTest::newRow("edge detector on") << none << 6 << 1 << done;
    QTest::newRow("motion off") << none << 11 << 0 << done;
    QTest::newRow("colour detector on") << none << 7 << 1 << done;
    QTest::newRow("application value 2") << none << 6 << 2 << range;
    QTest::newRow("code 12") << none << 12 << 1 << unknown;
    QTest::newRow("code 0x80") << none << -128 << 0 << unknown;
}

void tst_CommandController::serverResults()
{
    QFETCH(QByteArray, before);
    QFETCH(int, code);
    QFETCH(int, value);
    QFETCH(int, expected);

    CommandServerThread server;
    CommandController controller(QStringLiteral("127.0.0.1"), server.port());
    for (int i = 0; i + 2 < before.size(); i += 3) {
        const quint16 v = static_cast<quint16>((quint8(before[i + 1]) << 8) | quint8(before[i + 2]));
        QCOMPARE(controller.send_command(static_cast<qint8>(before[i]), v), 0);
    }
    QCOMPARE(controller.send_command(static_cast<qint8>(code), static_cast<quint16>(value)), expected);
}

QTEST_GUILESS_MAIN(tst_CommandController)
#include "tst_commandcontroller.moc"
