#include "JpegEncoder.h"
#include "RawConvert.h"
#include "RecordBuilder.h"
#include "VideoServer.h"
#include "imageStream.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

static constexpr int NetworkTimeoutMs = 20000;

static QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

static QStringList progressTexts(int first, int last)
{
    QStringList texts;
    for (int n = first; n <= last; ++n)
        texts << QStringLiteral("Capturing image... %1").arg(n);
    return texts;
}

// The frame as R,G,B bytes, computed from the payload that was sent.
static QByteArray expectedRgb(int format, int width, int height, const QByteArray &payload)
{
    QByteArray rgb(3 * width * height, Qt::Uninitialized);
    if (format == 1) {
        for (int i = 0; i < width * height; ++i)
            rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = payload.at(i);
    } else if (convertRawToRgb(reinterpret_cast<const uint8_t *>(payload.constData()),
                               size_t(payload.size()), format, width, height,
                               reinterpret_cast<uint8_t *>(rgb.data()), size_t(rgb.size()))
               < 0) {
        return QByteArray();
    }
    return rgb;
}

// Whether the file is a BMP picture holding exactly these R,G,B pixels.
static bool isBmpOf(const QString &path, int width, int height, const QByteArray &rgb)
{
    if (!fileBytes(path).startsWith("BM"))
        return false;
    const QImage picture = QImage(path, "BMP").convertToFormat(QImage::Format_RGB888);
    if (picture.size() != QSize(width, height))
        return false;
    for (int y = 0; y < height; ++y)
        if (std::memcmp(picture.constScanLine(y), rgb.constData() + 3 * width * y, size_t(3 * width)))
            return false;
    return true;
}

// A stream client whose frames are taken as the window takes them, noting progress texts.
class Client
{
public:
    explicit Client(quint16 port) : stream(QStringLiteral("127.0.0.1"), port)
    {
        QObject::connect(&stream, &imageStream::imageIsReady, &stream, [this] {
            stream.currentPixmap();
            ++frames;
        });
        QObject::connect(&stream, &imageStream::capture_in_progress, &stream,
                         [this](const QString &text) { progress << text; });
    }
    bool waitForFrames(int count)
    {
        return QTest::qWaitFor([&] { return frames >= count; }, NetworkTimeoutMs) && frames == count;
    }

    imageStream stream;
    int frames = 0;
    QStringList progress;
};

class tst_CaptureStream : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyFrameIsStored_data();
    void everyFrameIsStored();
    void undecodableJpegIsStored();
    void unconvertedFrameIsNoPicture_data();
    void unconvertedFrameIsNoPicture();
    void restartBeginsAtZeroAndOverwrites();
    void folderRemovedAndRestored_data();
    void folderRemovedAndRestored();

private:
    bool startSimulator(int format, int width, int height);
    bool sendFrames(int count);
    QString folder() const { return dir->path(); }
    QString path(const QString &name) const { return folder() + '/' + name; }
    QStringList files() const { return QDir(folder()).entryList(QDir::Files, QDir::Name); }

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<VideoServer> server;
    std::unique_ptr<Client> client;
    QList<QByteArray> sent;
};

void tst_CaptureStream::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    sent.clear();
}

void tst_CaptureStream::cleanup()
{
    client.reset();
    server.reset();
    dir.reset();
}

// The simulator on a free port, frames on demand only, and the stream client connected to it.
bool tst_CaptureStream::startSimulator(int format, int width, int height)
{
    server = std::make_unique<VideoServer>();
    server->pattern().setJpegEncoder(encodeJpeg);
    if (!server->setConfiguration(format, width, height, 0)
        || !server->listen(QHostAddress(QHostAddress::LocalHost), 0))
        return false;
    QObject::connect(server.get(), &VideoServer::recordSent, server.get(),
                     [this](const FrameRecord &record, bool) { sent << record.payload; });
    client = std::make_unique<Client>(server->serverPort());
    return QTest::qWaitFor([this] { return server->clientCount() == 1; }, NetworkTimeoutMs);
}

bool tst_CaptureStream::sendFrames(int count)
{
    const int target = client->frames + count;
    server->sendFrames(count);
    return client->waitForFrames(target);
}

