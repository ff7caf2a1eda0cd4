#include "JpegEncoder.h"
#include "RecordBuilder.h"
#include "imageStream.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

// Records what the stream client reports, in order, as "code" / "info:text" / "error:text".
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

static quint16 unusedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort(); // closed again when probe goes out of scope
}

// A stream client connected to a listener of the test's own, with the accepted peer.
struct ConnectedStream
{
    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        stream = std::make_unique<imageStream>(QStringLiteral("127.0.0.1"), server.serverPort());
        if (!QTest::qWaitFor([this] { return server.hasPendingConnections(); }, 10000))
            return false;
        peer = server.nextPendingConnection();
        return true;
    }
    QTcpServer server;
    std::unique_ptr<imageStream> stream;
    QTcpSocket *peer = nullptr;
};

class tst_ImageStream : public QObject
{
    Q_OBJECT

private slots:
    void connectsAndReportsStates();
    void peerCloseIsReported();
    void refusedConnectionKeepsText();
    void unknownHost();
    void reconnectSequence();
    void settingsTakeEffectAtNextConnection();
    void portUsesLow16Bits();
    void grayFramePixels();
    void unusableFramesKeepLastPicture_data();
    void unusableFramesKeepLastPicture();
    void statisticsArriveOverTheSocket();
    void badJpegFramesKeepLastPicture_data();
    void badJpegFramesKeepLastPicture();
};

void tst_ImageStream::connectsAndReportsStates()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    imageStream stream(QStringLiteral("127.0.0.1"), server.serverPort());
    StatusLog log(&stream);
    QSignalSpy state(&stream, &imageStream::connection_state);
    QTRY_VERIFY_WITH_TIMEOUT(log.entries.contains("info:Connected"), 10000);
    QCOMPARE(log.entries.mid(log.entries.indexOf("info:Connected") - 1, 2),
             (QStringList { "1", "info:Connected" }));
    QCOMPARE(stream.socketMessage(), QStringLiteral("Connected"));
    // Whatever came before was a not-connected state.
    for (const QString &e : log.entries.mid(0, log.entries.indexOf("info:Connected") - 1))
        QVERIFY2(e == "-1" || e.startsWith("info:"), qPrintable(e));
}

void tst_ImageStream::peerCloseIsReported()
{
    ConnectedStream link;
    QVERIFY(link.open());
    imageStream &stream = *link.stream;
    QTcpServer &server = link.server;
    StatusLog log(&stream);
    QTcpSocket *peer = link.peer;
    QTRY_COMPARE_WITH_TIMEOUT(stream.socketMessage(), QStringLiteral("Connected"), 10000);
    log.entries.clear();
    peer->close();
    QTRY_VERIFY_WITH_TIMEOUT(log.entries.contains("error:Connection closed by host"), 10000);
    const int at = log.entries.indexOf("error:Connection closed by host");
    QCOMPARE(log.entries.value(at + 1), QStringLiteral("-1"));
    // No automatic reconnection follows.
    QTest::qWait(200);
    QVERIFY(!server.hasPendingConnections());
}

void tst_ImageStream::refusedConnectionKeepsText()
{
    // Through a name lookup, so that "Connecting..." is reported before the refusal.
    imageStream stream(QStringLiteral("localhost"), unusedPort());
    StatusLog log(&stream);
    QTRY_VERIFY_WITH_TIMEOUT(log.entries.contains("error:Connecting..."), 10000);
    QCOMPARE(log.entries.value(log.entries.indexOf("error:Connecting...") + 1), QStringLiteral("-1"));
    QCOMPARE(stream.socketMessage(), QStringLiteral("Connecting..."));
}

void tst_ImageStream::unknownHost()
{
    imageStream stream(QStringLiteral("no-such-board.invalid"), 5412);
    StatusLog log(&stream);
    QTRY_VERIFY_WITH_TIMEOUT(log.entries.contains("error:Host not found or port closed"), 20000);
    QCOMPARE(stream.socketMessage(), QStringLiteral("Host not found or port closed"));
    QVERIFY(!log.entries.contains("1"));
}

