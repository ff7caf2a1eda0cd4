#include "JpegEncoder.h"
#include "Records.h"
#include "imageStream.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// What the stream client reports, in order, as "code" / "info:text" / "error:text".
class StatusLog : public QObject
{
public:
    explicit StatusLog(imageStream *stream)
    {
        connect(stream, &imageStream::connection_state, this,
                [this](int code) { entries << QString::number(code); });
        connect(stream, &imageStream::new_socket_info, this,
                [this](const QString &text) { entries << "info:" + text; });
        connect(stream, &imageStream::new_socket_error, this,
                [this](const QString &text) { entries << "error:" + text; });
    }
    QStringList entries;
};

static FrameRecord jpegRecord(int width, int height, char red)
{
    QByteArray rgb;
    for (int i = 0; i < width * height; ++i)
        rgb.append(red).append(char(64)).append(char(200));
    return makeRecord(0, width, height,
                      encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 95));
}

class tst_ImageStream : public QObject
{
    Q_OBJECT

private slots:
    void reconnectSequence();
    void errorTexts_data();
    void errorTexts();
    void portUsesLow16Bits();
    void badFramesKeepLastPicture_data();
    void badFramesKeepLastPicture();
    void recordCutByLostConnectionIsDropped();
    void destructionReportsNothing_data();
    void destructionReportsNothing();
};

void tst_ImageStream::reconnectSequence()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    imageStream stream(QStringLiteral("localhost"), server.serverPort());
    StatusLog log(&stream);
    QTRY_COMPARE_WITH_TIMEOUT(stream.socketMessage(), QStringLiteral("Connected"), 10000);
    QCOMPARE(log.entries.mid(log.entries.size() - 2), (QStringList { "1", "info:Connected" }));
    log.entries.clear();

    stream.reconnect();
    QTRY_COMPARE_WITH_TIMEOUT(log.entries.count("info:Connected"), 2, 10000);
    // Unconnected first, repeating the previous text, then lookup, connecting, connected.
    QCOMPARE(log.entries.mid(0, 2), (QStringList { "-1", "info:Connected" }));
    const QStringList rest = log.entries.mid(2);
    QVERIFY(rest.indexOf("info:Looking for host...") >= 0);
    QVERIFY(rest.indexOf("info:Looking for host...") < rest.indexOf("info:Connecting..."));
    QCOMPARE(rest.mid(rest.size() - 2), (QStringList { "1", "info:Connected" }));
}

void tst_ImageStream::errorTexts_data()
{
    QTest::addColumn<QString>("host");
    QTest::addColumn<bool>("listening");
    QTest::addColumn<QString>("text");
    QTest::newRow("peer closes") << "127.0.0.1" << true << "Connection closed by host";
    // The refusal keeps the previous text.
    QTest::newRow("refused") << "localhost" << false << "Connecting...";
    QTest::newRow("unknown host") << "no-such-board.invalid" << false << "Host not found or port closed";
}

void tst_ImageStream::errorTexts()
{
    QFETCH(QString, host);
    QFETCH(bool, listening);
    QFETCH(QString, text);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const quint16 port = server.serverPort();
    if (!listening)
        server.close();
    imageStream stream(host, port);
    StatusLog log(&stream);
    if (!listening) {
        stream.reconnect(); // a cached lookup reports its states before log is connected
    } else {
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(stream.socketMessage(), QStringLiteral("Connected"), 10000);
        server.nextPendingConnection()->close();
    }
    QTRY_VERIFY2_WITH_TIMEOUT(log.entries.contains("error:" + text), qPrintable(log.entries.join("|")), 20000);
    QCOMPARE(log.entries.value(log.entries.indexOf("error:" + text) + 1), QStringLiteral("-1"));
    QCOMPARE(stream.socketMessage(), text);
    if (listening) {
        QTest::qWait(200); // no automatic reconnection
        QVERIFY(!server.hasPendingConnections());
    } else {
        QVERIFY(!log.entries.contains("1"));
    }
}

void tst_ImageStream::portUsesLow16Bits()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 4464))
        QSKIP("port 4464 is taken on this machine");
    imageStream stream(QStringLiteral("127.0.0.1"), 1);
    stream.setPort(70000);
    stream.reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
}

