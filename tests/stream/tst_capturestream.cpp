#include "JpegEncoder.h"
#include "FileBytes.h"
#include "RawConvert.h"
#include "Records.h"
#include "TestPattern.h"
#include "imageStream.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

static QStringList progressTexts(int first, int last)
{
    QStringList texts;
    for (int n = first; n <= last; ++n)
        texts << QStringLiteral("Capturing image... %1").arg(n);
    return texts;
}

// Whether the file holds the frame: its payload as received, or a BMP picture of its pixels.
static bool holds(const QString &path, const FrameRecord &frame, bool bmp)
{
    const QByteArray bytes = fileBytes(path);
    if (!bmp)
        return bytes == frame.payload;
    const auto *payload = reinterpret_cast<const uchar *>(frame.payload.constData());
    QImage expected(frame.width, frame.height, QImage::Format_RGB32);
    if (frame.format == 1)
        expected = QImage(payload, frame.width, frame.height, frame.width, QImage::Format_Grayscale8)
                       .convertToFormat(QImage::Format_RGB32);
    else if (convertRawToXrgb32(payload, size_t(frame.payload.size()), frame.format, frame.width, frame.height,
                                reinterpret_cast<uint32_t *>(expected.bits()), size_t(expected.sizeInBytes())) < 0)
        return false;
    return bytes.startsWith("BM") && QImage::fromData(bytes).convertToFormat(QImage::Format_RGB32) == expected;
}

// Frames of the moving test pattern, so that no file can stand in for another.
static QList<FrameRecord> patternFrames(int format, int width, int height, int count)
{
    TestPattern pattern;
    pattern.setJpegEncoder(encodeJpeg);
    QList<FrameRecord> frames;
    for (int n = 0; n < count; ++n)
        frames << makeRecord(format, width, height, pattern.payload(format, width, height, quint32(n)));
    return frames;
}

class tst_CaptureStream : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyFrameIsStored_data();
    void everyFrameIsStored();
    void folderRemovedAndRestored_data();
    void folderRemovedAndRestored();

private:
    // Writes the records and waits until the client has taken each, as the window takes them.
    bool send(const QList<FrameRecord> &records)
    {
        const int target = frames + int(records.size());
        for (const FrameRecord &r : records)
            peer->write(r.toBytes());
        return QTest::qWaitFor([&] { return frames >= target; }, 20000) && frames == target;
    }
    QString path(const QString &name) const { return dir->filePath(name); }
    QStringList files(const QString &folder = {}) const { return QDir(path(folder)).entryList(QDir::Files); }

    std::unique_ptr<QTemporaryDir> dir;
    QTcpServer server;
    std::unique_ptr<imageStream> stream;
    QTcpSocket *peer = nullptr;
    int frames = 0;
    QStringList progress;
};

void tst_CaptureStream::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    stream = std::make_unique<imageStream>(QStringLiteral("127.0.0.1"), server.serverPort());
    frames = 0;
    progress.clear();
    connect(stream.get(), &imageStream::imageIsReady, this, [this] {
        stream->currentPixmap();
        ++frames;
    });
    connect(stream.get(), &imageStream::capture_in_progress, this,
            [this](const QString &text) { progress << text; });
    QTRY_VERIFY_WITH_TIMEOUT(server.hasPendingConnections(), 20000);
    peer = server.nextPendingConnection();
}

void tst_CaptureStream::cleanup()
{
    stream.reset();
    server.close();
    dir.reset();
}

void tst_CaptureStream::everyFrameIsStored_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QString>("prefix");
    const QSize small(64, 48), vga(640, 480);
    QTest::newRow("JPG") << 0 << small << false << "jpg" << "bvtgrab_";
    QTest::newRow("JPG, raw box checked, no prefix") << 0 << small << true << "jpg" << "";
    QTest::newRow("Gray raw, VGA") << 1 << vga << true << "bvt" << "run_";
    QTest::newRow("Gray BMP") << 1 << small << false << "bmp" << "run_";
    QTest::newRow("YUV420 BMP") << 3 << small << false << "bmp" << "run_";
    QTest::newRow("NV12 BMP, VGA") << 4 << vga << false << "bmp" << "run_";
}

void tst_CaptureStream::everyFrameIsStored()
{
    QFETCH(int, format);
    QFETCH(QSize, size);
    QFETCH(bool, raw);
    QFETCH(QString, extension);
    QFETCH(QString, prefix);
    const QList<FrameRecord> sent = patternFrames(format, size.width(), size.height(), 6);
    QVERIFY(!sent.at(0).payload.isEmpty() && sent.at(0).payload != sent.at(1).payload);
    stream->startCapture(dir->path(), prefix, extension, raw);
    QVERIFY(send(sent));
    QCOMPARE(progress, progressTexts(0, 5));
    QStringList names;
    for (int n = 0; n < 6; ++n) {
        names << prefix + QString::number(n) + '.' + extension;
        QVERIFY2(holds(path(names.last()), sent.at(n), extension == "bmp"), qPrintable(names.last()));
    }
    names.sort();
    QCOMPARE(files(), names);
}

void tst_CaptureStream::folderRemovedAndRestored_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("extension");
    QTest::newRow("JPG payloads") << 0 << "jpg";
    QTest::newRow("Gray raw data") << 1 << "bvt";
    QTest::newRow("UYVY pictures") << 2 << "bmp";
}

// Nothing is reported while nothing is written; the failed number is taken again.
void tst_CaptureStream::folderRemovedAndRestored()
{
    QFETCH(int, format);
    QFETCH(QString, extension);
    const QString grab = path("grab");
    QVERIFY(QDir().mkpath(grab));
    const QList<FrameRecord> sent = patternFrames(format, 32, 16, 7);
    stream->startCapture(grab, "g", extension, extension == "bvt");
    QVERIFY(send(sent.mid(0, 2)));
    QVERIFY(QDir(grab).removeRecursively());
    QVERIFY(send(sent.mid(2, 3)));
    QCOMPARE(progress, progressTexts(0, 1));
    QVERIFY(!QFileInfo::exists(grab));

    QVERIFY(QDir().mkpath(grab));
    QVERIFY(send(sent.mid(5)));
    QCOMPARE(progress, progressTexts(0, 3));
    QCOMPARE(files("grab"), (QStringList { "g2." + extension, "g3." + extension }));
    for (int n = 0; n < 2; ++n)
        QVERIFY(holds(grab + QString("/g%1.").arg(n + 2) + extension, sent.at(5 + n), extension == "bmp"));
}

QTEST_MAIN(tst_CaptureStream)
#include "tst_capturestream.moc"
