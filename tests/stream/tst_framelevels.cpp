#include "BoardProtocol.h"
#include "FrameLevels.h"
#include "FramePixel.h"
#include "Frames.h"

#include <QtTest>

// A frame record read through its format, width, height and payload: tests/imaging checks the
// arithmetic, these that a frame reaches it whole and the right way round.
class TestFrameLevels : public QObject
{
    Q_OBJECT

private slots:
    void frames_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QStringList>("names"); // empty: the frame has no samples
        QTest::addColumn<QList<double>>("means");
        QTest::addColumn<QList<QList<int>>>("profile"); // from (3, 0) to (0, 1)
        QTest::addColumn<QList<int>>("pixel"); // kind and samples of pixel (1, 1)

        const QByteArray gray("\x00\x07\x40\xff\x10\x20\x30\x80", 8);
        const QByteArray uyvy("\x5a\x51\xf0\x52\x10\x60\x20\x61" "\x80\x10\x80\xeb\x80\x70\x80\x71", 16);
        QTest::newRow("gray") << int(BoardProtocol::FormatGray) << gray << QStringList{"Gray"} << QList<double>{68.75}
                              << QList<QList<int>>{{255, 64, 32, 16}} << QList<int>{FramePixel::Gray, 32};
        QTest::newRow("uyvy") << int(BoardProtocol::FormatUyvy) << uyvy << QStringList{"Y", "U", "V"}
                              << QList<double>{104, 90.5, 132}
                              << QList<QList<int>>{{97, 96, 235, 16}, {16, 16, 128, 128}, {32, 32, 128, 128}}
                              << QList<int>{FramePixel::Yuv, 235, 128, 128};
        QTest::newRow("jpeg") << int(BoardProtocol::FormatJpg) << uyvy << QStringList{} << QList<double>{}
                              << QList<QList<int>>{} << QList<int>{FramePixel::None};
    }

    void frames()
    {
        QFETCH(int, format);
        QFETCH(QByteArray, payload);
        QFETCH(QStringList, names);
        QFETCH(QList<double>, means);
        QFETCH(QList<QList<int>>, profile);
        QFETCH(QList<int>, pixel);

        const FrameSlot frame = frameOf(format, 4, 2, payload);
        FrameLevels levels;
        QCOMPARE(levels.measure(frame), !names.isEmpty());
        QStringList gotNames;
        QList<double> gotMeans;
        for (const ChannelLevels &channel : levels.channels()) {
            gotNames << channel.name;
            gotMeans << channel.mean;
        }
        QCOMPARE(gotNames, names);
        QCOMPARE(gotMeans, means);
        if (!names.isEmpty())
            QCOMPARE(levels.region(), QRect(0, 0, 4, 2));

        QList<QList<int>> gotProfile;
        for (const std::vector<int> &samples : FrameLevels::profile(frame, QPoint(3, 0), QPoint(0, 1)))
            gotProfile << QList<int>(samples.begin(), samples.end());
        QCOMPARE(gotProfile, profile);

        const FramePixel at = framePixelAt(frame, 1, 1);
        QList<int> gotPixel{at.kind};
        if (at.kind == FramePixel::Gray)
            gotPixel << at.level;
        else if (at.kind == FramePixel::Yuv)
            gotPixel << at.y << at.u << at.v;
        QCOMPARE(gotPixel, pixel);
        QCOMPARE(framePixelAt(frame, 4, 1).kind, FramePixel::None);

        // Clipped samples of each channel the frame has, and of no other.
        const QRgb low = qRgb(0, 0, 255), high = qRgb(255, 0, 0);
        for (int channel = -1; channel <= int(names.size()); ++channel) {
            const QImage mask = FrameLevels::clipMask(frame, channel, low, high);
            QCOMPARE(mask.isNull(), channel < 0 || channel >= names.size());
            if (mask.isNull())
                continue;
            QCOMPARE(mask.size(), QSize(4, 2));
            const bool grayLevels = format == BoardProtocol::FormatGray;
            QCOMPARE(mask.pixel(0, 0), grayLevels ? low : qRgba(0, 0, 0, 0));
            QCOMPARE(mask.pixel(3, 0), grayLevels ? high : qRgba(0, 0, 0, 0));
            QCOMPARE(mask.pixel(3, 1), qRgba(0, 0, 0, 0));
        }
    }
};

QTEST_APPLESS_MAIN(TestFrameLevels)
#include "tst_framelevels.moc"
