#include "FrameRecord.h"
#include "TestPattern.h"
#include "VideoServer.h"

#include <QDateTime>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <memory>

namespace {

constexpr int NetworkTimeoutMs = 10000;
constexpr qint64 PayloadBound = 64 * 1024 * 1024;

struct ReceivedRecord
{
    qint32 format, reserved, width, height, size, timestamp_s, timestamp_us;
    QByteArray CLum, CPos, payload;
};

qint32 bigEndianAt(const QByteArray &bytes, qsizetype offset)
{
    return qFromBigEndian<qint32>(bytes.constData() + offset);
}

// Splits a byte stream into records, passing over 4-byte words that are not the magic. A payload
// size that is negative or beyond the bound counts as no payload.
struct RecordReader
{
    QByteArray pending;
    QList<ReceivedRecord> records;
    qint64 skippedBytes = 0;

    void feed(const QByteArray &bytes)
    {
        pending += bytes;
        qsizetype at = 0;
        while (pending.size() - at >= 4) {
            if (quint32(bigEndianAt(pending, at)) != FrameRecord::Magic) {
                at += 4;
                skippedBytes += 4;
                continue;
            }
            if (pending.size() - at < FrameRecord::HeaderBytes)
                break;
            ReceivedRecord r;
            qint32 *const fields[] = {&r.format, &r.reserved, &r.width, &r.height,
                                      &r.size, &r.timestamp_s, &r.timestamp_us};
            for (int i = 0; i < 7; ++i)
                *fields[i] = bigEndianAt(pending, at + 4 + 4 * i);
            r.CLum = pending.mid(at + 32, 16);
            r.CPos = pending.mid(at + 48, 16);
            const bool carries = quint32(r.format) < 10 && r.size >= 0 && r.size <= PayloadBound;
            const qsizetype payloadBytes = carries ? r.size : 0;
            if (pending.size() - at - FrameRecord::HeaderBytes < payloadBytes)
                break;
            r.payload = pending.mid(at + FrameRecord::HeaderBytes, payloadBytes);
            records.append(r);
            at += FrameRecord::HeaderBytes + payloadBytes;
        }
        pending.remove(0, at);
    }
};

struct TestClient
{
    QTcpSocket socket;
    RecordReader reader;

    explicit TestClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket,
                         [this] { reader.feed(socket.readAll()); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool closed()
    {
        reader.feed(socket.readAll());
        return socket.state() == QAbstractSocket::UnconnectedState;
    }
};

// The viewer's definition of the colour arithmetic and sample positions, kept here as the
// reference the generated layouts must round-trip through.
void referenceRgb(const uchar *src, int format, int w, int h, int r, int c, int rgb[3])
{
    const int n = r * w + c;
    int Y, U, V;
    if (format == TestPattern::Uyvy) {
        Y = src[2 * n + 1];
        U = src[4 * (n / 2)];
        V = src[4 * (n / 2) + 2];
    } else if (format == TestPattern::Yuv420) {
        Y = src[n];
        U = src[w * h + (r / 2) * (w / 2) + c / 2];
        V = src[(5 * w * h) / 4 + (r / 2) * (w / 2) + c / 2];
    } else {
        Y = src[n];
        U = src[w * h + (r / 2) * w + 2 * (c / 2)];
        V = src[w * h + (r / 2) * w + 2 * (c / 2) + 1];
    }
    const int y = Y - 16, u = U - 128, v = V - 128;
    const int values[3] = {(298 * y + 409 * v + 128) >> 8, (298 * y - 100 * u - 208 * v + 128) >> 8,
                           (298 * y + 516 * u + 128) >> 8};
    for (int i = 0; i < 3; ++i)
        rgb[i] = std::clamp(values[i], 0, 255);
}

} // namespace

class TestPlatformSim : public QObject
{
    Q_OBJECT

private slots:
    // Frame records
    void grayRecordBytes();
    void payloadOnlyBelowCodeTen_data();
    void payloadOnlyBelowCodeTen();
    void overriddenFields();

    // Test pattern
    void payloadSizes_data();
    void payloadSizes();
    void pureColours_data();
    void pureColours();
    void chromaLayouts_data();
    void chromaLayouts();
    void patternMoves();
    void jpegNeedsEncoder();

