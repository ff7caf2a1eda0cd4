#include "NearestScale.h"

#include <QImage>
#include <QtTest>

#include <algorithm>
#include <vector>

namespace {

QImage noise(int width, int height, quint32 seed)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(seed);
    for (int y = 0; y < height; ++y) {
        auto *row = reinterpret_cast<quint32 *>(image.scanLine(y));
        for (int x = 0; x < width; ++x)
            row[x] = 0xff000000u | random.generate();
    }
    return image;
}

// One scaler for every picture, as a view keeps one across resizes.
QImage scaledHere(const QImage &source, int width, int height)
{
    QImage target(width, height, QImage::Format_RGB32);
    target.fill(Qt::magenta);
    static NearestScaler scaler;
    const bool scaled = scaler.setSizes(source.width(), source.height(), width, height)
        && scaler.scale(reinterpret_cast<const uint32_t *>(source.constBits()),
                        size_t(source.bytesPerLine()), reinterpret_cast<uint32_t *>(target.bits()),
                        size_t(target.bytesPerLine()));
    return scaled ? target : QImage();
}

} // namespace

class tst_NearestScale : public QObject
{
    Q_OBJECT

private slots:
    void pickSamePixelsAsQt_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("target");
        QTest::newRow("VGA into a 500 square view") << QSize(640, 480) << QSize(500, 375);
        QTest::newRow("view then only lower") << QSize(640, 480) << QSize(500, 300);
        QTest::newRow("then only narrower") << QSize(640, 480) << QSize(400, 300);
        QTest::newRow("1080p into a 500 square view") << QSize(1920, 1080) << QSize(500, 281);
        QTest::newRow("one pixel enlarged") << QSize(1, 1) << QSize(37, 41);
        QTest::newRow("odd sizes") << QSize(1281, 719) << QSize(97, 54);
        QTest::newRow("one row kept") << QSize(4095, 7) << QSize(502, 1);
        QTest::newRow("largest JPEG side") << QSize(4096, 4096) << QSize(1000, 1000);
        QTest::newRow("same size") << QSize(333, 17) << QSize(333, 17);
        QTest::newRow("short row shrunk") << QSize(47, 1) << QSize(13, 1);
        QTest::newRow("short column stretched") << QSize(1, 13) << QSize(1, 47);
    }

    void pickSamePixelsAsQt()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, target);
        const QImage image = noise(source.width(), source.height(), 7);
        const QImage ours = scaledHere(image, target.width(), target.height());
        const QImage qt = image.scaled(target, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        QCOMPARE(ours.size(), target);
        QVERIFY(ours == qt);
    }

    void refusesWithoutWriting()
    {
        std::vector<uint32_t> src(64, 1), dst(64, 0xabcdef);
        NearestScaler scaler;
        QVERIFY(!scaler.scale(src.data(), 16, dst.data(), 16)); // no sizes yet
        const int tooLong = NearestScaler::MaxSide + 1;
        const int sizes[][4] = {{0, 0, 0, 0}, {0, 4, 4, 4}, {4, -1, 4, 4}, {4, 4, 0, 4}, {4, 4, 4, tooLong},
                                {tooLong, 1, 4, 4}};
        for (const auto &s : sizes) {
            QVERIFY(!scaler.setSizes(s[0], s[1], s[2], s[3]));
            QVERIFY(!scaler.scale(src.data(), 4 * size_t(tooLong), dst.data(), 4 * size_t(tooLong)));
        }
        QVERIFY(scaler.setSizes(4, 4, 4, 4));
        QVERIFY(!scaler.scale(nullptr, 16, dst.data(), 16));
        QVERIFY(!scaler.scale(src.data(), 16, nullptr, 16));
        QVERIFY(!scaler.scale(src.data(), 15, dst.data(), 16));
        QVERIFY(!scaler.scale(src.data(), 16, dst.data(), 12));
        QVERIFY(std::all_of(dst.begin(), dst.end(), [](uint32_t v) { return v == 0xabcdef; }));
        QVERIFY(scaler.scale(src.data(), 16, dst.data(), 16));
        QCOMPARE(dst[15], 1u);
    }
};

QTEST_MAIN(tst_NearestScale)
#include "tst_nearestscale.moc"
