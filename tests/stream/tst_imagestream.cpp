#include "JpegEncoder.h"
#include "Records.h"
#include "imageStream.h"

#include <QNetworkProxy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// What the stream client reports, in order, as "code" / "info:text" / "error:text".
class StatusLog : public QObject
{
public:
    explicit StatusLog(imageStream *stream)
    {
        connect(stream, &imageStream::connection_state, this, [this](int code) { entries << QString::number(code); });
        connect(stream, &imageStream::new_socket_info, this, [this](const QString &text) { entries << "info:" + text; });
        connect(stream, &imageStream::new_socket_error, this, [this](const QString &text) { entries << "error:" + text; });
    }
    QStringList entries;
};

static FrameRecord jpegRecord(int width, int height, char red)
{
    QByteArray rgb;
    for (int i = 0; i < width * height; ++i)
        rgb.append(red).append(char(64)).append(char(200));
    return makeRecord(0, width, height, encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 95));
}

static QByteArray grayAt(int ms, const QByteArray &pixels = QByteArray(8, 'g'))
{
    FrameRecord record = makeRecord(1, 4, 2, pixels, ms / 1000);
    record.timestamp_us = (ms % 1000) * 1000;
    return record.toBytes();
}

// Every counter, in declared order.
static QList<quint64> countsOf(const StreamCounters &c)
{
    return { c.framesReceived, c.framesShown,     c.framesDamaged,       c.framesHidden,   c.framesLostAtBoard,
             c.recordsDropped, c.bytesSkipped,    c.connectionsLost,     c.captureFilesWritten, c.captureFailures };
}

class tst_ImageStream : public QObject
{
    Q_OBJECT

private slots:
    // States and counters on both sides of an asked-for reconnection, a lost connection and a reset.
    void reconnectSequence()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        imageStream stream(QStringLiteral("localhost"), server.serverPort());
        connect(&stream, &imageStream::imageIsReady, this, [&] { stream.currentPixmap(); });
        StatusLog log(&stream);
        QTRY_COMPARE_WITH_TIMEOUT(stream.socketMessage(), QStringLiteral("Connected"), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QCOMPARE(log.entries.mid(log.entries.size() - 2), (QStringList { "1", "info:Connected" }));
        // Four frames, one of them damaged, then a record cut off: a board starts every connection on a
        // record boundary, so the new connection's bytes must not complete it.
        server.nextPendingConnection()->write(grayAt(0) + grayAt(100) + grayAt(200, "short") + grayAt(300)
                                              + grayRecord(64, 64).toBytes().chopped(1000));
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().framesReceived, 4u, 10000);
        const QList<quint64> before { 4, 3, 1, 0, 0, 0, 0, 0, 0, 0 };
        QCOMPARE(countsOf(stream.statistics().counters()), before);
        log.entries.clear();

