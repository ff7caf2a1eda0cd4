#include "ViewScaler.h"

#include <QImage>
#include <QtTest>

namespace {

QPixmap picture(int width, int height, QImage::Format format, int seed)
{
    QImage image(width, height, format);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgba(x * seed, y * 3, (x ^ y) + seed, format == QImage::Format_ARGB32 ? x : 255));
    return QPixmap::fromImage(image);
}

QPixmap scaledByQt(const QPixmap &pixmap, const QSize &view)
{
    return pixmap.scaled(view, Qt::KeepAspectRatio, Qt::FastTransformation);
}

} // namespace

class tst_ViewScaler : public QObject
{
    Q_OBJECT

private slots:
    void looksAsQtScaledIt_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QImage::Format>("format");
        QTest::addColumn<QSize>("view");
        QTest::addColumn<QSize>("shown");
        const auto rgb = QImage::Format_RGB32;
        const auto alpha = QImage::Format_ARGB32;
        QTest::newRow("1080p wide") << QSize(1920, 1080) << rgb << QSize(900, 300) << QSize(533, 300);
        QTest::newRow("enlarged") << QSize(400, 400) << rgb << QSize(502, 700) << QSize(502, 502);
        QTest::newRow("fits already") << QSize(500, 375) << rgb << QSize(500, 500) << QSize(500, 375);
        QTest::newRow("side to nothing") << QSize(4095, 7) << rgb << QSize(100, 100) << QSize(100, 1);
        QTest::newRow("alpha") << QSize(640, 480) << alpha << QSize(300, 300) << QSize(300, 225);
        // A frame that could not be shown sets a null pixmap, which is passed on.
        QTest::newRow("null") << QSize(0, 0) << rgb << QSize(320, 320) << QSize(0, 0);
    }

    // Frames of every shape and pixel format end up exactly as Qt would show them.
    void looksAsQtScaledIt()
    {
        QFETCH(QSize, source);
        QFETCH(QImage::Format, format);
        QFETCH(QSize, view);
        QFETCH(QSize, shown);
        const QPixmap frame = picture(source.width(), source.height(), format, 5);
        for (int warned = 0; frame.isNull() && warned < 2; ++warned) // by ours and by Qt's
            QTest::ignoreMessage(QtWarningMsg, "QPixmap::scaled: Pixmap is a null pixmap");
        const QPixmap ours = ViewScaler().scaled(frame, view);
        QCOMPARE(ours.size(), shown);
        QCOMPARE(ours.toImage(), scaledByQt(frame, view).toImage());
    }

    void pictureStillShownIsNotOverwritten()
    {
        ViewScaler scaler;
        const QSize view(320, 320);
        const QPixmap first = picture(640, 480, QImage::Format_RGB32, 1);
        const QImage firstShown = scaler.scaled(first, view).toImage().copy();
        const QPixmap onScreen = scaler.scaled(first, view);
        for (int seed = 2; seed < 6; ++seed)
            QCOMPARE(scaler.scaled(picture(640, 480, QImage::Format_RGB32, seed), view).toImage(),
                     scaledByQt(picture(640, 480, QImage::Format_RGB32, seed), view).toImage());
        QCOMPARE(onScreen.toImage(), firstShown);
    }
};

QTEST_MAIN(tst_ViewScaler)
#include "tst_viewscaler.moc"
