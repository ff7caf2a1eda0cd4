#include "JpegEncoder.h"
#include "FileBytes.h"
#include "Records.h"
#include "TestPattern.h"
#include "WindowRig.h"

// Whether Start, Stop and the boxes frozen during a capture show a capture running.
static bool capturing(QWidget *window, bool running)
{
    for (const char *name : { "buttonStartCapture", "boxSetSource", "boxSaveImage", "tabApplications" })
        if (child(window, name)->isEnabled() == running)
            return false;
    return child(window, "buttonStopCapture")->isEnabled() == running;
}

// Through the button, as a user would: the dialog it opens is answered once it shows.
static void chooseFolder(QWidget *window, const QString &path)
{
    QTimer::singleShot(0, window, [window, path] {
        auto *dialog = window->findChild<QFileDialog *>();
        if (!dialog->isVisible())
            return;
        dialog->selectFile(path);
        static_cast<QDialog *>(dialog)->done(QDialog::Accepted); // public there, protected in QFileDialog
    });
    QTest::mouseClick(child(window, "buttonChooseFolder"), Qt::LeftButton);
}

class tst_CaptureControls : public QObject
{
    Q_OBJECT

private slots:
    void captureThroughWindow_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("raw");
        QTest::addColumn<QString>("extension");
        QTest::addColumn<QString>("shown"); // in the name shown while the raw box is the other way
        QTest::newRow("JPG, raw box") << 0 << true << "jpg" << "jpg";
        QTest::newRow("NV12, raw box") << 4 << true << "bvt" << "bmp";
        QTest::newRow("Gray") << 1 << false << "bmp" << "bvt";
    }

    void captureThroughWindow()
    {
        QFETCH(int, format);
        QFETCH(bool, raw);
        QFETCH(QString, extension);
        QFETCH(QString, shown);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        WindowRig rig;
        QWidget *w = &rig.window;
        QVERIFY(rig.connect());
        TestPattern pattern;
        pattern.setJpegEncoder(encodeJpeg);
        auto frame = [&](int n) { return makeRecord(format, 16, 8, pattern.payload(format, 16, 8, quint32(n))); };
        // The file holds frame n: its payload, or for BMP its grey levels.
        auto holds = [&](int file, const FrameRecord &record) {
            const QString name = dir.filePath(QString("cap_%1.").arg(file) + extension);
            if (extension != "bmp")
                return fileBytes(name) == record.payload;
            const QImage picture(name, "BMP");
            return picture.size() == QSize(16, 8) && qGray(picture.pixel(5, 1)) == uchar(record.payload.at(21));
        };

        auto *start = child(w, "buttonStartCapture");
        QVERIFY(!start->isEnabled()); // no folder yet
        chooseFolder(w, dir.path());
        const QString chosen = child<QLineEdit>(w, "editFolderName")->text();
        QCOMPARE(QFileInfo(chosen).canonicalFilePath(), QFileInfo(dir.path()).canonicalFilePath());
        // A folder gone by the time the chooser returns disables Start; the folder chosen stays shown.
        BoxCloser closer;
        chooseFolder(w, dir.filePath("vanished"));
        QCOMPARE(closer.texts, QStringList { "Specified Directory does not exist" });
        QVERIFY(!start->isEnabled());
        QCOMPARE(child<QLineEdit>(w, "editFolderName")->text(), chosen);
        chooseFolder(w, dir.path());
        auto *saveRaw = child<QCheckBox>(w, "checkSaveRaw");
        saveRaw->setChecked(!raw);
        QVERIFY(rig.send(frame(0)));
        // The name shown follows the prefix typed, with the extension of the stream's format and the
        // raw box; only prefix edits update it, and Start goes by the box, not the name shown.
        auto *prefix = child<QLineEdit>(w, "editPrefix");
        prefix->clear();
        QCOMPARE(labelText(w, "labelImageName"), "0." + shown);
        QTest::keyClicks(prefix, "cap_");
        QCOMPARE(labelText(w, "labelImageName"), "cap_0." + shown);
        saveRaw->setChecked(raw);
        QCOMPARE(labelText(w, "labelImageName"), "cap_0." + shown);
        QVERIFY(capturing(w, false));

        QTest::mouseClick(child<QPushButton>(w, "buttonStartCapture"), Qt::LeftButton);
        QVERIFY(capturing(w, true));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QString());
        for (int n = 1; n <= 3; ++n) {
            QVERIFY(rig.send(frame(n)));
            QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capturing image... %1").arg(n - 1));
            QVERIFY2(holds(n - 1, frame(n)), qPrintable(QString::number(n)));
        }
        const QStringList expected = { "cap_0." + extension, "cap_1." + extension, "cap_2." + extension };
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);

        QTest::mouseClick(child<QPushButton>(w, "buttonStopCapture"), Qt::LeftButton);
        QVERIFY(capturing(w, false));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));
        QVERIFY(rig.send(frame(4)));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capture Disabled"));

        // Start again: numbering from 0, overwriting.
        QTest::mouseClick(child<QPushButton>(w, "buttonStartCapture"), Qt::LeftButton);
        QVERIFY(rig.send(frame(5)));
        QCOMPARE(labelText(w, "labelCaptureProgress"), QStringLiteral("Capturing image... 0"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files, QDir::Name), expected);
        QVERIFY(holds(0, frame(5)));
    }
};

QTEST_MAIN(tst_CaptureControls)
#include "tst_capturecontrols.moc"
