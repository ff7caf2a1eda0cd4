#include "FrameRecord.h"
#include "TestPattern.h"
#include "VideoServer.h"
#include "WireDump.h"
#include "WireReplay.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>

#include <memory>

namespace {

constexpr int NetworkTimeoutMs = 10000;
constexpr qint64 PayloadBound = 64 * 1024 * 1024;
const QByteArray FakeJpeg = QByteArray("\xff\xd8\xff\xe0") + QByteArray(92, 'j') + "\xff\xd9";

struct ReceivedRecord
{
    qint32 format, width, height, size, timestamp_s, timestamp_us;
    QByteArray CPos, payload;
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
            r.format = bigEndianAt(pending, at + 4);
            qint32 *const fields[] = {&r.width, &r.height, &r.size, &r.timestamp_s,
                                      &r.timestamp_us};
            for (int i = 0; i < 5; ++i)
                *fields[i] = bigEndianAt(pending, at + 12 + 4 * i);
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
    QByteArray bytes;

    explicit TestClient(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [this] {
            const QByteArray arrived = socket.readAll();
            bytes += arrived;
            reader.feed(arrived);
        });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool closed()
    {
        reader.feed(socket.readAll());
        return socket.state() == QAbstractSocket::UnconnectedState;
    }
};

QByteArray record(qint32 seconds, qint32 microseconds, const QByteArray &payload)
{
    FrameRecord r;
    r.width = 4;
    r.height = 2;
    r.timestamp_s = seconds;
    r.timestamp_us = microseconds;
    r.payload = payload;
    return r.toBytes();
}

} // namespace

Q_DECLARE_METATYPE(VideoFaults)
Q_DECLARE_METATYPE(WireReplay::Rate)

class TestPlatformSim : public QObject
{
    Q_OBJECT

private slots:
    void recordBytes();
    void streamsWholeRecords();
    void restartClosesConnections();
    void faults_data();
    void faults();
    void replay_data();
    void replay();
    void badDumps_data();
    void badDumps();
    void cleanup();

private:
    bool start(int format, int width, int height, const VideoFaults &faults = {});
    bool sendAndReceive(int frames, int expectedRecords);
    const QList<ReceivedRecord> &received() const { return client->reader.records; }
    const VideoServer::Statistics &stats() const { return server->statistics(); }

    QString writeDump(const QByteArray &bytes);

    std::unique_ptr<VideoServer> server;
    std::unique_ptr<TestClient> client;
    QTemporaryDir dumpFolder;
    std::unique_ptr<WireDump> dump;
    std::unique_ptr<WireReplay> wireReplay;
};