    // Video server over real sockets
    void streamsWholeRecords();
    void restartClosesConnections();
    void slowClientMissesFrames();
    void burstWaitsForTheClient();
    void frameLimitFinishes();

    // Faults
    void closeEveryN();
    void garbageBetweenRecords();
    void truncatedRecordThenClose();
    void badSizesCarryNoPayload();
    void switchesFormatAndSize();
    void corruptJpeg();

    void cleanup();

private:
    bool start(int format, int width, int height, const VideoFaults &faults = {},
               const TestPattern::JpegEncoder &encoder = {});
    bool sendAndReceive(int frames, int expectedRecords);
    const QList<ReceivedRecord> &received() const { return client->reader.records; }
    const VideoServer::Statistics &stats() const { return server->statistics(); }

    std::unique_ptr<VideoServer> server;
    std::unique_ptr<TestClient> client;
};

void TestPlatformSim::grayRecordBytes()
{
    FrameRecord record;
    record.format = 1;
    record.width = 4;
    record.height = 2;
    record.timestamp_s = 5;
    record.timestamp_us = 250000;
    record.CLum = QByteArray::fromHex("101112131415161718191a1b1c1d1e1f");
    record.CPos = QByteArray::fromHex("202122232425262728292a2b2c2d2e2f");
    record.payload = QByteArray::fromHex("0102030405060708");

    const QByteArray expected = QByteArray::fromHex(
        "ad1a15ee" "00000001" "00000000" "00000004" "00000002" "00000008" "00000005" "0003d090"
        "101112131415161718191a1b1c1d1e1f" "202122232425262728292a2b2c2d2e2f" "0102030405060708");
    QCOMPARE(expected.size(), 72);
    QCOMPARE(record.toBytes(), expected);
    QCOMPARE(record.header(), expected.left(FrameRecord::HeaderBytes));
}

void TestPlatformSim::payloadOnlyBelowCodeTen_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("expectedSize");
    QTest::newRow("code 9 carries it") << 9 << 64 + 5;
    QTest::newRow("code 10 ends after CPos") << 10 << 64;
    QTest::newRow("code 12") << 12 << 64;
    QTest::newRow("code -1 is unsigned large") << -1 << 64;
}

void TestPlatformSim::payloadOnlyBelowCodeTen()
{
    QFETCH(int, format);
    QFETCH(int, expectedSize);
    FrameRecord record;
    record.format = format;
    record.payload = "12345";
    const QByteArray bytes = record.toBytes();
    QCOMPARE(bytes.size(), expectedSize);
    QCOMPARE(bigEndianAt(bytes, 20), 5);
}

void TestPlatformSim::overriddenFields()
{
    FrameRecord record;
    record.format = 3;
    record.reserved = -2;
    record.size = -1;
    record.CLum = "abc";
    record.CPos = QByteArray(20, 'x');
    record.payload = "pixels";
    const QByteArray bytes = record.toBytes();
    QCOMPARE(bigEndianAt(bytes, 8), -2);
    QCOMPARE(bytes.mid(20, 4), QByteArray::fromHex("ffffffff"));
    QCOMPARE(bytes.mid(32, 16), QByteArray("abc") + QByteArray(13, '\0'));
    QCOMPARE(bytes.mid(48, 16), QByteArray(16, 'x'));
    QCOMPARE(bytes.mid(64), QByteArray("pixels"));
    QCOMPARE(FrameRecord::sensorBlock(1, -1, 256, 0x01020304),
             QByteArray::fromHex("00000001ffffffff0000010001020304"));
}

