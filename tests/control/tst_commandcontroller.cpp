#include "CommandController.h"
#include "CommandServer.h"
#include "CommandServerThread.h"

#include <QTcpServer>
#include <QtTest>

#include <memory>
#include <vector>

namespace {
// The command timeout, written out: bounds taken from the controller's constant would move with it.
constexpr int Timeout = 500;
// Scheduling slack on a busy machine; only upper bounds are as loose as this.
constexpr int MarginMs = 2000;
const QString Host = QStringLiteral("127.0.0.1");

struct Exchange {
    int result = 0;
    QList<int> states;
    QString statusAtSignal;
    qint64 elapsedMs = 0;
};

Exchange exchange(CommandController &controller, qint8 code, quint16 value)
{
    Exchange e;
    QObject context;
    QObject::connect(&controller, &CommandController::connection_state, &context, [&](int state) {
        e.states << state;
        e.statusAtSignal = controller.status_text();
    });
    QElapsedTimer clock;
    clock.start();
    e.result = controller.send_command(code, value);
    e.elapsedMs = clock.elapsed();
    return e;
}
}

class tst_CommandController : public QObject
{
    Q_OBJECT

private slots:
    void replies_data()
    {
        QTest::addColumn<CommandServer::ReplyShape>("shape");
        QTest::addColumn<bool>("refuseAll");
        QTest::addColumn<int>("acceptDelayMs");
        QTest::addColumn<int>("expectedResult");
        // Waits of up to Timeout each that the exchange may need.
        QTest::addColumn<int>("boundedWaits");
        using Shape = CommandServer::ReplyShape;
        const int refused = BoardProtocol::CommandRefused;
        QTest::newRow("normal") << Shape::Normal << false << 0 << 0 << 2;
        QTest::newRow("non-zero result") << Shape::Normal << true << 0 << refused << 2;
        QTest::newRow("1-byte pieces") << Shape::PiecewiseReply << true << 0 << refused << 4;
        QTest::newRow("5-byte reply") << Shape::LongReply << true << 0 << refused << 2;
        QTest::newRow("2 bytes then silence") << Shape::TruncatedReply << false << 0 << -1 << 3;
        QTest::newRow("no reply") << Shape::NoReply << false << 0 << -1 << 2;
        QTest::newRow("slow acceptance") << Shape::Normal << false << Timeout / 5 << 0 << 2;
        QTest::newRow("acceptance too slow") << Shape::Normal << false << Timeout * 3 << -1 << 2;
    }

    void replies()
    {
        QFETCH(CommandServer::ReplyShape, shape);
        QFETCH(bool, refuseAll);
        QFETCH(int, acceptDelayMs);
        QFETCH(int, expectedResult);
        QFETCH(int, boundedWaits);
        CommandServerThread server;
        server->setReplyShape(shape);
        server->setRefuseAll(refuseAll);
        server->setAcceptDelay(acceptDelayMs);
        CommandController controller(Host, server.port());

        const Exchange e = exchange(controller, 6, 1);
        QCOMPARE(e.result, expectedResult);
        QVERIFY2(e.elapsedMs < boundedWaits * Timeout + MarginMs, qPrintable(QString::number(e.elapsedMs)));
        // The three bytes of a reply in pieces come apart in time, and each is waited for.
        if (shape == CommandServer::ReplyShape::PiecewiseReply)
            QVERIFY2(e.elapsedMs >= 2 * CommandServer::PieceIntervalMs * 9 / 10, qPrintable(QString::number(e.elapsedMs)));
        // The status is already set when the state arrives: the window reads it as its tooltip then.
        QCOMPARE(e.states, QList<int>{expectedResult >= 0 ? 1 : -1});
        QCOMPARE(controller.status_text(), e.statusAtSignal);
        if (expectedResult >= 0) {
            QCOMPARE(e.statusAtSignal, QStringLiteral("Connected"));
        } else {
            QVERIFY(!e.statusAtSignal.isEmpty() && e.statusAtSignal != QLatin1String("Connected"));
            QVERIFY2(e.elapsedMs >= Timeout * 9 / 10, "a silent peer is given the full wait");
        }

        // Nothing the failed or overlong reply left behind is taken for the next one.
        server->setReplyShape(CommandServer::ReplyShape::Normal);
        server->setRefuseAll(false);
        server->setAcceptDelay(0);
        const Exchange next = exchange(controller, 8, 0);
        QCOMPARE(next.result, 0);
        QCOMPARE(next.states, QList<int>{1});
        QCOMPARE(controller.status_text(), QStringLiteral("Connected"));
        if (acceptDelayMs == 0)
            QCOMPARE(server->requests(), (QList<QByteArray>{QByteArray::fromHex("060001"), QByteArray::fromHex("080000")}));
    }

