#include "CaptureWriter.h"
#include "FileBytes.h"

#include <QPixmap>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

static QPixmap testPicture(QSize size)
{
    QImage image(size, QImage::Format_RGB888);
    for (int i = 0; i < image.sizeInBytes(); ++i)
        image.bits()[i] = uchar(i * 7);
    return QPixmap::fromImage(image);
}

class tst_CaptureWriter : public QObject
{
    Q_OBJECT

private slots:
    void failedWriteIsNotCounted_data();
    void failedWriteIsNotCounted();
    void formatFollowsExtension();
};

void tst_CaptureWriter::failedWriteIsNotCounted_data()
{
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("extension");
    QTest::addColumn<QSize>("pictureSize");
    // "full", "missing" and "limit" pass, and the number is taken again
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("logged");
    QTest::newRow("payload, device full") << true << "bvt" << QSize(4, 4) << "full" << true;
    // The disk fills part way: the first bytes are written, the rest refused.
    QTest::newRow("payload, cut off") << true << "bvt" << QSize(4, 4) << "limit" << true;
    QTest::newRow("picture, device full") << false << "bmp" << QSize(640, 480) << "full" << true;
    QTest::newRow("picture, no such format") << false << "bvt" << QSize(8, 8) << "" << true;
    QTest::newRow("payload, folder missing") << true << "bvt" << QSize(8, 8) << "missing" << false;
    QTest::newRow("picture, folder missing") << false << "bmp" << QSize(8, 8) << "missing" << false;
    QTest::newRow("no picture") << false << "bmp" << QSize() << "" << false;
}

// A failure is never counted and leaves no file.
void tst_CaptureWriter::failedWriteIsNotCounted()
{
    QFETCH(bool, raw);
    QFETCH(QString, extension);
    QFETCH(QSize, pictureSize);
    QFETCH(QString, fault);
    QFETCH(bool, logged);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString folder = fault == "missing" ? dir.filePath("gone") : dir.path();
    const QString name = folder + "/c_0." + extension;
    if (fault == "full") {
        if (!QFileInfo::exists("/dev/full"))
            QSKIP("no /dev/full on this system");
        QVERIFY(QFile::link("/dev/full", name)); // writes fail as on a full disk
    }
    const QByteArray payload(20000, 'p');
    const QPixmap picture = pictureSize.isValid() ? testPicture(pictureSize) : QPixmap();

    CaptureWriter writer;
    writer.start(folder, "c_", extension, raw);
    if (logged)
        QTest::ignoreMessage(QtDebugMsg, qPrintable(raw ? "save_image_jpg: can not write all data 20000"
                                                        : "save_image: can not write picture " + name));
    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    if (fault == "limit") {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit cutOff = unlimited;
        cutOff.rlim_cur = 1000;
        QVERIFY(setrlimit(RLIMIT_FSIZE, &cutOff) == 0);
    }
    const int written = writer.save_image(picture, payload);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    QCOMPARE(written, -1);
    QCOMPARE(writer.counter(), 0);
    QVERIFY2(!QFileInfo::exists(name) && !QFileInfo(name).isSymLink(), "a failed file was left behind");
    QVERIFY(QFileInfo::exists("/dev/full") || fault != "full");
    if (fault.isEmpty())
        return;
    QVERIFY(QDir().mkpath(folder));
    QCOMPARE(writer.save_image(picture, payload), 0);
    QCOMPARE(writer.counter(), 1);
    if (raw)
        QCOMPARE(fileBytes(name), payload);
    else
        QCOMPARE(QImage(name).convertToFormat(QImage::Format_RGB888),
                 picture.toImage().convertToFormat(QImage::Format_RGB888));
}

// Pictures in their extension's format; payloads as received, even an empty one, in a picture
// capture too (a JPEG frame).
void tst_CaptureWriter::formatFollowsExtension()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QPixmap picture = testPicture(QSize(32, 16));
    CaptureWriter writer;
    writer.start(dir.path(), "p", "jpg", false);
    QCOMPARE(writer.save_image(picture, "payload"), 0);
    writer.start(dir.path(), "p", "bmp", false);
    QCOMPARE(writer.save_image(picture, "payload"), 0);
    QCOMPARE(writer.save_image_jpg("payload"), 1);
    QCOMPARE(writer.save_image_jpg(QByteArray()), 2);
    QCOMPARE(QImage::fromData(fileBytes(dir.filePath("p0.jpg")), "JPEG").size(), QSize(32, 16));
    QVERIFY(fileBytes(dir.filePath("p0.bmp")).startsWith("BM"));
    QCOMPARE(fileBytes(dir.filePath("p1.bmp")), QByteArray("payload"));
    QCOMPARE(fileBytes(dir.filePath("p2.bmp")), QByteArray());
}

QTEST_MAIN(tst_CaptureWriter)
#include "tst_capturewriter.moc"