void tst_CaptureStream::everyFrameIsStored_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("JPG") << 0 << 160 << 120 << false << "jpg" << "bvtgrab_";
    QTest::newRow("JPG, raw box checked, no prefix") << 0 << 160 << 120 << true << "jpg" << "";
    QTest::newRow("Gray raw, VGA") << 1 << 640 << 480 << true << "bvt" << "run_";
    QTest::newRow("Gray BMP") << 1 << 64 << 48 << false << "bmp" << "run_";
    QTest::newRow("UYVY raw") << 2 << 64 << 48 << true << "bvt" << "run_";
    QTest::newRow("UYVY BMP") << 2 << 64 << 48 << false << "bmp" << "run_";
    QTest::newRow("YUV420 raw") << 3 << 64 << 48 << true << "bvt" << "run_";
    QTest::newRow("YUV420 BMP") << 3 << 64 << 48 << false << "bmp" << "run_";
    QTest::newRow("NV12 raw") << 4 << 64 << 48 << true << "bvt" << "run_";
    QTest::newRow("NV12 BMP, VGA") << 4 << 640 << 480 << false << "bmp" << "run_";
}

void tst_CaptureStream::everyFrameIsStored()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, raw);
    QFETCH(QString, extension);
    QFETCH(QString, prefix);
    constexpr int Frames = 6;

    QVERIFY(startSimulator(format, width, height));
    client->stream.startCapture(folder(), prefix, extension, raw);
    QVERIFY(sendFrames(Frames));
    QCOMPARE(sent.size(), Frames);
    QCOMPARE(client->progress, progressTexts(0, Frames - 1));

    QStringList expected;
    for (int n = 0; n < Frames; ++n)
        expected << prefix + QString::number(n) + '.' + extension;
    expected.sort();
    QCOMPARE(files(), expected);

    for (int n = 0; n < Frames; ++n) {
        const QString name = path(prefix + QString::number(n) + '.' + extension);
        if (extension == "bmp") {
            QVERIFY2(isBmpOf(name, width, height, expectedRgb(format, width, height, sent.at(n))),
                     qPrintable(name));
        } else {
            QCOMPARE(fileBytes(name), sent.at(n));
            if (format == 1)
                QCOMPARE(fileBytes(name).size(), width * height);
        }
    }
    QVERIFY(sent.at(0) != sent.at(1)); // the pattern moves: files cannot stand in for each other
}

// A listener on 127.0.0.1 for hand-made records, and the stream client connected to it.
class HandFed
{
public:
    HandFed()
    {
        server.listen(QHostAddress::LocalHost, 0);
        client = std::make_unique<Client>(server.serverPort());
        if (QTest::qWaitFor([this] { return server.hasPendingConnections(); }, NetworkTimeoutMs))
            peer = server.nextPendingConnection();
    }
    bool send(const QList<RecordBuilder> &records)
    {
        for (const RecordBuilder &r : records)
            peer->write(r.bytes());
        return client->waitForFrames(client->frames + int(records.size()));
    }
    QTcpServer server;
    std::unique_ptr<Client> client;
    QTcpSocket *peer = nullptr;
};

static RecordBuilder jpegRecord(int width, int height, const QByteArray &payload)
{
    RecordBuilder r;
    r.format = 0;
    r.width = width;
    r.height = height;
    r.payload = payload;
    return r;
}

void tst_CaptureStream::undecodableJpegIsStored()
{
    HandFed fed;
    QVERIFY(fed.peer);
    const QByteArray grey(16 * 16, char(90));
    const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(grey.constData()), 16, 16, 1, 85);
    QVERIFY(!jpeg.isEmpty());
    const QList<RecordBuilder> records = {
        jpegRecord(16, 16, jpeg),
        jpegRecord(16, 16, "no JPEG at all"),
        jpegRecord(32, 32, jpeg), // header disagrees with the picture
        jpegRecord(16, 16, jpeg.left(jpeg.size() / 2)),
    };
    fed.client->stream.startCapture(folder(), "j", "jpg", false);
    QTest::ignoreMessage(QtDebugMsg, "Error in decoding jpeg");
    QVERIFY(fed.send(records));
    QCOMPARE(fed.client->progress, progressTexts(0, 3));
    QCOMPARE(files(), (QStringList { "j0.jpg", "j1.jpg", "j2.jpg", "j3.jpg" }));
    for (int n = 0; n < 4; ++n)
        QCOMPARE(fileBytes(path(QString("j%1.jpg").arg(n))), records.at(n).payload);
}

void tst_CaptureStream::unconvertedFrameIsNoPicture_data()
{
    QTest::addColumn<bool>("raw");
    QTest::newRow("pictures") << false;
    QTest::newRow("raw data") << true;
}

