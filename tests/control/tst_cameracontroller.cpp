#include "CameraController.h"
#include "CommandController.h"
#include "CommandServer.h"
#include "CommandServerThread.h"

#include <QtTest>

namespace {
constexpr int Timeout = CommandController::CommandTimeoutMs;
constexpr int MarginMs = 2000;
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
    CommandController command{QStringLiteral("127.0.0.1"), server.port()};
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
}

class tst_CameraController : public QObject
{
    Q_OBJECT

private slots:
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

QTEST_GUILESS_MAIN(tst_CameraController)
#include "tst_cameracontroller.moc"
