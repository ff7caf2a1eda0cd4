#include "CaptureWriter.h"

#include <QPixmap>
#include <QTemporaryDir>
#include <QtTest>

static QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

static QPixmap testPicture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixelColor(x, y, QColor(x * 4 % 256, y * 4 % 256, (x + y) % 256));
    return QPixmap::fromImage(image);
}

// Failed writes must never count as captured files.
class tst_CaptureWriter : public QObject
{
    Q_OBJECT

private slots:
    void failedWriteIsNotCounted_data();
    void failedWriteIsNotCounted();
    void pictureFormatFollowsExtension();
    void stopKeepsSettings();
};

void tst_CaptureWriter::failedWriteIsNotCounted_data()
{
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QSize>("pictureSize");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("debugLine"); // %1: the file name

    const QString shortPayload = "save_image_jpg: can not write all data 20000";
    const QString badPicture = "save_image: can not write picture %1";
    QTest::newRow("payload, device full") << true << "bvt" << QSize(4, 4) << "full" << shortPayload;
    QTest::newRow("picture, device full") << false << "bmp" << QSize(640, 480) << "full" << badPicture;
    QTest::newRow("small picture, device full") << false << "bmp" << QSize(8, 8) << "full" << badPicture;
    QTest::newRow("picture, no such format") << false << "bvt" << QSize(8, 8) << "" << badPicture;
    QTest::newRow("payload, folder missing") << true << "bvt" << QSize(8, 8) << "missing" << "";
    QTest::newRow("picture, folder missing") << false << "bmp" << QSize(8, 8) << "missing" << "";
    QTest::newRow("no picture") << false << "bmp" << QSize() << "" << "";
}

void tst_CaptureWriter::failedWriteIsNotCounted()
{
    QFETCH(bool, raw);
    QFETCH(QString, extension);
    QFETCH(QSize, pictureSize);
    QFETCH(QString, fault);
    QFETCH(QString, debugLine);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = fault == "missing" ? dir.filePath("gone") : dir.path();
    const QString name = folder + "/c_0." + extension;
    if (fault == "full") {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("no /dev/full on this system");
        // Writes through this name fail as on a full disk.
        QVERIFY(QFile::link("/dev/full", name));
    }
    const QByteArray payload(20000, 'p');
    const QPixmap picture = pictureSize.isValid() ? testPicture(pictureSize.width(), pictureSize.height())
                                                  : QPixmap();

    CaptureWriter writer;
    writer.start(folder, "c_", extension, raw);
    if (!debugLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, qPrintable(debugLine.contains("%1") ? debugLine.arg(name) : debugLine));
    QCOMPARE(writer.save_image(picture, payload), -1);
    QCOMPARE(writer.counter(), 0);
    QVERIFY2(!QFileInfo::exists(name) && !QFileInfo(name).isSymLink(), "a failed file was left behind");
    QVERIFY(QFileInfo::exists("/dev/full") || fault != "full");

    // Once the cause is gone, the next frame takes the number that failed.
    if (fault == "full" || fault == "missing") {
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(writer.save_image(picture, payload), 0);
        QCOMPARE(writer.counter(), 1);
        if (raw)
            QCOMPARE(fileBytes(name), payload);
        else
            QCOMPARE(QImage(name).convertToFormat(QImage::Format_RGB888),
                     picture.toImage().convertToFormat(QImage::Format_RGB888));
    }
}

void tst_CaptureWriter::pictureFormatFollowsExtension()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QPixmap picture = testPicture(32, 16);
    CaptureWriter writer;
    writer.start(dir.path(), "p", "jpg", false);
    QCOMPARE(writer.save_image(picture, "payload"), 0);
    writer.start(dir.path(), "p", "bmp", false);
    QCOMPARE(writer.save_image(picture, "payload"), 0);
    QCOMPARE(writer.save_image_jpg("payload"), 1); // a JPEG frame in a BMP capture keeps its bytes

    const QByteArray jpeg = fileBytes(dir.filePath("p0.jpg"));
    QVERIFY(jpeg.startsWith("\xff\xd8\xff"));
    QImage decoded;
    QVERIFY(decoded.loadFromData(jpeg, "JPEG"));
    QCOMPARE(decoded.size(), QSize(32, 16));
    QVERIFY(fileBytes(dir.filePath("p0.bmp")).startsWith("BM"));
    QCOMPARE(fileBytes(dir.filePath("p1.bmp")), QByteArray("payload"));
}

void tst_CaptureWriter::stopKeepsSettings()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    CaptureWriter writer;
    QVERIFY(!writer.isEnabled());
    writer.start(dir.path(), "", "bvt", true);
    QVERIFY(writer.isEnabled());
    QCOMPARE(writer.save_image(QPixmap(), "ab"), 0);
    QCOMPARE(writer.save_image_jpg(QByteArray()), 1);
    writer.stop();
    QVERIFY(!writer.isEnabled());
    QVERIFY(writer.savesRawData());
    QCOMPARE(writer.counter(), 2);
    QCOMPARE(writer.fileName(2), dir.path() + "/2.bvt");
    QCOMPARE(fileBytes(dir.filePath("0.bvt")), QByteArray("ab"));
    QVERIFY(QFileInfo::exists(dir.filePath("1.bvt"))); // an empty payload gives an empty file
    QCOMPARE(QFileInfo(dir.filePath("1.bvt")).size(), 0);
}

QTEST_MAIN(tst_CaptureWriter)
#include "tst_capturewriter.moc"
