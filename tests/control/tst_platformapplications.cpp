#include "PlatformApplications.h"

#include <QtTest>

#include <vector>

namespace {
using Frame = std::vector<uint8_t>;
constexpr int W = 8, H = 8; // central region: columns and rows 2..5

Frame frameOf(uint8_t fill, std::initializer_list<std::pair<int, uint8_t>> pixels = {})
{
    Frame frame(W * H, fill);
    for (const auto &[index, value] : pixels)
        frame[size_t(index)] = value;
    return frame;
}
}

Q_DECLARE_METATYPE(Frame)

class tst_PlatformApplications : public QObject
{
    Q_OBJECT

private slots:
    void applications_data();
    void applications();
    void inputBounds_data();
    void inputBounds();
};

void tst_PlatformApplications::applications_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<Frame>("frame");
    QTest::addColumn<Frame>("previous");
    // Pairs of pixel index and expected value.
    QTest::addColumn<QList<int>>("expected");

    Frame step(W * H);
    for (int i = 0; i < W * H; ++i)
        step[size_t(i)] = i % W < 4 ? 20 : 220;
    QTest::newRow("edges") << 6 << step << Frame() << QList<int>{26, 0, 27, 255, 28, 255, 29, 0};
    QTest::newRow("contrast") << 8 << frameOf(100, {{27, 50}, {36, 150}}) << Frame()
                              << QList<int>{27, 0, 36, 255, 28, 128};
    QTest::newRow("noise") << 10 << frameOf(50, {{36, 255}, {0, 255}}) << Frame()
                           << QList<int>{36, 50, 0, 255};
    QTest::newRow("motion") << 11 << frameOf(100, {{27, 30}, {36, 160}, {0, 0}}) << frameOf(100)
                            << QList<int>{27, 70, 36, 60, 28, 0, 0, 0};
}

// Each changes only the central region.
void tst_PlatformApplications::applications()
{
    QFETCH(int, code);
    QFETCH(Frame, frame);
    QFETCH(Frame, previous);
    QFETCH(QList<int>, expected);

    const Frame before = frame;
    QVERIFY(applyApplication(code, frame.data(), frame.size(), previous.data(), previous.size(),
                             W, H));
    for (int i = 0; i < expected.size(); i += 2)
        QCOMPARE(int(frame[size_t(expected[i])]), expected[i + 1]);
    for (int i = 0; i < W * H; ++i) {
        const int x = i % W, y = i / W;
        if (x < 2 || x > 5 || y < 2 || y > 5)
            QCOMPARE(frame[size_t(i)], before[size_t(i)]);
    }
}

void tst_PlatformApplications::inputBounds_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("length");
    QTest::addColumn<int>("previousLength");
    QTest::addColumn<bool>("accepted");

    for (int code : {6, 8, 10, 11}) {
        QTest::addRow("code %d short frame", code) << code << 4 << 4 << 15 << 16 << false;
        QTest::addRow("code %d zero width", code) << code << 0 << 4 << 16 << 16 << false;
        for (const auto &[w, h] : {std::pair{1, 1}, {1, 3}, {2, 1}, {5, 2}})
            QTest::addRow("code %d %dx%d", code, w, h) << code << w << h << w * h << w * h << true;
    }
    QTest::newRow("motion short previous") << 11 << 4 << 4 << 16 << 15 << false;
    QTest::newRow("motion no previous") << 11 << 4 << 4 << 16 << -1 << false;
    QTest::newRow("unknown code") << 12 << 4 << 4 << 16 << 16 << false;
}

// Buffers of exactly the given lengths, so a read or write past them shows under the sanitizers.
void tst_PlatformApplications::inputBounds()
{
    QFETCH(int, code);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(int, length);
    QFETCH(int, previousLength);
    QFETCH(bool, accepted);

    Frame frame(static_cast<size_t>(length));
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = uint8_t(i * 37);
    Frame previous(size_t(qMax(0, previousLength)), 3);
    const Frame before = frame;
    QCOMPARE(applyApplication(code, frame.data(), frame.size(),
                              previousLength < 0 ? nullptr : previous.data(), previous.size(),
                              width, height),
             accepted);
    if (!accepted)
        QCOMPARE(frame, before);
}

QTEST_GUILESS_MAIN(tst_PlatformApplications)
#include "tst_platformapplications.moc"