void tst_ImageStream::badFramesKeepLastPicture_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<QString>("message"); // empty: a code that is never shown
    FrameRecord shortGray = grayRecord(8, 8);
    shortGray.payload.chop(1);
    const QByteArray jpeg = jpegRecord(64, 48, 10).payload;
    QByteArray damaged = jpeg;
    damaged.replace(20, 40, QByteArray(40, '\xff')); // tables and frame header

    QTest::newRow("gray payload short") << shortGray.toBytes() << "not shown";
    QTest::newRow("jpeg header damaged") << makeRecord(0, 64, 48, damaged).toBytes() << "JPEG error";
    QTest::newRow("code 9") << makeRecord(9, 2, 2, "nnnn").toBytes() << "";
}

// Frame in, picture out, pictures taken as the window takes them: a good Gray frame, the bad one,
// then a good JPEG frame.
void tst_ImageStream::badFramesKeepLastPicture()
{
    QFETCH(QByteArray, record);
    QFETCH(QString, message);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    imageStream stream(QStringLiteral("127.0.0.1"), server.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    QList<QImage> pictures;
    connect(&stream, &imageStream::imageIsReady, this,
            [&] { pictures << stream.currentPixmap().toImage(); });

    if (!message.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression(message));
    const QByteArray gray = makeRecord(1, 4, 2, QByteArray::fromHex("0055AAFF0055AAFF")).toBytes();
    server.nextPendingConnection()->write(gray + record + jpegRecord(64, 48, char(240)).toBytes());
    QTRY_COMPARE_WITH_TIMEOUT(pictures.size(), 3, 10000);

    QCOMPARE(pictures.at(0).size(), QSize(4, 2));
    const int levels[] = { 0, 85, 170, 255 };
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            QCOMPARE(pictures.at(0).pixelColor(x, y), QColor(levels[x], levels[x], levels[x]));
    if (message.isEmpty())
        QVERIFY(pictures.at(1).isNull());
    else
        QCOMPARE(pictures.at(1), pictures.at(0));
    QCOMPARE(pictures.at(2).size(), QSize(64, 48));
    QVERIFY(qAbs(pictures.at(2).pixelColor(5, 5).red() - 240) < 8);
}

// A board starts every connection on a record boundary: what the old connection cut off must
// not be completed from the new connection's bytes.
void tst_ImageStream::recordCutByLostConnectionIsDropped()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    imageStream stream(QStringLiteral("127.0.0.1"), server.serverPort());
    QList<QSize> shown;
    connect(&stream, &imageStream::imageIsReady, this,
            [&] { shown << stream.currentPixmap().size(); });
    QSignalSpy lost(&stream, &imageStream::new_socket_error);

    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    QTcpSocket *first = server.nextPendingConnection();
    first->write(grayRecord(64, 64).toBytes().chopped(1000));
    first->disconnectFromHost();
    QVERIFY(lost.wait(10000));

    stream.reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    QTcpSocket *second = server.nextPendingConnection();
    second->write(grayRecord(32, 32).toBytes() + grayRecord(16, 16).toBytes());
    QTRY_COMPARE_WITH_TIMEOUT(shown, (QList<QSize> { QSize(32, 32), QSize(16, 16) }), 10000);
}

void tst_ImageStream::destructionReportsNothing_data()
{
    QTest::addColumn<bool>("connected");
    QTest::newRow("connected") << true;
    QTest::newRow("connecting") << false;
}

// The window deletes its form before the stream; a state report from the closing socket used to
// reach the window's slots after the form was gone.
void tst_ImageStream::destructionReportsNothing()
{
    QFETCH(bool, connected);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    auto *stream = new imageStream(QStringLiteral("127.0.0.1"), server.serverPort());
    StatusLog log(stream);
    if (connected)
        QTRY_COMPARE_WITH_TIMEOUT(stream->socketMessage(), QStringLiteral("Connected"), 10000);
    const QStringList before = log.entries;
    delete stream;
    QCOMPARE(log.entries, before);
}

QTEST_MAIN(tst_ImageStream)
#include "tst_imagestream.moc"
