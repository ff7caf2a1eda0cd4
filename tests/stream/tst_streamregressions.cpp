#include "imageStream.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

// Faults found by the sanitizer build and the fuzzers, kept so they stay fixed.
class tst_StreamRegressions : public QObject
{
    Q_OBJECT

private slots:
    void destructionReportsNothing_data();
    void destructionReportsNothing();
};

void tst_StreamRegressions::destructionReportsNothing_data()
{
    QTest::addColumn<bool>("connected");
    QTest::newRow("connected") << true;
    QTest::newRow("connecting") << false;
}

// The window deletes its form before the stream; a state report from the closing socket used to
// reach the window's slots after the form was gone.
void tst_StreamRegressions::destructionReportsNothing()
{
    QFETCH(bool, connected);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto *stream = new imageStream(QStringLiteral("127.0.0.1"), server.serverPort());
    QSignalSpy state(stream, &imageStream::connection_state);
    QSignalSpy info(stream, &imageStream::new_socket_info);
    QSignalSpy error(stream, &imageStream::new_socket_error);
    if (connected)
        QTRY_COMPARE_WITH_TIMEOUT(stream->socketMessage(), QStringLiteral("Connected"), 10000);
    const int states = state.count();
    const int infos = info.count();
    const int errors = error.count();

    delete stream;
    QCOMPARE(state.count(), states);
    QCOMPARE(info.count(), infos);
    QCOMPARE(error.count(), errors);
}

QTEST_MAIN(tst_StreamRegressions)
#include "tst_streamregressions.moc"