void TestPlatformSim::payloadSizes_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<qint64>("expected");
    QTest::newRow("gray VGA") << int(TestPattern::Gray) << 640 << 480 << qint64(307200);
    QTest::newRow("gray odd") << int(TestPattern::Gray) << 3 << 3 << qint64(9);
    QTest::newRow("uyvy odd height") << int(TestPattern::Uyvy) << 4 << 3 << qint64(24);
    QTest::newRow("uyvy odd width") << int(TestPattern::Uyvy) << 3 << 2 << qint64(-1);
    QTest::newRow("yuv420 VGA") << int(TestPattern::Yuv420) << 640 << 480 << qint64(460800);
    QTest::newRow("yuv420 odd height") << int(TestPattern::Yuv420) << 4 << 3 << qint64(-1);
    QTest::newRow("nv12 endoscope") << int(TestPattern::Nv12) << 400 << 400 << qint64(240000);
    QTest::newRow("zero width") << int(TestPattern::Gray) << 0 << 2 << qint64(-1);
    QTest::newRow("too wide") << int(TestPattern::Gray) << 4097 << 1 << qint64(-1);
    QTest::newRow("jpeg varies") << int(TestPattern::Jpeg) << 640 << 480 << qint64(-1);
}

void TestPlatformSim::payloadSizes()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(qint64, expected);
    QCOMPARE(TestPattern::payloadSize(format, width, height), expected);
    TestPattern pattern;
    QCOMPARE(pattern.payload(format, width, height, 12345).size(), std::max<qint64>(0, expected));
}

void TestPlatformSim::pureColours_data()
{
    QTest::addColumn<int>("r");
    QTest::addColumn<int>("g");
    QTest::addColumn<int>("b");
    QTest::addColumn<int>("y");
    QTest::addColumn<int>("u");
    QTest::addColumn<int>("v");
    // BT.601 limited range, rounded.
    QTest::newRow("black") << 0 << 0 << 0 << 16 << 128 << 128;
    QTest::newRow("white") << 255 << 255 << 255 << 235 << 128 << 128;
    QTest::newRow("red") << 255 << 0 << 0 << 81 << 90 << 240;
    QTest::newRow("green") << 0 << 255 << 0 << 145 << 54 << 34;
    QTest::newRow("blue") << 0 << 0 << 255 << 41 << 240 << 110;
    QTest::newRow("yellow") << 255 << 255 << 0 << 210 << 16 << 146;
}

void TestPlatformSim::pureColours()
{
    QFETCH(int, r);
    QFETCH(int, g);
    QFETCH(int, b);
    QFETCH(int, y);
    QFETCH(int, u);
    QFETCH(int, v);
    int gotY, gotU, gotV;
    TestPattern::rgbToYuv(r, g, b, gotY, gotU, gotV);
    QVERIFY2(std::abs(gotY - y) <= 1, qPrintable(QString::number(gotY)));
    QVERIFY2(std::abs(gotU - u) <= 1, qPrintable(QString::number(gotU)));
    QVERIFY2(std::abs(gotV - v) <= 1, qPrintable(QString::number(gotV)));
}

void TestPlatformSim::chromaLayouts_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("uyvy") << int(TestPattern::Uyvy);
    QTest::newRow("yuv420") << int(TestPattern::Yuv420);
    QTest::newRow("nv12") << int(TestPattern::Nv12);
}

