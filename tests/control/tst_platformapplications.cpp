#include "PlatformApplications.h"

#include <QtTest>

#include <algorithm>
#include <vector>

namespace {
using Frame = std::vector<uint8_t>;
constexpr int W = 8, H = 8; // central region: columns and rows 2..5

// Pixel i holds i * scale (mod 256), then the given pixels their values.
Frame ramp(int scale, std::initializer_list<std::pair<int, uint8_t>> pixels = {})
{
    Frame frame(W * H);
    for (int i = 0; i < W * H; ++i)
        frame[size_t(i)] = uint8_t(i * scale);
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
    void applications_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<Frame>("frame");
        QTest::addColumn<Frame>("previous");
        // The central region afterwards, row by row.
        QTest::addColumn<QList<int>>("region");

        Frame step(W * H);
        for (int i = 0; i < W * H; ++i)
            step[size_t(i)] = i % W < 4 ? 20 : 220;
        const QList<int> stepRegion = {20, 20, 220, 220, 20, 20, 220, 220, 20, 20, 220, 220, 20, 20, 220, 220};
        QTest::newRow("none") << 0 << step << Frame() << stepRegion;
        QTest::newRow("edges") << 6 << step << Frame() << QList<int>{0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0, 0, 255, 255, 0};
        // A single point: each neighbour's gradient in both directions counts.
        QTest::newRow("edges around a point") << 6 << ramp(0, {{4 * W + 3, 60}}) << Frame()
                                              << QList<int>{0, 0, 0, 0, 255, 255, 255, 0, 255, 0, 255, 0, 255, 255, 255, 0};
        QTest::newRow("colour: nothing") << 7 << step << Frame() << stepRegion;
        // 54..250 stretched to 0..255.
        QTest::newRow("contrast") << 8 << ramp(3, {{27, 250}}) << Frame()
                                  << QList<int>{0, 4, 8, 12, 31, 255, 39, 43, 62, 66, 70, 74, 94, 98, 101, 105};
        QTest::newRow("sharpness: nothing") << 9 << step << Frame() << stepRegion;
        // The spikes give way to their neighbours' median; the ramp stays.
        QTest::newRow("noise") << 10 << ramp(3, {{36, 255}, {19, 0}}) << Frame()
                               << QList<int>{51, 54, 60, 63, 78, 81, 84, 87, 102, 105, 111, 114, 126, 132, 135, 138};
        QTest::newRow("motion") << 11 << ramp(3, {{27, 30}}) << ramp(2)
                                << QList<int>{18, 19, 20, 21, 26, 24, 28, 29, 34, 35, 36, 37, 42, 43, 44, 45};
    }

    // Each changes only the central region.
    void applications()
    {
        QFETCH(int, code);
        QFETCH(Frame, frame);
        QFETCH(Frame, previous);
        QFETCH(QList<int>, region);

        Frame expected = frame;
        for (int i = 0; i < region.size(); ++i)
            expected[size_t((2 + i / 4) * W + 2 + i % 4)] = uint8_t(region[i]);
        QVERIFY(applyApplication(code, frame.data(), frame.size(), previous.data(), previous.size(), W, H));
        QCOMPARE(frame, expected);
    }

    void inputBounds_data()
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
            for (const auto &[w, h] : {std::pair{1, 1}, {1, 3}, {2, 1}, {5, 2}, {7, 3}, {9, 9}})
                QTest::addRow("code %d %dx%d", code, w, h) << code << w << h << w * h << w * h << true;
        }
        QTest::newRow("motion short previous") << 11 << 4 << 4 << 16 << 15 << false;
        QTest::newRow("motion no previous") << 11 << 4 << 4 << 16 << -1 << false;
        QTest::newRow("unknown code") << 12 << 4 << 4 << 16 << 16 << false;
    }

    // Buffers of exactly the given lengths, so a read or write past them shows under the sanitizers.
    void inputBounds()
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
        QCOMPARE(applyApplication(code, frame.data(), frame.size(), previousLength < 0 ? nullptr : previous.data(), previous.size(),
                                  width, height), accepted);
        if (!accepted)
            QCOMPARE(frame, before);
        if (!accepted || code != 10)
            return;
        // Noise reduction at the frame's edges: the median of the 3 x 3 neighbours, the edge rows
        // and columns repeated outward, over the middle half of each side.
        Frame median = before;
        for (int y = height / 4; y < height - height / 4; ++y) {
            for (int x = width / 4; x < width - width / 4; ++x) {
                std::vector<uint8_t> near;
                for (int dy = -1; dy <= 1; ++dy)
                    for (int dx = -1; dx <= 1; ++dx)
                        near.push_back(before[size_t(qBound(0, y + dy, height - 1) * width + qBound(0, x + dx, width - 1))]);
                std::sort(near.begin(), near.end());
                median[size_t(y * width + x)] = near[4];
            }
        }
        QCOMPARE(frame, median);
    }
};

QTEST_GUILESS_MAIN(tst_PlatformApplications)
#include "tst_platformapplications.moc"
