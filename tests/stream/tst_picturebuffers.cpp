#include "FramePixmap.h"
#include "PictureBuffers.h"

#include <QtTest>

class tst_PictureBuffers : public QObject
{
    Q_OBJECT

private slots:
    void buffersReturnWhenNothingSharesThem();
    void sizeChangeKeepsSharedPicturesIntact();
    void picturesOutliveThePool();
    void pixmapsShareColourPictures();
    void heldPixmapsKeepTheirFrame_data();
    void heldPixmapsKeepTheirFrame();
};

void tst_PictureBuffers::buffersReturnWhenNothingSharesThem()
{
    PictureBuffers pool;
    QVERIFY(pool.acquire().isNull()); // no size yet
    QVERIFY(pool.setPictureSize(8, 4));
    QVERIFY(!pool.setPictureSize(8, 4));
    QCOMPARE(pool.pictureBytes(), 128);
    QImage first = pool.acquire();
    QCOMPARE(first.format(), QImage::Format_RGB32);
    QCOMPARE(first.size(), QSize(8, 4));
    const QImage copy = first; // shares, as a pixmap does
    QImage second = pool.acquire();
    QVERIFY(second.constBits() != first.constBits());
    first = QImage();
    const QImage third = pool.acquire(); // the copy still holds the first buffer
    QVERIFY(third.constBits() != copy.constBits() && third.constBits() != second.constBits());
    QCOMPARE(pool.bufferCount(), 3);
    const uchar *secondBits = second.constBits();
    second = QImage();
    QCOMPARE(pool.acquire().constBits(), secondBits); // handed out again, none added
    QCOMPARE(pool.bufferCount(), 3);
}

void tst_PictureBuffers::sizeChangeKeepsSharedPicturesIntact()
{
    PictureBuffers pool;
    pool.setPictureSize(4, 4);
    QImage shown = pool.acquire();
    shown.fill(QColor(10, 20, 30));
    QVERIFY(pool.setPictureSize(2, 2));
    QCOMPARE(pool.bufferCount(), 0);
    QImage next = pool.acquire();
    next.fill(Qt::white);
    QCOMPARE(shown.pixelColor(3, 3), QColor(10, 20, 30));
    QVERIFY(!pool.setPictureSize(0, 5));
    QVERIFY(!pool.setPictureSize(40000, 40000));
}

void tst_PictureBuffers::picturesOutliveThePool()
{
    QImage survivor;
    {
        PictureBuffers pool;
        pool.setPictureSize(3, 3);
        survivor = pool.acquire();
        survivor.fill(QColor(1, 2, 3));
    }
    QCOMPARE(survivor.pixelColor(2, 2), QColor(1, 2, 3));
}

// No copy on the way into the pixmap: it holds the converter's own 32-bit picture.
void tst_PictureBuffers::pixmapsShareColourPictures()
{
    FramePixmap picture;
    FrameSlot frame;
    frame.format = 4;
    frame.width = 64;
    frame.height = 2;
    frame.payload = QByteArray(64 * 2 * 3 / 2, char(128));
    QVERIFY(picture.update(frame));
    const QImage first = picture.pixmap().toImage();
    QCOMPARE(first.format(), QImage::Format_RGB32);
    QVERIFY(picture.update(frame));
    QVERIFY(picture.update(frame)); // the buffer of the first is busy: a third one is used
    QVERIFY(picture.pixmap().toImage().constBits() != first.constBits());
}

void tst_PictureBuffers::heldPixmapsKeepTheirFrame_data()
{
    QTest::addColumn<int>("format");
    QTest::newRow("Gray") << 1;
    QTest::newRow("NV12") << 4;
}

// A pixmap still on screen keeps its frame's pixels while the next frames are made, and a grey
// frame is shown as (v, v, v).
void tst_PictureBuffers::heldPixmapsKeepTheirFrame()
{
    QFETCH(int, format);
    auto frameOf = [format](char level) {
        FrameSlot f;
        f.format = format;
        f.width = 32;
        f.height = 4;
        f.payload = QByteArray(format == 1 ? 32 * 4 : 32 * 4 * 3 / 2, level);
        if (format != 1)
            f.payload.fill(char(128), 32 * 4 * 3 / 2).replace(0, 32 * 4, QByteArray(32 * 4, level));
        return f;
    };
    FramePixmap picture;
    FrameSlot first = frameOf(char(60)), other = frameOf(char(200));
    QVERIFY(picture.update(first));
    const QPixmap held = picture.pixmap();
    const QColor colour = held.toImage().pixelColor(5, 2);
    if (format == 1)
        QCOMPARE(colour, QColor(60, 60, 60));
    for (int i = 0; i < 4; ++i)
        QVERIFY(picture.update(other));
    QCOMPARE(held.toImage().pixelColor(5, 2), colour);
    QVERIFY(picture.pixmap().toImage().pixelColor(5, 2) != colour);
}

QTEST_MAIN(tst_PictureBuffers)
#include "tst_picturebuffers.moc"