void TestPlatformSim::chromaLayouts()
{
    QFETCH(int, format);
    // 4 x 4 in 2 x 2 blocks of red, green / blue, white: every chroma sample covers one colour,
    // so the round trip must come back close wherever each layout keeps its samples.
    constexpr int W = 4, H = 4;
    const uchar quadrant[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
    uchar rgb[W * H * 3];
    for (int r = 0; r < H; ++r)
        for (int c = 0; c < W; ++c)
            std::memcpy(rgb + 3 * (r * W + c), quadrant[(r / 2) * 2 + c / 2], 3);

    QByteArray out(TestPattern::payloadSize(format, W, H) + 1, '\x5a');
    auto *dst = reinterpret_cast<uchar *>(out.data());
    if (format == TestPattern::Uyvy)
        TestPattern::rgbToUyvy(rgb, W, H, dst);
    else if (format == TestPattern::Yuv420)
        TestPattern::rgbToYuv420(rgb, W, H, dst);
    else
        TestPattern::rgbToNv12(rgb, W, H, dst);
    QCOMPARE(out.back(), '\x5a'); // nothing written past the layout's size

    for (int r = 0; r < H; ++r) {
        for (int c = 0; c < W; ++c) {
            int back[3];
            referenceRgb(dst, format, W, H, r, c, back);
            for (int i = 0; i < 3; ++i)
                QVERIFY2(std::abs(back[i] - rgb[3 * (r * W + c) + i]) <= 3,
                         qPrintable(QStringLiteral("pixel %1,%2 channel %3: %4")
                                        .arg(r).arg(c).arg(i).arg(back[i])));
        }
    }
}

void TestPlatformSim::patternMoves()
{
    TestPattern pattern;
    for (int format : {int(TestPattern::Gray), int(TestPattern::Uyvy), int(TestPattern::Nv12)}) {
        const QByteArray first = pattern.payload(format, 160, 120, 1);
        QCOMPARE(pattern.payload(format, 160, 120, 1), first);
        QVERIFY(pattern.payload(format, 160, 120, 2) != first);
        // Same bar position (frame 0 and frame 128 at step 1), other counter digits.
        QVERIFY(pattern.payload(format, 128, 120, 0) != pattern.payload(format, 128, 120, 128));
    }
    // The gradient runs from black to white across the picture, away from bar and counter.
    const QByteArray gray = pattern.payload(TestPattern::Gray, 256, 100, 0);
    QCOMPARE(uchar(gray.at(99 * 256 + 100)), uchar(100));
    QCOMPARE(uchar(gray.at(99 * 256 + 255)), uchar(255));
    // Sizes smaller than the drawings are clipped, not overrun.
    for (int size : {1, 2})
        QCOMPARE(pattern.payload(TestPattern::Nv12, 2, size * 2, 4294967295u).size(), 6 * size);
}

void TestPlatformSim::jpegNeedsEncoder()
{
    TestPattern pattern;
    QVERIFY(!pattern.canProduce(TestPattern::Jpeg));
    QVERIFY(pattern.payload(TestPattern::Jpeg, 8, 8, 0).isEmpty());

    QList<int> seen;
    QByteArray firstPixel;
    pattern.setJpegEncoder([&](const uchar *pixels, int w, int h, int components, int quality) {
        seen = {w, h, components, quality};
        firstPixel = QByteArray(reinterpret_cast<const char *>(pixels), 3);
        return QByteArray("\xff\xd8 jpeg \xff\xd9");
    });
    pattern.setJpegQuality(150);
    QVERIFY(pattern.canProduce(TestPattern::Jpeg));
    QCOMPARE(pattern.payload(TestPattern::Jpeg, 320, 240, 3), QByteArray("\xff\xd8 jpeg \xff\xd9"));
    QCOMPARE(seen, QList<int>({320, 240, 3, 100}));
    QCOMPARE(firstPixel, QByteArray(3, '\xff')); // the white bar
}

// A server on a free port making frames on demand (fps 0), and one client connected to it.
bool TestPlatformSim::start(int format, int width, int height, const VideoFaults &faults,
                            const TestPattern::JpegEncoder &encoder)
{
    server = std::make_unique<VideoServer>();
    server->pattern().setJpegEncoder(encoder);
    server->setRandomSeed(7);
    server->setFaults(faults);
    if (!server->setConfiguration(format, width, height, 0)
        || !server->listen(QHostAddress(QHostAddress::LocalHost), 0))
        return false;
    client = std::make_unique<TestClient>(server->serverPort());
    return QTest::qWaitFor([this] { return server->clientCount() == 1; }, NetworkTimeoutMs);
}

bool TestPlatformSim::sendAndReceive(int frames, int expectedRecords)
{
    for (int i = 0; i < frames; ++i)
        server->sendFrame();
    return QTest::qWaitFor([&] { return received().size() >= expectedRecords; }, NetworkTimeoutMs)
           && received().size() == expectedRecords;
}

void TestPlatformSim::cleanup()
{
    client.reset();
    server.reset();
}

void TestPlatformSim::streamsWholeRecords()
{
    QVERIFY(start(TestPattern::Gray, 64, 48));
    QSignalSpy sent(server.get(), &VideoServer::recordSent);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    QVERIFY(sendAndReceive(3, 3));
    QCOMPARE(sent.size(), 3);
    for (int i = 0; i < 3; ++i) {
        const ReceivedRecord &r = received().at(i);
        QCOMPARE(r.format, 1);
        QCOMPARE(r.width, 64);
        QCOMPARE(r.height, 48);
        QCOMPARE(r.size, 64 * 48);
        QVERIFY(r.timestamp_s >= before - 1 && r.timestamp_s <= QDateTime::currentSecsSinceEpoch());
        QVERIFY(r.timestamp_us >= 0 && r.timestamp_us < 1000000);
        const auto record = sent.at(i).at(0).value<FrameRecord>();
        QVERIFY(sent.at(i).at(1).toBool());
        QCOMPARE(r.payload, record.payload);
        QCOMPARE(r.CPos, record.CPos);
    }
    QCOMPARE(client->reader.skippedBytes, 0);
    QVERIFY(received().at(0).payload != received().at(1).payload);
    QCOMPARE(stats().recordsIntact, 3);
    QCOMPARE(stats().framesProduced, 3);
}

void TestPlatformSim::restartClosesConnections()
{
    QVERIFY(start(TestPattern::Gray, 64, 48));
    QSignalSpy restarted(server.get(), &VideoServer::streamRestarted);
    QVERIFY(!server->applyConfiguration(TestPattern::Jpeg, 64, 48, 30)); // no encoder
    QVERIFY(!server->applyConfiguration(TestPattern::Nv12, 6, 5, 30));
    QVERIFY(!server->applyConfiguration(TestPattern::Gray, 64, 48, -1));
    QVERIFY(!server->applyConfiguration(7, 64, 48, 30));
    QCOMPARE(server->clientCount(), 1);
    QVERIFY(restarted.isEmpty());

    QVERIFY(server->applyConfiguration(TestPattern::Uyvy, 32, 16, 0));
    QCOMPARE(restarted.size(), 1);
    QCOMPARE(server->clientCount(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);
    QCOMPARE(stats().connectionsClosed, 1);

    client = std::make_unique<TestClient>(server->serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(server->clientCount(), 1, NetworkTimeoutMs);
    QVERIFY(sendAndReceive(1, 1));
    QCOMPARE(received()[0].format, 2);
    QCOMPARE(received()[0].width, 32);
    QCOMPARE(received()[0].height, 16);
    QCOMPARE(received()[0].payload.size(), 2 * 32 * 16);
}

void TestPlatformSim::slowClientMissesFrames()
{
    QVERIFY(start(TestPattern::Gray, 64, 48));
    server->setMaxPendingBytes(1);
    // Without the event loop nothing leaves the socket's queue: all but the first are skipped.
    QVERIFY(sendAndReceive(5, 1));
    QCOMPARE(stats().framesSkipped, 4);
    QCOMPARE(stats().recordsIntact, 1);
    QVERIFY(sendAndReceive(1, 2));
    QCOMPARE(client->reader.skippedBytes, 0);
}

void TestPlatformSim::burstWaitsForTheClient()
{
    QVERIFY(start(TestPattern::Uyvy, 320, 240));
    QSignalSpy done(server.get(), &VideoServer::framesSent);
    // 100 records of 150 KiB are far more than a socket buffer holds.
    server->sendFrames(100);
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, NetworkTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 100, NetworkTimeoutMs);
    QCOMPARE(stats().framesSkipped, 0);
    QCOMPARE(stats().recordsIntact, 100);
    QCOMPARE(client->reader.skippedBytes, 0);
}

void TestPlatformSim::frameLimitFinishes()
{
    QVERIFY(start(TestPattern::Gray, 32, 32));
    server->setFrameLimit(3);
    QSignalSpy finished(server.get(), &VideoServer::finished);
    QVERIFY(server->setConfiguration(TestPattern::Gray, 32, 32, 200));
    QVERIFY(finished.wait(NetworkTimeoutMs));
    QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);
    QCOMPARE(received().size(), 3);
    QCOMPARE(stats().framesProduced, 3);
}

void TestPlatformSim::closeEveryN()
{
    VideoFaults faults;
    faults.closeEvery = 2;
    QVERIFY(start(TestPattern::Gray, 32, 32, faults));
    for (int i = 0; i < 3; ++i)
        server->sendFrame();
    QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);
    QCOMPARE(received().size(), 2);
    QVERIFY(client->reader.pending.isEmpty());
    QCOMPARE(stats().recordsIntact, 2);
    QCOMPARE(stats().connectionsClosed, 1);
}

