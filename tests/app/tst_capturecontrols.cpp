#include "JpegEncoder.h"
#include "MainWindow.h"
#include "WidgetLookup.h"
#include "RecordBuilder.h"

#include <QtTest>
#include <QtWidgets>
#include <QTcpServer>
#include <QTcpSocket>

static QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Accepts each modal box as soon as it shows, noting its text.
class BoxCloser : public QObject
{
public:
    BoxCloser()
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                texts << box->text();
                box->accept();
            }
        });
        timer.start(20);
    }
    QTimer timer;
    QStringList texts;
};

// A window whose stream client is connected to a listener on 127.0.0.1.
class Rig
{
public:
    Rig()
    {
        server.listen(QHostAddress::LocalHost, 0);
        child<QLineEdit>(&window, "editHostname")->setText(QStringLiteral("127.0.0.1"));
        auto *port = child<QLineEdit>(&window, "editVideoPort");
        port->setText(QString::number(server.serverPort()));
        QTest::keyClick(port, Qt::Key_Return);
        if (QTest::qWaitFor([this] { return server.hasPendingConnections(); }, 10000))
            peer = server.nextPendingConnection();
        dialog = window.findChild<QFileDialog *>();
    }
    // Each frame is shown on the view; counting pictures tells when a frame has gone through.
    bool send(const RecordBuilder &record)
    {
        const qint64 before = shownKey();
        peer->write(record.bytes());
        return QTest::qWaitFor([&] { return shownKey() != before; }, 10000);
    }
    qint64 shownKey()
    {
        auto *view = child<QGraphicsView>(&window, "graphicsView");
        auto *item = qgraphicsitem_cast<QGraphicsPixmapItem *>(view->scene()->items().value(0));
        return item ? item->pixmap().cacheKey() : 0;
    }
    void chooseFolder(const QString &path)
    {
        dialog->setDirectory(path);
        static_cast<QDialog *>(dialog)->accept(); // public there, protected in QFileDialog
    }
    bool capturing()
    {
        return !child<QPushButton>(&window, "buttonStartCapture")->isEnabled()
               && child<QPushButton>(&window, "buttonStopCapture")->isEnabled()
               && !child<QWidget>(&window, "boxSetSource")->isEnabled()
               && !child<QWidget>(&window, "boxSaveImage")->isEnabled()
               && !child<QWidget>(&window, "tabApplications")->isEnabled();
    }
    bool stopped()
    {
        return child<QPushButton>(&window, "buttonStartCapture")->isEnabled()
               && !child<QPushButton>(&window, "buttonStopCapture")->isEnabled()
               && child<QWidget>(&window, "boxSetSource")->isEnabled()
               && child<QWidget>(&window, "boxSaveImage")->isEnabled()
               && child<QWidget>(&window, "tabApplications")->isEnabled();
    }

    QTcpServer server;
    QTcpSocket *peer = nullptr;
    MainWindow window;
    QFileDialog *dialog = nullptr;
};

// A frame of each format with its content following n, so that files cannot stand in for each other.
static RecordBuilder frame(int format, int n)
{
    RecordBuilder r;
    r.format = format;
    r.width = 16;
    r.height = 8;
    r.timestampS = n;
    const int bytes = format == 1 ? 128 : 192; // Gray, NV12
    for (int i = 0; i < bytes; ++i)
        r.payload.append(char(16 + (i * 3 + n * 11) % 200));
    if (format == 0)
        r.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(r.payload.constData()), 16, 8, 1, 90);
    return r;
}

class tst_CaptureControls : public QObject
{
    Q_OBJECT

private slots:
    void previewFollowsPrefix_data();
    void previewFollowsPrefix();
    void folderFromDialog();
    void refusedFolderDisablesStart();
    void captureThroughWindow_data();
    void captureThroughWindow();
};

void tst_CaptureControls::previewFollowsPrefix_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("preview");
    QTest::newRow("JPG shown") << "JPG" << false << "run1_0.jpg";
    QTest::newRow("JPG shown, raw box") << "JPG" << true << "run1_0.jpg";
    QTest::newRow("NV12, raw box") << "NV12" << true << "run1_0.bvt";
    QTest::newRow("Gray") << "Gray" << false << "run1_0.bmp";
    QTest::newRow("no stream") << "" << false << "run1_0.bmp";
    QTest::newRow("no stream, raw box") << "" << true << "run1_0.bvt";
}

void tst_CaptureControls::previewFollowsPrefix()
{
    QFETCH(QString, format);
    QFETCH(bool, raw);
    QFETCH(QString, preview);
    MainWindow window;
    QCOMPARE(labelText(&window, "labelImageName"), QStringLiteral("bvtgrab_0.jpg"));
    child<QLabel>(&window, "labelFormat")->setText(format);
    child<QCheckBox>(&window, "checkSaveRaw")->setChecked(raw);
    auto *prefix = child<QLineEdit>(&window, "editPrefix");
    prefix->clear();
    QCOMPARE(labelText(&window, "labelImageName"), "0." + preview.section('.', 1));
    QTest::keyClicks(prefix, "run1_");
    QCOMPARE(labelText(&window, "labelImageName"), preview);

    // Only prefix edits update the preview.
    child<QCheckBox>(&window, "checkSaveRaw")->setChecked(!raw);
    child<QLabel>(&window, "labelFormat")->setText("UYVY");
    QCOMPARE(labelText(&window, "labelImageName"), preview);
}