void tst_ImageStream::reconnectSequence()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    imageStream stream(QStringLiteral("localhost"), server.serverPort());
    StatusLog log(&stream);
    QTRY_COMPARE_WITH_TIMEOUT(stream.socketMessage(), QStringLiteral("Connected"), 10000);
    log.entries.clear();

    stream.reconnect();
    QTRY_COMPARE_WITH_TIMEOUT(log.entries.count("info:Connected"), 2, 10000);
    // Unconnected first, repeating the previous text, then lookup and connecting, then connected.
    QCOMPARE(log.entries.mid(0, 2), (QStringList { "-1", "info:Connected" }));
    const QStringList rest = log.entries.mid(2);
    QVERIFY(rest.indexOf("info:Looking for host...") >= 0);
    QVERIFY(rest.indexOf("info:Looking for host...") < rest.indexOf("info:Connecting..."));
    QCOMPARE(rest.mid(rest.size() - 2), (QStringList { "1", "info:Connected" }));
}

void tst_ImageStream::settingsTakeEffectAtNextConnection()
{
    QTcpServer first, second;
    QVERIFY(first.listen(QHostAddress::LocalHost, 0));
    QVERIFY(second.listen(QHostAddress::LocalHost, 0));
    imageStream stream(QStringLiteral("127.0.0.1"), first.serverPort());
    QTRY_VERIFY_WITH_TIMEOUT(first.hasPendingConnections(), 10000);

    stream.setPort(second.serverPort());
    stream.setHost(QStringLiteral("localhost"));
    QTest::qWait(200); // let the event loop run: nothing may happen on the wire
    QVERIFY(!second.hasPendingConnections());
    QCOMPARE(stream.socketMessage(), QStringLiteral("Connected"));

    stream.reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(second.hasPendingConnections(), 10000);
}

void tst_ImageStream::portUsesLow16Bits()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 4464))
        QSKIP("port 4464 is taken on this machine");
    imageStream stream(QStringLiteral("127.0.0.1"), unusedPort());
    stream.setPort(70000);
    stream.reconnect();
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 10000);
}

void tst_ImageStream::grayFramePixels()
{
    ConnectedStream link;
    QVERIFY(link.open());
    imageStream &stream = *link.stream;
    QTcpSocket *peer = link.peer;
    QSignalSpy ready(&stream, &imageStream::imageIsReady);

    RecordBuilder r = grayRecord(4, 2);
    r.payload = QByteArray::fromHex("0055AAFF0055AAFF");
    peer->write(r.bytes());
    QVERIFY(ready.wait(10000));

    const QImage picture = stream.currentPixmap().toImage();
    QCOMPARE(picture.size(), QSize(4, 2));
    const int levels[] = { 0, 85, 170, 255 };
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 4; ++x)
            QCOMPARE(picture.pixelColor(x, y), QColor(levels[x], levels[x], levels[x]));
}

void tst_ImageStream::unusableFramesKeepLastPicture_data()
{
    QTest::addColumn<QByteArray>("record");
    QTest::addColumn<bool>("unshownCode");
    RecordBuilder shortPayload = grayRecord(8, 8);
    shortPayload.payload.chop(1);
    RecordBuilder zeroWidth = grayRecord(0, 8);
    zeroWidth.payload = QByteArray(64, 'z');
    RecordBuilder negative = grayRecord(2, 2);
    negative.width = -2;
    negative.height = -2;
    RecordBuilder overflowing = grayRecord(2, 2);
    overflowing.width = 0x10000;
    overflowing.height = 0x10001;
    RecordBuilder code9;
    code9.format = 9;
    code9.width = 2;
    code9.height = 2;
    code9.payload = QByteArray(4, 'n');

    QTest::newRow("payload shorter than width x height") << shortPayload.bytes() << false;
    QTest::newRow("zero width") << zeroWidth.bytes() << false;
    QTest::newRow("negative size") << negative.bytes() << false;
    QTest::newRow("width x height overflows") << overflowing.bytes() << false;
    QTest::newRow("code 9") << code9.bytes() << true;
}

void tst_ImageStream::unusableFramesKeepLastPicture()
{
    QFETCH(QByteArray, record);
    QFETCH(bool, unshownCode);
    ConnectedStream link;
    QVERIFY(link.open());
    imageStream &stream = *link.stream;
    QTcpSocket *peer = link.peer;
    QSignalSpy ready(&stream, &imageStream::imageIsReady);

    RecordBuilder good = grayRecord(4, 2);
    good.payload = QByteArray::fromHex("0055AAFF0055AAFF");
    peer->write(good.bytes());
    QVERIFY(ready.wait(10000));
    const QImage goodPicture = stream.currentPixmap().toImage();

    if (!unshownCode)
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("not shown"));
    peer->write(record);
    QVERIFY(ready.wait(10000));
    const QPixmap afterBad = stream.currentPixmap();
    if (unshownCode)
        QVERIFY(afterBad.isNull());
    else
        QCOMPARE(afterBad.toImage(), goodPicture);

    // The next good frame is shown again.
    RecordBuilder next = grayRecord(2, 2);
    next.payload = QByteArray::fromHex("FFFFFFFF");
    peer->write(next.bytes());
    QVERIFY(ready.wait(10000));
    QCOMPARE(stream.currentPixmap().toImage().pixelColor(1, 1), QColor(255, 255, 255));
}