void TestPlatformSim::garbageBetweenRecords()
{
    VideoFaults faults;
    faults.garbageEvery = 1;
    QVERIFY(start(TestPattern::Gray, 32, 32, faults));
    QVERIFY(sendAndReceive(20, 20));
    QVERIFY(client->reader.skippedBytes >= 20 * 4);
    QCOMPARE(client->reader.skippedBytes, stats().garbageBytes);
    QCOMPARE(stats().recordsIntact, 20);
    for (const ReceivedRecord &r : received())
        QCOMPARE(r.size, 32 * 32);
}

void TestPlatformSim::truncatedRecordThenClose()
{
    VideoFaults faults;
    faults.truncateEvery = 2;
    QVERIFY(start(TestPattern::Gray, 30, 20, faults));
    server->sendFrame();
    server->sendFrame();
    QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);
    QCOMPARE(received().size(), 1);
    const QByteArray &cut = client->reader.pending;
    QCOMPARE(bigEndianAt(cut, 20), 600);
    const qsizetype arrived = cut.size() - FrameRecord::HeaderBytes;
    QVERIFY(arrived > 0 && arrived < 600);
    QCOMPARE((600 - arrived) % 4, 0);
    QCOMPARE(stats().recordsIntact, 1);
    QCOMPARE(stats().recordsDamaged, 1);
}