QString TestPlatformSim::writeDump(const QByteArray &bytes)
{
    const QString path = dumpFolder.filePath(QStringLiteral("wire"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

void TestPlatformSim::recordBytes()
{
    FrameRecord record;
    record.width = 4;
    record.height = 2;
    record.timestamp_s = 5;
    record.timestamp_us = 250000;
    record.CLum = QByteArray::fromHex("101112131415161718191a1b1c1d1e1f");
    record.CPos = QByteArray::fromHex("2021222324");
    record.payload = QByteArray::fromHex("0102030405060708");
    QCOMPARE(record.toBytes(), QByteArray::fromHex(
        "ad1a15ee" "00000001" "00000000" "00000004" "00000002" "00000008" "00000005" "0003d090"
        "101112131415161718191a1b1c1d1e1f" "20212223240000000000000000000000" "0102030405060708"));

    // Code 10 and above end after CPos; fault records may announce any size.
    record.format = 10;
    record.size = -1;
    const QByteArray bytes = record.toBytes();
    QCOMPARE(bytes.size(), FrameRecord::HeaderBytes);
    QCOMPARE(bytes.mid(20, 4), QByteArray::fromHex("ffffffff"));
}

// A server on a free port making frames on demand (fps 0), and one client connected to it.
bool TestPlatformSim::start(int format, int width, int height, const VideoFaults &faults)
{
    server = std::make_unique<VideoServer>();
    server->pattern().setJpegEncoder([](const uchar *, int, int, int, int) { return FakeJpeg; });
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
    wireReplay.reset();
    dump.reset();
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
        QCOMPARE(QList<int>({r.format, r.width, r.height, r.size}), QList<int>({1, 64, 48, 3072}));
        QVERIFY(r.timestamp_s >= before - 1 && r.timestamp_s <= QDateTime::currentSecsSinceEpoch());
        QVERIFY(r.timestamp_us >= 0 && r.timestamp_us < 1000000);
        const auto record = sent.at(i).at(0).value<FrameRecord>();
        QCOMPARE(r.payload, record.payload);
        QCOMPARE(r.CPos, record.CPos);
    }
    QCOMPARE(client->reader.skippedBytes, 0);
    QVERIFY(received().at(0).payload != received().at(1).payload);
}

void TestPlatformSim::restartClosesConnections()
{
    QVERIFY(start(TestPattern::Gray, 64, 48));
    QSignalSpy restarted(server.get(), &VideoServer::streamRestarted);
    QVERIFY(!server->applyConfiguration(TestPattern::Nv12, 6, 5, 30));
    QVERIFY(server->applyConfiguration(TestPattern::Uyvy, 32, 16, 0));
    QCOMPARE(restarted.size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(client->closed(), NetworkTimeoutMs);

    client = std::make_unique<TestClient>(server->serverPort());
    QTRY_COMPARE_WITH_TIMEOUT(server->clientCount(), 1, NetworkTimeoutMs);
    QVERIFY(sendAndReceive(1, 1));
    const ReceivedRecord &r = received().at(0);
    QCOMPARE(QList<int>({r.format, r.width, r.height, r.size}), QList<int>({2, 32, 16, 1024}));
}

void TestPlatformSim::faults_data()
{
    QTest::addColumn<VideoFaults>("faults");
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("arriving");
    QTest::addColumn<int>("damaged");

    const auto every = [](int VideoFaults::*fault, int n) {
        VideoFaults faults;
        faults.*fault = n;
        return faults;
    };
    QTest::newRow("close every 2") << every(&VideoFaults::closeEvery, 2) << 3 << 2 << 0;
    QTest::newRow("garbage") << every(&VideoFaults::garbageEvery, 1) << 6 << 6 << 0;
    QTest::newRow("cut off every 2") << every(&VideoFaults::truncateEvery, 2) << 2 << 1 << 1;
    QTest::newRow("bad size every 2") << every(&VideoFaults::badSizeEvery, 2) << 6 << 6 << 3;
    QTest::newRow("corrupt jpeg") << every(&VideoFaults::corruptJpegEvery, 2) << 5 << 5 << 2;
    QTest::newRow("switch every 2") << every(&VideoFaults::switchEvery, 2) << 8 << 8 << 0;
}

// Every record the server counts as intact arrives whole; damaged ones cannot pass for intact.
void TestPlatformSim::faults()
{
    QFETCH(VideoFaults, faults);
    QFETCH(int, frames);
    QFETCH(int, arriving);
    QFETCH(int, damaged);

    QVERIFY(start(faults.corruptJpegEvery ? TestPattern::Jpeg : TestPattern::Gray, 64, 48, faults));
    for (int i = 0; i < frames; ++i)
        server->sendFrame();
    const bool closes = faults.closeEvery > 0 || faults.truncateEvery > 0;
    QTRY_VERIFY_WITH_TIMEOUT(closes ? client->closed() : received().size() >= arriving,
                             NetworkTimeoutMs);
    QCOMPARE(received().size(), arriving);
    QCOMPARE(stats().recordsDamaged, damaged);
    QCOMPARE(client->reader.pending.isEmpty(), faults.truncateEvery == 0);
    QCOMPARE(client->reader.skippedBytes, stats().garbageBytes);
    QCOMPARE(stats().garbageBytes > 0, faults.garbageEvery > 0);

    int intact = 0;
    QSet<QList<int>> configurations;
    for (const ReceivedRecord &r : received()) {
        intact += r.format == TestPattern::Jpeg
                      ? r.payload == FakeJpeg
                      : r.size == TestPattern::payloadSize(r.format, r.width, r.height);
        configurations.insert({r.format, r.width, r.height});
    }
    QCOMPARE(intact, stats().recordsIntact);
    QCOMPARE(configurations.size() > 1, faults.switchEvery > 0);
}

void TestPlatformSim::replay_data()
{
    QTest::addColumn<WireReplay::Rate>("rate");
    QTest::addColumn<bool>("loop");
    QTest::addColumn<QByteArray>("tail");
    QTest::addColumn<bool>("tailLoops");
    QTest::addColumn<int>("minimumSpanMs");

    const QByteArray garbage = QByteArray::fromHex("0102030405060708");
    const QByteArray cutOff = record(1, 0, QByteArray(8, 'c')).left(FrameRecord::HeaderBytes + 3);
    QTest::newRow("max") << WireReplay::Rate::Max << false << cutOff << false << 0;
    // Three records 0.3 s apart on the board's clock: no burst, whatever the machine's speed.
    QTest::newRow("recorded") << WireReplay::Rate::Recorded << false << garbage << true << 400;
    QTest::newRow("loop") << WireReplay::Rate::Max << true << garbage << true << 0;
    // A dump cut off inside a record loops from its last whole record, or every later round
    // would be read as the cut-off record's payload.
    QTest::newRow("loop, cut off") << WireReplay::Rate::Max << true << cutOff << false << 0;
}

// Garbage, a record with a bad size and a cut-off end are part of the stream: they all go out.
void TestPlatformSim::replay()
{
    QFETCH(WireReplay::Rate, rate);
    QFETCH(bool, loop);
    QFETCH(QByteArray, tail);
    QFETCH(bool, tailLoops);
    QFETCH(int, minimumSpanMs);

    FrameRecord badSize;
    badSize.size = -1;
    const QByteArray garbage = QByteArray::fromHex("f00df00d");
    const QByteArray whole = garbage + record(100, 0, "payload0") + garbage
                             + record(100, 300000, "payload1") + badSize.toBytes()
                             + record(100, 600000, "payload2");
    const QByteArray bytes = whole + tail;
    dump = std::make_unique<WireDump>();
    QVERIFY(dump->load(writeDump(bytes)));
    QCOMPARE(dump->records().size(), 3);
    wireReplay = std::make_unique<WireReplay>(*dump, rate, loop);
    server = std::make_unique<VideoServer>();
    server->setReplay(wireReplay.get());
    QVERIFY(server->listen(QHostAddress(QHostAddress::LocalHost), 0));
    client = std::make_unique<TestClient>(server->serverPort());
    QElapsedTimer clock;
    clock.start();
    QList<qint64> arrivals;
    QObject::connect(&client->socket, &QTcpSocket::readyRead, &client->socket, [&] {
        while (arrivals.size() < client->reader.records.size())
            arrivals.append(clock.elapsed());
    });

    const QByteArray round = tailLoops ? bytes : whole;
    const QByteArray expected = loop ? round.repeated(3) : bytes;
    QTRY_VERIFY_WITH_TIMEOUT(client->bytes.size() >= expected.size(), NetworkTimeoutMs);
    QCOMPARE(loop ? client->bytes.left(expected.size()) : client->bytes, expected);
    QVERIFY(arrivals.constLast() - arrivals.constFirst() >= minimumSpanMs);
}

void TestPlatformSim::badDumps_data()
{
    QTest::addColumn<bool>("exists");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("missing") << false << QByteArray();
    QTest::newRow("empty") << true << QByteArray();
    QTest::newRow("garbage") << true << QByteArray(400, '\x5a');
    QTest::newRow("cut-off record") << true << record(1, 0, QByteArray(8, 'p')).chopped(1);
}

void TestPlatformSim::badDumps()
{
    QFETCH(bool, exists);
    QFETCH(QByteArray, bytes);
    const QString path = exists ? writeDump(bytes) : dumpFolder.filePath(QStringLiteral("none"));
    WireDump bad;
    QVERIFY(!bad.load(path));
    QVERIFY(bad.errorString().contains(path));
    QVERIFY(!bad.errorString().contains(QLatin1Char('\n')));
}

QTEST_GUILESS_MAIN(TestPlatformSim)
#include "tst_platformsim.moc"