        stream.reconnect();
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(log.entries.count("info:Connected"), 2, 10000);
        // Unconnected first, repeating the previous text, then lookup, connecting, connected.
        QCOMPARE(log.entries, (QStringList { "-1", "info:Connected", "-1", "info:Looking for host...", "-1",
                                             "info:Connecting...", "1", "info:Connected" }));
        QCOMPARE(countsOf(stream.statistics().counters()), before); // asked for, not lost
        // The board's clock ran on while apart: a new connection's first gap is no loss.
        QTcpSocket *board = server.nextPendingConnection();
        board->write(grayAt(5000) + grayAt(5100));
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().framesReceived, 6u, 10000);
        QCOMPARE(countsOf(stream.statistics().counters()), (QList<quint64> { 6, 5, 1, 0, 0, 0, 0, 0, 0, 0 }));

        stream.resetStatistics();
        QCOMPARE(countsOf(stream.statistics().counters()), QList<quint64>(10, 0));
        QCOMPARE(stream.statistics().bytesPerSecond(StreamStatistics::clockMs() + 100), 0);
        log.entries.clear();
        board->write(grayAt(5200) + grayAt(5300) + grayAt(5400) + grayAt(5500) + grayAt(5900));
        board->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().connectionsLost, 1u, 10000);
        QCOMPARE(log.entries, (QStringList { "error:Connection closed by host", "-1", "-1", "info:Connection closed by host" }));
        QCOMPARE(countsOf(stream.statistics().counters()), (QList<quint64> { 5, 5, 0, 0, 3, 0, 0, 1, 0, 0 }));
        QVERIFY(stream.statistics().bytesPerSecond(StreamStatistics::clockMs() + 100) > 0);
    }

    void errorTexts_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("listening");
        QTest::addColumn<QString>("text");
        QTest::addColumn<quint64>("lost"); // only a connection the board closed counts
        QTest::addColumn<bool>("viaProxy"); // through a SOCKS proxy at the port nobody listens on
        QTest::newRow("peer closes") << "127.0.0.1" << true << "Connection closed by host" << 1ull << false;
        // The refusal keeps the previous text.
        QTest::newRow("refused") << "localhost" << false << "Connecting..." << 0ull << false;
        QTest::newRow("unknown host") << "no-such-board.invalid" << false << "Host not found or port closed" << 0ull << false;
        // Any other error in the socket's own words. Loopback addresses are never proxied; the
        // documentation address is never reached either, as the proxy refuses first.
        QTest::newRow("proxy refuses") << "192.0.2.1" << false << "Connection to proxy refused" << 0ull << true;
    }

    void errorTexts()
    {
        QFETCH(QString, host);
        QFETCH(bool, listening);
        QFETCH(QString, text);
        QFETCH(quint64, lost);
        QFETCH(bool, viaProxy);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        if (!listening)
            server.close();
        if (viaProxy)
            QNetworkProxy::setApplicationProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy, QStringLiteral("127.0.0.1"), port));
        const auto noProxy = qScopeGuard([] { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); });
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
        QTRY_COMPARE_WITH_TIMEOUT(stream.statistics().counters().connectionsLost, lost, 10000);
        if (listening) {
            QTest::qWait(200); // no automatic reconnection
            QVERIFY(!server.hasPendingConnections());
        } else {
            QVERIFY(!log.entries.contains("1"));
        }
    }

    void portUsesLow16Bits()
    {
        QTcpServer server;
        if (!server.listen(QHostAddress::LocalHost, 4464))
            QSKIP("port 4464 is taken on this machine");
        imageStream stream(QStringLiteral("127.0.0.1"), 1);
        stream.setPort(70000);
        stream.reconnect();
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
    }

    void badFramesKeepLastPicture_data()
    {
        QTest::addColumn<QByteArray>("record");
        QTest::addColumn<QString>("message"); // empty: a code that is never shown
        FrameRecord shortGray = grayRecord(8, 8);
        shortGray.payload.chop(1);

        QTest::newRow("gray payload short") << shortGray.toBytes() << "not shown";
        QTest::newRow("code 9") << makeRecord(9, 2, 2, "nnnn").toBytes() << "";
    }

    // Frame in, picture out, pictures taken as the window takes them: a good Gray frame, the bad one,
    // then a good JPEG frame. Capture reports only the files written.
    void badFramesKeepLastPicture()
    {
        QFETCH(QByteArray, record);
        QFETCH(QString, message);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        imageStream stream(QStringLiteral("127.0.0.1"), server.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
        QTemporaryDir dir;
        stream.startCapture(dir.path(), "c", "bmp", false);
        QSignalSpy progress(&stream, &imageStream::capture_in_progress);
        QList<QImage> pictures;
        connect(&stream, &imageStream::imageIsReady, this, [&] { pictures << stream.currentPixmap().toImage(); });

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
        QCOMPARE(progress.size(), 2);
        QCOMPARE(progress.at(1).at(0).toString(), QStringLiteral("Capturing image... 1"));
    }

    void destructionReportsNothing_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("connected") << true;
        QTest::newRow("connecting") << false;
    }

    // The window deletes its form before the stream; a state report from the closing socket used to
    // reach the window's slots after the form was gone.
    void destructionReportsNothing()
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
};

QTEST_MAIN(tst_ImageStream)
#include "tst_imagestream.moc"