    // The host and port set between two commands are the next command's; a listener that accepts
    // nothing makes a command fail after the timeout, and the attempt still under way is dropped for
    // the next command.
    void hostAndPortOfTheNextCommand()
    {
        CommandServerThread first, second;
        CommandController controller(Host, first.port());
        QCOMPARE(controller.send_command(0, 0), 0);
        // The servers listen on 127.0.0.1 only; 127.0.0.2 is loopback without a listener.
        const QString other = QStringLiteral("127.0.0.2");
        controller.set_host(other);
        controller.set_port(second.port());
        QCOMPARE(controller.status_text(), QStringLiteral("Connected"));
        const Exchange refused = exchange(controller, 1, 15);
        QCOMPARE(refused.result, -1);
        QCOMPARE(refused.states, QList<int>{-1});
        QVERIFY(refused.elapsedMs < Timeout + MarginMs);
        QTcpSocket plain;
        plain.connectToHost(other, second.port());
        QVERIFY(!plain.waitForConnected(Timeout));
        QCOMPARE(controller.status_text(), plain.errorString());
        controller.set_host(Host);
        QCOMPARE(controller.send_command(4, 240), 0);
        QCOMPARE(first->requests(), QList<QByteArray>{QByteArray::fromHex("000000")});
        QCOMPARE(second->requests(), QList<QByteArray>{QByteArray::fromHex("0400f0")});

        // A full listen queue: further connects hang.
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
        controller.set_port(full.serverPort());
        const Exchange e = exchange(controller, 0, 0);
        QCOMPARE(e.result, -1);
        QCOMPARE(e.states, QList<int>{-1});
        QVERIFY2(e.elapsedMs >= Timeout * 9 / 10 && e.elapsedMs < Timeout + MarginMs, qPrintable(QString::number(e.elapsedMs)));
        controller.set_port(first.port());
        QCOMPARE(controller.send_command(0, 0), 0);
        QCOMPARE(first->requests().size(), 2);
    }

    void serverResults_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("expected");
        const int done = BoardProtocol::CommandDone, range = BoardProtocol::CommandOutOfRange;
        const int notProducible = BoardProtocol::CommandNotProducible;
        const QByteArray none;
        QTest::newRow("fps 0") << none << 1 << 0 << range;
        QTest::newRow("fps 1") << none << 1 << 1 << done;
        QTest::newRow("fps 30") << none << 1 << 30 << done;
        QTest::newRow("fps 31") << none << 1 << 31 << range;
        QTest::newRow("format 5, past the last") << none << 2 << 5 << range;
        QTest::newRow("format 65535") << none << 2 << 65535 << range;
        QTest::newRow("format JPEG not yet produced") << none << 2 << 0 << notProducible;
        QTest::newRow("format NV12 not yet produced") << none << 2 << 4 << notProducible;
        QTest::newRow("apply QVGA") << QByteArray::fromHex("030140 0400f0") << 5 << 1 << done;
        QTest::newRow("apply 640x400") << QByteArray::fromHex("040190") << 5 << 1 << notProducible;
        QTest::newRow("apply 0") << none << 5 << 0 << range;
        QTest::newRow("motion detection on") << none << 11 << 1 << done;
        QTest::newRow("edge detection 2") << none << 6 << 2 << range;
        QTest::newRow("code 12") << none << 12 << 1 << int(BoardProtocol::CommandUnknown);
    }

    void serverResults()
    {
        QFETCH(QByteArray, before);
        QFETCH(int, code);
        QFETCH(int, value);
        QFETCH(int, expected);
        CommandServerThread server;
        CommandController controller(Host, server.port());
        for (int i = 0; i + 2 < before.size(); i += 3) {
            const int v = (quint8(before[i + 1]) << 8) | quint8(before[i + 2]);
            QCOMPARE(controller.send_command(qint8(before[i]), quint16(v)), 0);
        }
        QCOMPARE(controller.send_command(qint8(code), quint16(value)), expected);
    }
};

QTEST_GUILESS_MAIN(tst_CommandController)
#include "tst_commandcontroller.moc"