void tst_CaptureControls::folderFromDialog()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    MainWindow window;
    auto *start = child<QPushButton>(&window, "buttonStartCapture");
    QVERIFY(!start->isEnabled());

    // "Change Folder" runs the chooser modally; pick the folder in it and accept.
    bool seen = false;
    QTimer chooser;
    connect(&chooser, &QTimer::timeout, this, [&] {
        if (auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            seen = true;
            QCOMPARE(dialog->fileMode(), QFileDialog::Directory);
            dialog->setDirectory(dir.path());
            static_cast<QDialog *>(dialog)->accept();
        }
    });
    chooser.start(20);
    QTest::mouseClick(child<QPushButton>(&window, "buttonChooseFolder"), Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(QFileInfo(child<QLineEdit>(&window, "editFolderName")->text()).canonicalFilePath(),
             QFileInfo(dir.path()).canonicalFilePath());
    QVERIFY(start->isEnabled());
    QVERIFY(!child<QPushButton>(&window, "buttonStopCapture")->isEnabled());
}

void tst_CaptureControls::refusedFolderDisablesStart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Rig rig;
    rig.chooseFolder(dir.path());
    auto *folder = child<QLineEdit>(&rig.window, "editFolderName");
    const QString chosen = folder->text();
    QVERIFY(!chosen.isEmpty());
    QVERIFY(child<QPushButton>(&rig.window, "buttonStartCapture")->isEnabled());

    // A folder that is gone by the time the chooser returns.
    BoxCloser closer;
    rig.dialog->selectFile(dir.filePath("vanished"));
    static_cast<QDialog *>(rig.dialog)->done(QDialog::Accepted);
    QCOMPARE(closer.texts, QStringList { "Specified Directory does not exist" });
    QVERIFY(!child<QPushButton>(&rig.window, "buttonStartCapture")->isEnabled());
    QCOMPARE(folder->text(), chosen);
}

void tst_CaptureControls::captureThroughWindow_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("raw");
    QTest::addColumn<QString>("extension");
    QTest::newRow("JPG") << 0 << false << "jpg";
    QTest::newRow("JPG, raw box") << 0 << true << "jpg";
    QTest::newRow("NV12, raw box") << 4 << true << "bvt";
    QTest::newRow("Gray") << 1 << false << "bmp";
}

void tst_CaptureControls::captureThroughWindow()
{
    QFETCH(int, format);
    QFETCH(bool, raw);
    QFETCH(QString, extension);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Rig rig;
    QVERIFY(rig.peer);
    QWidget *w = &rig.window;
    rig.chooseFolder(dir.path());
    child<QLineEdit>(w, "editPrefix")->setText("cap_");
    // Checked after the prefix: the preview is not updated, Start still goes by the box.
    child<QCheckBox>(w, "checkSaveRaw")->setChecked(raw);
    QVERIFY(rig.send(frame(format, 0)));
    QCOMPARE(labelText(w, "labelFormat"), QStringList({ "JPG", "Gray", "", "", "NV12" }).at(format));
    QVERIFY(rig.stopped());

    QTest::mouseClick(child<QPushButton>(w, "buttonStartCapture"), Qt::LeftButton);
    QVERIFY(rig.capturing());
    QCOMPARE(labelText(w, "labelCaptureProgress"), QString()); // until the first file is written
    QList<RecordBuilder> sent;
    for (int n = 1; n <= 3; ++n) {
        sent << frame(format, n);
        QVERIFY(rig.send(sent.last()));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capturing image... %1").arg(n - 1));
    }
    const QString name = dir.filePath("cap_%1." + extension);
    QStringList expected = { "cap_0." + extension, "cap_1." + extension, "cap_2." + extension };
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
    for (int n = 0; n < 3; ++n) {
        if (extension == "bmp") {
            const QImage picture(name.arg(n), "BMP");
            QCOMPARE(picture.size(), QSize(16, 8));
            QCOMPARE(qGray(picture.pixel(5, 0)), int(uchar(sent.at(n).payload.at(5))));
        } else {
            QCOMPARE(fileBytes(name.arg(n)), sent.at(n).payload);
        }
    }

    QTest::mouseClick(child<QPushButton>(w, "buttonStopCapture"), Qt::LeftButton);
    QVERIFY(rig.stopped());
    QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));
    QVERIFY(rig.send(frame(format, 4)));
    QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));

    // Start again: numbering from 0, overwriting.
    QTest::mouseClick(child<QPushButton>(w, "buttonStartCapture"), Qt::LeftButton);
    QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));
    const RecordBuilder again = frame(format, 5);
    QVERIFY(rig.send(again));
    QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capturing image... 0"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
    if (extension == "bmp")
        QCOMPARE(qGray(QImage(name.arg(0), "BMP").pixel(5, 0)), int(uchar(again.payload.at(5))));
    else
        QCOMPARE(fileBytes(name.arg(0)), again.payload);
}

QTEST_MAIN(tst_CaptureControls)
#include "tst_capturecontrols.moc"