void TestPlatformSim::badSizesCarryNoPayload()
{
    VideoFaults faults;
    faults.badSizeEvery = 2;
    QVERIFY(start(TestPattern::Gray, 32, 32, faults));
    QVERIFY(sendAndReceive(8, 8));
    QCOMPARE(client->reader.skippedBytes, 0);
    for (int i = 0; i < 8; ++i) {
        const ReceivedRecord &r = received().at(i);
        if (i % 2 == 0) {
            QCOMPARE(r.size, 32 * 32);
        } else {
            QVERIFY2(r.size < 0 || r.size > PayloadBound, qPrintable(QString::number(r.size)));
            QVERIFY(r.payload.isEmpty());
        }
    }
    QCOMPARE(stats().recordsDamaged, 4);
}

void TestPlatformSim::switchesFormatAndSize()
{
    VideoFaults faults;
    faults.switchEvery = 2;
    QVERIFY(start(TestPattern::Gray, 640, 480, faults));
    QVERIFY(sendAndReceive(8, 8));
    QSet<int> formats;
    for (int i = 0; i < 8; ++i) {
        const ReceivedRecord &r = received().at(i);
        QCOMPARE(qint64(r.size), TestPattern::payloadSize(r.format, r.width, r.height));
        formats.insert(r.format);
        QCOMPARE(r.format, received().at(i - i % 2).format);
        if (i >= 2) {
            const ReceivedRecord &before = received().at(i - 2);
            QVERIFY(r.format != before.format || r.width != before.width
                    || r.height != before.height);
        }
    }
    QCOMPARE(formats.size(), 4);
    QCOMPARE(stats().connectionsClosed, 0);
}

void TestPlatformSim::corruptJpeg()
{
    const QByteArray jpeg = QByteArray("\xff\xd8\xff\xe0") + QByteArray(92, 'j') + "\xff\xd9";
    VideoFaults faults;
    faults.corruptJpegEvery = 2;
    QVERIFY(start(TestPattern::Jpeg, 64, 48, faults,
                  [&](const uchar *, int, int, int, int) { return jpeg; }));
    QVERIFY(sendAndReceive(9, 9));
    for (int i = 0; i < 9; ++i) {
        const ReceivedRecord &r = received().at(i);
        QCOMPARE(r.format, 0);
        QCOMPARE(r.size, r.payload.size());
        QCOMPARE(r.payload == jpeg, i % 2 == 0);
    }
    QCOMPARE(stats().recordsDamaged, 4);
    QCOMPARE(stats().recordsIntact, 5);
}

QTEST_GUILESS_MAIN(TestPlatformSim)
#include "tst_platformsim.moc"