void tst_ImageStream::statisticsArriveOverTheSocket()
{
    ConnectedStream link;
    QVERIFY(link.open());
    imageStream &stream = *link.stream;
    QTcpSocket *peer = link.peer;
    QSignalSpy fps(&stream, &imageStream::current_fps);
    QSignalSpy size(&stream, &imageStream::current_size);
    QSignalSpy format(&stream, &imageStream::current_format);
    QSignalSpy ready(&stream, &imageStream::imageIsReady);

    QByteArray burst;
    for (int i = 0; i < 11; ++i)
        burst += grayRecord(320, 240, 100 + i, 0).bytes();
    peer->write(burst);
    QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 11, 10000);
    QCOMPARE(fps.count(), 2);
    QCOMPARE(fps.at(0).at(0).toString(), QStringLiteral("0.1"));
    QCOMPARE(fps.at(1).at(0).toString(), QStringLiteral("1"));
    QCOMPARE(size.at(1).at(0).toString(), QStringLiteral("320x240"));
    QCOMPARE(format.at(0).at(0).toString(), QStringLiteral("Gray"));
}

static RecordBuilder jpegRecord(int width, int height, quint8 red, int announcedWidth = -1)
{
    QByteArray rgb(width * height * 3, 0);
    for (int i = 0; i < width * height; ++i) {
        rgb[3 * i] = char(red);
        rgb[3 * i + 1] = char(64);
        rgb[3 * i + 2] = char(200);
    }
    RecordBuilder r;
    r.format = 0;
    r.width = announcedWidth < 0 ? width : announcedWidth;
    r.height = height;
    r.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 95);
    return r;
}

void tst_ImageStream::badJpegFramesKeepLastPicture_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("announcedWidth");
    QTest::addColumn<QString>("message");
    const QByteArray good = jpegRecord(64, 48, 10).payload;
    QByteArray damaged = good;
    for (int i = 0; i < 40; ++i) // inside the tables and frame header
        damaged[20 + i] = char(0xFF);
    QTest::newRow("not a jpeg") << QByteArray("no picture here at all") << 64 << "JPEG error";
    QTest::newRow("empty payload") << QByteArray() << 64 << "JPEG error";
    QTest::newRow("cut inside the header") << good.left(100) << 64 << "JPEG error";
    QTest::newRow("damaged header") << damaged << 64 << "JPEG error";
    QTest::newRow("size differs from the record") << good << 32 << "incompatible jpeg sizes";
}

// Frame in, picture out: an undecodable frame shows the previous picture, the next good one shows.
void tst_ImageStream::badJpegFramesKeepLastPicture()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, announcedWidth);
    QFETCH(QString, message);
    ConnectedStream link;
    QVERIFY(link.open());
    imageStream &stream = *link.stream;
    QTcpSocket *peer = link.peer;
    // Pictures are taken as the window takes them: at once, for every frame.
    QList<QImage> pictures;
    connect(&stream, &imageStream::imageIsReady, this,
            [&] { pictures << stream.currentPixmap().toImage(); });

    RecordBuilder bad;
    bad.format = 0;
    bad.width = announcedWidth;
    bad.height = 48;
    bad.payload = payload;
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(message));
    QTest::ignoreMessage(QtDebugMsg, "Error in decoding jpeg");
    peer->write(jpegRecord(64, 48, 10).bytes() + bad.bytes() + jpegRecord(64, 48, 240).bytes());
    QTRY_COMPARE_WITH_TIMEOUT(pictures.size(), 3, 10000);

    QCOMPARE(pictures.at(0).size(), QSize(64, 48));
    QVERIFY(qAbs(pictures.at(0).pixelColor(5, 5).red() - 10) < 8);
    QCOMPARE(pictures.at(1), pictures.at(0));
    QVERIFY(qAbs(pictures.at(2).pixelColor(5, 5).red() - 240) < 8);
}

QTEST_MAIN(tst_ImageStream)
#include "tst_imagestream.moc"
