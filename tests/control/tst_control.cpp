#include "CameraController.h"
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

const char *const DefaultSequence = "01001e 020000 030280 0401e0 050001";

// "01001e 020000" -> the requests 01 00 1E and 02 00 00.
QList<QByteArray> requests(const char *hex)
{
    QList<QByteArray> list;
    for (const QByteArray &word : QByteArray(hex).split(' '))
        if (!word.isEmpty())
            list << QByteArray::fromHex(word);
    return list;
}

// A controller talking to a server in its own thread.
struct Rig {
    CommandServerThread server;
    CommandController command{Host, server.port()};
    CameraController camera{&command};
    QSignalSpy states{&command, &CommandController::connection_state};

    QList<int> stateList() const
    {
        QList<int> list;
        for (const QList<QVariant> &arguments : states)
            list << arguments.at(0).toInt();
        return list;
    }
    void choose(int previous, int code)
    {
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("Prev is %1 new is %2").arg(previous).arg(code)));
        server->clearRequests();
        camera.switch_application(code);
    }
};
} // namespace

class tst_Control : public QObject
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
        const int refused = 4; // the board's byte for a refused command
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
        QTest::newRow("fps 0") << none << 1 << 0 << range; QTest::newRow("fps 1") << none << 1 << 1 << done;
        QTest::newRow("fps 30") << none << 1 << 30 << done; QTest::newRow("fps 31") << none << 1 << 31 << range;
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
        CommandServerThread server;
        CommandController controller(Host, server.port());
        for (int i = 0; i + 2 < before.size(); i += 3) {
            const int v = (quint8(before[i + 1]) << 8) | quint8(before[i + 2]);
            QCOMPARE(controller.send_command(qint8(before[i]), quint16(v)), 0);
        }
        QTEST(controller.send_command(qint8(code), quint16(value)), "expected");
    }

    void sendValues_data()
    {
        QTest::addColumn<QList<int>>("chosen"); // fps, format, width, height stored; or a rate alone, sent
        QTest::addColumn<QString>("debugLine");
        QTest::addColumn<QString>("sentAtOnce");
        QTest::addColumn<QString>("sent"); // by "Send Values" then
        using L = QList<int>;
        QTest::newRow("nothing stored") << L{} << "" << "" << DefaultSequence;
        QTest::newRow("all valid") << L{15, 1, 320, 240} << "Selected config: 15 1 320 240 \n" << ""
                                   << "01000f 020001 030140 0400f0 050001";
        QTest::newRow("fps 31, format 5 dropped") << L{31, 5, 640, 480} << "Selected config: 30 0 640 480 \n" << "" << DefaultSequence;
        QTest::newRow("sizes 0, -1 dropped") << L{1, 1, 0, -1} << "Selected config: 1 1 640 480 \n" << ""
                                             << "010001 020001 030280 0401e0 050001";
        // Refused values (format 6, a width of 70000 cut to 4464) do not end the sequence.
        QTest::newRow("size above 16 bits") << L{5, 6, 70000, 1} << "Selected config: 5 6 70000 1 \n" << ""
                                            << "010005 020006 031170 040001 050001";
        // Only a rate sent is recorded.
        QTest::newRow("rate 0") << L{0} << "" << "" << DefaultSequence;
        QTest::newRow("rate 1") << L{1} << "" << "010001" << "010001 020000 030280 0401e0 050001";
        QTest::newRow("rate 30") << L{30} << "" << "01001e" << DefaultSequence;
        QTest::newRow("rate 31") << L{31} << "" << "" << DefaultSequence;
    }

    void sendValues()
    {
        QFETCH(QList<int>, chosen);
        QFETCH(QString, debugLine);
        QFETCH(QString, sentAtOnce);
        QFETCH(QString, sent);
        Rig rig;
        if (chosen.size() == 4) {
            QTest::ignoreMessage(QtDebugMsg, qPrintable(debugLine));
            rig.camera.store_config(chosen[0], chosen[1], chosen[2], chosen[3]);
        } else if (chosen.size() == 1) {
            rig.camera.send_fps(chosen[0]);
        }
        QCOMPARE(rig.server->requests(), requests(qPrintable(sentAtOnce)));
        QCOMPARE(rig.stateList(), QList<int>(rig.server->requests().size(), 1));
        rig.server->clearRequests();
        rig.states.clear();
        rig.camera.send_camera_config();
        QCOMPARE(rig.server->requests(), requests(qPrintable(sent)));
        QCOMPARE(rig.stateList(), QList<int>({1, 1, 1, 1, 1}));
    }

    // The probe is command 0 with value 0, and returns 0 whether answered or not.
    void probe()
    {
        Rig rig;
        QCOMPARE(rig.camera.try_connection(), 0);
        rig.server->setReplyShape(CommandServer::ReplyShape::NoReply);
        QCOMPARE(rig.camera.try_connection(), 0);
        QCOMPARE(rig.server->requests(), requests("000000 000000"));
        QCOMPARE(rig.stateList(), (QList<int>{1, -1}));
    }

    void sequence_data()
    {
        QTest::addColumn<int>("failing");
        QTest::addColumn<bool>("refuseAll");
        QTest::addColumn<QString>("sent");
        QTest::newRow("non-zero results go on") << 0 << true << DefaultSequence;
        QTest::newRow("frame rate fails") << 1 << false << "01001e";
        QTest::newRow("format fails") << 2 << false << "01001e 020000";
        QTest::newRow("height fails") << 4 << false << "01001e 020000 030280 0401e0";
    }

    void sequence()
    {
        QFETCH(int, failing);
        QFETCH(bool, refuseAll);
        QFETCH(QString, sent);
        Rig rig;
        rig.server->setRefuseAll(refuseAll);
        const auto configuration = [&rig] {
            const CommandServer::Configuration now = rig.server->currentConfiguration();
            return QList<int>{ now.format, now.width, now.height, now.fps };
        };
        const QList<int> before = configuration();
        CommandServer *server = rig.server.get();
        // Runs on the server's thread before the request is answered.
        connect(server, &CommandServer::requestReceived, server, [server, failing] {
                if (server->requests().size() == failing)
                    server->setReplyShape(CommandServer::ReplyShape::NoReply);
            },
            Qt::DirectConnection);

        QElapsedTimer clock;
        clock.start();
        rig.camera.send_camera_config();
        QVERIFY(clock.elapsed() < (failing ? failing : 5) * 2 * Timeout + MarginMs);

        QCOMPARE(rig.server->requests(), requests(qPrintable(sent)));
        QList<int> expectedStates(failing ? failing - 1 : 5, 1);
        if (failing)
            expectedStates << -1;
        QCOMPARE(rig.stateList(), expectedStates);
        QCOMPARE(configuration(), before);
    }

    void switching_data()
    {
        QTest::addColumn<QList<int>>("choices");
        QTest::addColumn<int>("faultyStep");
        QTest::addColumn<CommandServer::ReplyShape>("shape");
        QTest::addColumn<QString>("lastRequests");
        QTest::addColumn<QList<int>>("active");
        using L = QList<int>;
        const auto ok = CommandServer::ReplyShape::Normal, silent = CommandServer::ReplyShape::NoReply;
        // Each application switched on from none, then off by choosing it again.
        for (int code = BoardProtocol::CommandEdgeDetection; code <= BoardProtocol::CommandMotionDetection; ++code) {
            const QByteArray hex = QByteArray::number(code, 16).rightJustified(2, '0');
            QTest::addRow("%d on", code) << L{code} << -1 << ok << QString::fromLatin1("000000 " + hex + "0001") << L{code};
            QTest::addRow("%d off", code) << L{code, code} << -1 << ok << QString::fromLatin1(hex + "0000") << L{};
        }
        QTest::newRow("to another") << L{6, 10} << -1 << ok << "060000 0a0001" << L{10};
        QTest::newRow("no processing again") << L{0} << -1 << ok << "000000" << L{};
        QTest::newRow("after current again") << L{6, 6, 8} << -1 << ok << "060000 080001" << L{8};
        // A fault on step 0: every command refused, or none answered.
        QTest::newRow("non-zero result") << L{11} << 0 << ok << "000000" << L{};
        QTest::newRow("failed exchange") << L{11} << 0 << silent << "000000" << L{};
        // The refused choice is still the one switched off next.
        QTest::newRow("after non-zero result") << L{11, 8} << 0 << ok << "0b0000 080001" << L{8};
        QTest::newRow("after failed exchange") << L{11, 8} << 0 << silent << "0b0000 080001" << L{8};
    }

    void switching()
    {
        QFETCH(QList<int>, choices);
        QFETCH(int, faultyStep);
        QFETCH(CommandServer::ReplyShape, shape);
        QFETCH(QString, lastRequests);
        QFETCH(QList<int>, active);
        Rig rig;
        int previous = 0;
        for (int step = 0; step < choices.size(); ++step) {
            const bool faulty = step == faultyStep;
            rig.server->setReplyShape(faulty ? shape : CommandServer::ReplyShape::Normal);
            rig.server->setRefuseAll(faulty && shape == CommandServer::ReplyShape::Normal);
            rig.choose(previous, choices[step]);
            previous = choices[step];
        }
        QCOMPARE(rig.server->requests(), requests(qPrintable(lastRequests)));
        QCOMPARE(rig.server->activeApplications(), QSet<int>(active.begin(), active.end()));
    }
};

QTEST_GUILESS_MAIN(tst_Control)
#include "tst_control.moc"
