#include "PlatformApplications.h"

#include <QtTest>

#include <vector>

namespace {
using Frame = std::vector<uint8_t>;

bool insideRegion(const FrameRegion &r, int x, int y)
{
    return x >= r.x && x < r.x + r.width && y >= r.y && y < r.y + r.height;
}

// Pixels outside the central region must be left as they were.
bool outsideUnchanged(const Frame &before, const Frame &after, int width, int height)
{
    const FrameRegion region = centralRegion(width, height);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const size_t i = static_cast<size_t>(y) * width + x;
            if (!insideRegion(region, x, y) && before[i] != after[i])
                return false;
        }
    }
    return true;
}
}

class tst_PlatformApplications : public QObject
{
    Q_OBJECT

private slots:
    void centralRegionBounds_data();
    void centralRegionBounds();
    void contrastStretchesRegion();
    void medianRemovesSpeck();
    void edgesMarkStep();
    void motionIsDifference();
    void invalidInputLeftUntouched_data();
    void invalidInputLeftUntouched();
    void tinyFrames_data();
    void tinyFrames();
};

void tst_PlatformApplications::centralRegionBounds_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QList<int>>("region");

    QTest::newRow("640x480") << 640 << 480 << QList<int>{160, 120, 320, 240};
    QTest::newRow("odd 7x5") << 7 << 5 << QList<int>{1, 1, 5, 3};
    QTest::newRow("1x1") << 1 << 1 << QList<int>{0, 0, 1, 1};
    QTest::newRow("3x2") << 3 << 2 << QList<int>{0, 0, 3, 2};
    QTest::newRow("0x10") << 0 << 10 << QList<int>{0, 0, 0, 0};
    QTest::newRow("negative") << -4 << 4 << QList<int>{0, 0, 0, 0};
}

void tst_PlatformApplications::centralRegionBounds()
{
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QList<int>, region);

    const FrameRegion r = centralRegion(width, height);
    QCOMPARE((QList<int>{r.x, r.y, r.width, r.height}), region);
}

void tst_PlatformApplications::contrastStretchesRegion()
{
    const int w = 8, h = 8;
    Frame frame(w * h);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(100 + i % 51);
    const Frame before = frame;

    QVERIFY(enhanceContrast(frame.data(), frame.size(), w, h));
    const FrameRegion r = centralRegion(w, h);
    int low = 255, high = 0;
    for (int y = r.y; y < r.y + r.height; ++y) {
        for (int x = r.x; x < r.x + r.width; ++x) {
            low = qMin<int>(low, frame[y * w + x]);
            high = qMax<int>(high, frame[y * w + x]);
        }
    }
    QCOMPARE(low, 0);
    QCOMPARE(high, 255);
    QVERIFY(outsideUnchanged(before, frame, w, h));

    // A flat region has no range to stretch.
    Frame flat(w * h, 77);
    QVERIFY(enhanceContrast(flat.data(), flat.size(), w, h));
    QCOMPARE(flat, Frame(w * h, 77));
}

void tst_PlatformApplications::medianRemovesSpeck()
{
    const int w = 8, h = 8;
    Frame frame(w * h, 50);
    frame[4 * w + 4] = 255;
    frame[0] = 255; // outside the region
    const Frame before = frame;

    QVERIFY(reduceNoise(frame.data(), frame.size(), w, h));
    QCOMPARE(frame[4 * w + 4], uint8_t(50));
    QCOMPARE(frame[0], uint8_t(255));
    QVERIFY(outsideUnchanged(before, frame, w, h));
}

void tst_PlatformApplications::edgesMarkStep()
{
    const int w = 8, h = 8;
    Frame frame(w * h);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            frame[y * w + x] = x < 4 ? 20 : 220;
    }
    const Frame before = frame;

    QVERIFY(detectEdges(frame.data(), frame.size(), w, h));
    for (int y = 2; y < 6; ++y) {
        QCOMPARE(frame[y * w + 2], uint8_t(0));
        QCOMPARE(frame[y * w + 3], uint8_t(255));
        QCOMPARE(frame[y * w + 4], uint8_t(255));
        QCOMPARE(frame[y * w + 5], uint8_t(0));
    }
    QVERIFY(outsideUnchanged(before, frame, w, h));
}

void tst_PlatformApplications::motionIsDifference()
{
    const int w = 4, h = 4;
    Frame previous(w * h, 100);
    Frame frame(w * h, 100);
    frame[1 * w + 1] = 30;
    frame[2 * w + 2] = 160;
    frame[0] = 0; // outside the region

    QVERIFY(estimateMotion(frame.data(), frame.size(), previous.data(), previous.size(), w, h));
    QCOMPARE(frame[1 * w + 1], uint8_t(70));
    QCOMPARE(frame[2 * w + 2], uint8_t(60));
    QCOMPARE(frame[1 * w + 2], uint8_t(0));
    QCOMPARE(frame[0], uint8_t(0));
    QCOMPARE(frame[3], uint8_t(100));
}

void tst_PlatformApplications::invalidInputLeftUntouched_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("previousLength");
    QTest::addColumn<bool>("accepted");

    for (int code : {6, 8, 10, 11}) {
        QTest::addRow("code %d short frame", code) << code << 15 << 16 << false;
        QTest::addRow("code %d exact", code) << code << 16 << 16 << true;
    }
    QTest::newRow("motion short previous") << 11 << 16 << 15 << false;
    QTest::newRow("motion no previous") << 11 << 16 << -1 << false;
    QTest::newRow("colour detector") << 7 << 16 << 16 << true;
    QTest::newRow("sharpness") << 9 << 16 << 16 << true;
    QTest::newRow("unknown code") << 12 << 16 << 16 << false;
}

void tst_PlatformApplications::invalidInputLeftUntouched()
{
    QFETCH(int, code);
    QFETCH(int, length);
    QFETCH(int, previousLength);
    QFETCH(bool, accepted);

    const int w = 4, h = 4;
    Frame frame(w * h);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 37);
    Frame previous(w * h, 3);
    const Frame before = frame;

    const uint8_t *prev = previousLength < 0 ? nullptr : previous.data();
    QCOMPARE(applyApplication(code, frame.data(), size_t(length), prev, size_t(qMax(0, previousLength)), w, h),
             accepted);
    if (!accepted || code == 7 || code == 9)
        QCOMPARE(frame, before);
}

void tst_PlatformApplications::tinyFrames_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");

    QTest::newRow("1x1") << 1 << 1;
    QTest::newRow("1x3") << 1 << 3;
    QTest::newRow("2x1") << 2 << 1;
    QTest::newRow("5x2") << 5 << 2;
}

void tst_PlatformApplications::tinyFrames()
{
    QFETCH(int, width);
    QFETCH(int, height);

    // Sized exactly, so a read or write past the frame shows under the sanitizers.
    const size_t size = static_cast<size_t>(width) * height;
    for (int code : {6, 8, 10, 11}) {
        Frame frame(size, 90);
        Frame previous(size, 10);
        QVERIFY(applyApplication(code, frame.data(), size, previous.data(), size, width, height));
    }
    Frame single(size, 90);
    QVERIFY(reduceNoise(single.data(), size, width, height));
    QCOMPARE(single, Frame(size, 90));
    QVERIFY(!detectEdges(single.data(), size, 0, height));
    QVERIFY(!detectEdges(nullptr, size, width, height));
}

QTEST_GUILESS_MAIN(tst_PlatformApplications)
#include "tst_platformapplications.moc"