void tst_CaptureStream::unconvertedFrameIsNoPicture()
{
    QFETCH(bool, raw);
    HandFed fed;
    QVERIFY(fed.peer);
    RecordBuilder shortGray = grayRecord(8, 4);
    shortGray.payload.chop(1);
    RecordBuilder uyvy;
    uyvy.format = 2;
    uyvy.width = 8;
    uyvy.height = 4;
    for (int i = 0; i < 64; ++i)
        uyvy.payload.append(char(i * 5 + 16));
    RecordBuilder shortUyvy = uyvy;
    shortUyvy.payload.chop(4);
    const QList<RecordBuilder> records = { grayRecord(8, 4), shortGray, shortUyvy, uyvy };

    fed.client->stream.startCapture(folder(), "f", raw ? "bvt" : "bmp", raw);
    QVERIFY(fed.send(records));
    if (raw) {
        // Payloads are stored as received, whether they could be shown or not.
        QCOMPARE(fed.client->progress, progressTexts(0, 3));
        for (int n = 0; n < 4; ++n)
            QCOMPARE(fileBytes(path(QString("f%1.bvt").arg(n))), records.at(n).payload);
    } else {
        // The refused frames leave no file and no number behind: the last good picture is another frame's.
        QCOMPARE(fed.client->progress, progressTexts(0, 1));
        QCOMPARE(files(), (QStringList { "f0.bmp", "f1.bmp" }));
        QVERIFY(isBmpOf(path("f0.bmp"), 8, 4, expectedRgb(1, 8, 4, records.at(0).payload)));
        QVERIFY(isBmpOf(path("f1.bmp"), 8, 4, expectedRgb(2, 8, 4, records.at(3).payload)));
    }
}

void tst_CaptureStream::restartBeginsAtZeroAndOverwrites()
{
    QVERIFY(startSimulator(1, 32, 16));
    client->stream.startCapture(folder(), "run_", "bvt", true);
    QVERIFY(sendFrames(3));
    client->stream.stopCapture();
    QVERIFY(sendFrames(2));
    QCOMPARE(client->progress, progressTexts(0, 2));
    QCOMPARE(files().size(), 3);

    client->progress.clear();
    client->stream.startCapture(folder(), "run_", "bvt", true);
    QVERIFY(sendFrames(1));
    QCOMPARE(client->progress, progressTexts(0, 0));
    QCOMPARE(files(), (QStringList { "run_0.bvt", "run_1.bvt", "run_2.bvt" }));
    QCOMPARE(fileBytes(path("run_0.bvt")), sent.at(5));
    QCOMPARE(fileBytes(path("run_1.bvt")), sent.at(1));
    QCOMPARE(fileBytes(path("run_2.bvt")), sent.at(2));
}

void tst_CaptureStream::folderRemovedAndRestored_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("extension");
    QTest::newRow("JPG payloads") << 0 << false << "jpg";
    QTest::newRow("Gray raw data") << 1 << true << "bvt";
    QTest::newRow("UYVY pictures") << 2 << false << "bmp";
}

void tst_CaptureStream::folderRemovedAndRestored()
{
    QFETCH(int, format);
    QFETCH(bool, raw);
    QFETCH(QString, extension);
    const QString grab = path("grab");
    QVERIFY(QDir().mkpath(grab));
    QVERIFY(startSimulator(format, 32, 16));
    client->stream.startCapture(grab, "g", extension, raw);

    QVERIFY(sendFrames(2));
    QVERIFY(QDir(grab).removeRecursively());
    QVERIFY(sendFrames(3));
    QCOMPARE(client->progress, progressTexts(0, 1)); // nothing reported while nothing is written
    QVERIFY(!QFileInfo::exists(grab));

    QVERIFY(QDir().mkpath(grab));
    QVERIFY(sendFrames(2));
    QCOMPARE(client->progress, progressTexts(0, 3));
    const QStringList names = { "g2." + extension, "g3." + extension };
    QCOMPARE(QDir(grab).entryList(QDir::Files, QDir::Name), names);
    for (int n = 0; n < 2; ++n) {
        const QString name = grab + '/' + names.at(n);
        const QByteArray payload = sent.at(5 + n);
        if (extension == "bmp")
            QVERIFY(isBmpOf(name, 32, 16, expectedRgb(format, 32, 16, payload)));
        else
            QCOMPARE(fileBytes(name), payload);
    }
}

QTEST_MAIN(tst_CaptureStream)
#include "tst_capturestream.moc"
