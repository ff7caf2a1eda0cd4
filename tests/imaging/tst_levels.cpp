#include "BoardProtocol.h"
#include "PixelSamples.h"
#include "PlaneLevels.h"
#include "RawConvert.h"

#include <QtTest>

#include <cmath>
#include <map>

namespace {

// A board payload with the format and size it is read by.
struct Payload
{
    int format = 0;
    int width = 0;
    int height = 0;
    QByteArray bytes;

    const uchar *data() const { return reinterpret_cast<const uchar *>(bytes.constData()); }
    QSize size() const { return QSize(width, height); }
    PixelSamples at(int x, int y) const { return pixelSamplesAt(data(), bytes.size(), format, width, height, x, y); }
    std::vector<SamplePlane> planes() const { return SamplePlane::ofPayload(data(), bytes.size(), format, width, height); }
};

QByteArray ramp(int bytes, int seed)
{
    QByteArray payload(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        payload[i] = char((i * 37 + seed * 11 + (i >> 3)) & 0xff);
    return payload;
}

// The samples of a region gathered pixel by pixel through PixelSamples; a chroma sample once for
// all the pixels that share it.
std::vector<std::vector<int>> samplesOf(const Payload &frame, const QRect &region)
{
    if (frame.format == BoardProtocol::FormatGray) {
        std::vector<int> levels;
        for (int y = region.top(); y <= region.bottom(); ++y)
            for (int x = region.left(); x <= region.right(); ++x)
                levels.push_back(frame.at(x, y).level);
        return {levels};
    }
    const int chromaRowShift = frame.format == BoardProtocol::FormatUyvy ? 0 : 1;
    std::vector<int> luma;
    std::map<std::pair<int, int>, std::pair<int, int>> chroma;
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const PixelSamples pixel = frame.at(x, y);
            luma.push_back(pixel.y);
            chroma[{y >> chromaRowShift, x >> 1}] = {pixel.u, pixel.v};
        }
    }
    std::vector<int> u, v;
    for (const auto &sample : chroma) {
        u.push_back(sample.second.first);
        v.push_back(sample.second.second);
    }
    return {luma, u, v};
}

std::vector<std::vector<int>> samplesOf(const QImage &picture, const QRect &region)
{
    std::vector<std::vector<int>> rgb(3);
    for (int y = region.top(); y <= region.bottom(); ++y) {
        for (int x = region.left(); x <= region.right(); ++x) {
            const QRgb p = picture.pixel(x, y);
            rgb[0].push_back(qRed(p));
            rgb[1].push_back(qGreen(p));
            rgb[2].push_back(qBlue(p));
        }
    }
    return rgb;
}

} // namespace

class TestLevels : public QObject
{
    Q_OBJECT

private slots:
    void levels_data()
    {
        QTest::addColumn<int>("format"); // -1: the picture, -2: the picture with an alpha channel
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QRect>("region");
        QTest::addColumn<QList<double>>("means"); // known beforehand; empty: the frame has no samples
        using M = QList<double>;
        const QByteArray gray("\x00\x07\x40\xff\x10\x20\x30\x80", 8);
        const QByteArray uyvy("\x5a\x51\xf0\x52\x10\x60\x20\x61" "\x80\x10\x80\xeb\x80\x70\x80\x71", 16);
        QTest::newRow("gray clipped both ways") << 1 << QSize(4, 2) << gray << QRect() << M{68.75};
        QTest::newRow("gray region") << 1 << QSize(4, 2) << gray << QRect(1, 0, 2, 2) << M{37.75};
        QTest::newRow("gray region past the edge") << 1 << QSize(4, 2) << gray << QRect(3, 1, 5, 5) << M{128};
        QTest::newRow("gray region off the frame") << 1 << QSize(4, 2) << gray << QRect(4, 0, 2, 2) << M{};
        QTest::newRow("picture region off it") << -1 << QSize(2, 1) << QByteArray(6, '\x10') << QRect(-3, -3, 2, 2) << M{};
        QTest::newRow("uyvy") << 2 << QSize(4, 2) << uyvy << QRect() << M{104, 90.5, 132};
        // Pixels 1 and 2 of the first row: two pairs, so two chroma samples each.
        QTest::newRow("uyvy region across pairs") << 2 << QSize(4, 2) << uyvy << QRect(1, 0, 2, 1) << M{89, 53, 136};
        QTest::newRow("uyvy flat white") << 2 << QSize(2, 1) << QByteArray("\x80\xff\x80\xff", 4) << QRect() << M{255, 128, 128};
        QTest::newRow("uyvy odd width") << 2 << QSize(3, 3) << ramp(24, 1) << QRect() << M{};
        QTest::newRow("yuv420 odd size") << 3 << QSize(5, 3) << ramp(15 + 2 * 6, 2) << QRect() << M{};
        QTest::newRow("yuv420 odd region") << 3 << QSize(6, 4) << ramp(24 + 2 * 6, 3) << QRect(1, 1, 3, 2) << M{};
        QTest::newRow("nv12 region") << 4 << QSize(6, 4) << ramp(24 + 12, 4) << QRect(3, 0, 3, 3) << M{};
        QTest::newRow("nv12 odd size") << 4 << QSize(7, 5) << ramp(35 + 2 * 12, 5) << QRect() << M{};
        QTest::newRow("gray big") << 1 << QSize(333, 97) << ramp(333 * 97, 6) << QRect(5, 7, 300, 80) << M{};
        QTest::newRow("picture big, in two bands") << -1 << QSize(300, 240) << ramp(300 * 240 * 3, 8) << QRect(1, 3, 297, 230) << M{};
        QTest::newRow("gray without a width") << 1 << QSize(0, 2) << gray << QRect() << M();
        QTest::newRow("gray without a height") << 1 << QSize(4, 0) << gray << QRect() << M();
        QTest::newRow("gray payload short") << 1 << QSize(4, 2) << gray.left(7) << QRect() << M();
        QTest::newRow("uyvy payload short") << 2 << QSize(4, 2) << uyvy.left(15) << QRect() << M();
        QTest::newRow("nv12 payload short") << 4 << QSize(6, 4) << ramp(35, 4) << QRect() << M();
        QTest::newRow("jpeg carries no samples") << 0 << QSize(6, 4) << ramp(100, 4) << QRect() << M();
        QTest::newRow("picture") << -1 << QSize(3, 2) << QByteArray("\xff\x00\x0a" "\x00\xff\x0a" "\x14\x1e\xff" "\x01\x02\x03" "\x04\x05\x06" "\x07\x08\x09", 18)
                                 << QRect() << M{287.0 / 6, 50, 293.0 / 6};
        QTest::newRow("picture with alpha") << -2 << QSize(2, 1) << QByteArray("\x10\x20\x30\x40\x50\x60", 6) << QRect() << M{40, 56, 72};
    }

    void levels()
    {
        QFETCH(int, format);
        QFETCH(QSize, size);
        QFETCH(QByteArray, payload);
        QFETCH(QRect, region);
        QFETCH(QList<double>, means);
        const Payload frame{format, size.width(), size.height(), payload};
        const QImage picture = format < 0 ? QImage(reinterpret_cast<const uchar *>(payload.constData()), size.width(),
                                                   size.height(), 3 * size.width(), QImage::Format_RGB888)
                                                .convertToFormat(format == -2 ? QImage::Format_ARGB32 : QImage::Format_RGB888)
                                          : QImage();
        PlaneLevels levels;
        levels.measure(QImage(3, 1, QImage::Format_RGB32)); // replaced by what follows
        const bool measured = format < 0 ? levels.measure(picture, region)
                                         : levels.measure(frame.data(), payload.size(), format, size.width(), size.height(), region);
        const qint64 needed = format == BoardProtocol::FormatGray ? qint64(size.width()) * size.height()
                                                                  : rawPayloadSize(format, size.width(), size.height());
        const bool hasSamples = format < 0
            || (format >= BoardProtocol::FormatGray && !size.isEmpty() && needed >= 0 && payload.size() >= needed);
        QCOMPARE(measured, hasSamples);
        if (!hasSamples) {
            // A short raw payload still gives the pixels it holds, and not the last, whose samples it lacks.
            if (format > BoardProtocol::FormatGray)
                QCOMPARE(QList<int>({ frame.at(0, 0).kind, frame.at(size.width() - 1, size.height() - 1).kind,
                                      frame.at(size.width(), 0).kind }),
                         QList<int>({ PixelSamples::Yuv, PixelSamples::None, PixelSamples::None }));
            return;
        }
        const QRect area = region.isNull() ? QRect(QPoint(0, 0), size) : region.intersected(QRect(QPoint(0, 0), size));
        QCOMPARE(levels.region(), area);
        const std::vector<std::vector<int>> samples = area.isEmpty() ? std::vector<std::vector<int>>()
                                                      : format < 0   ? samplesOf(picture, area)
                                                                     : samplesOf(frame, area);
        QCOMPARE(levels.channels().size(), samples.size());
        for (size_t c = 0; c < samples.size(); ++c) {
            const ChannelLevels &channel = levels.channels()[c];
            const std::vector<int> &values = samples[c];
            std::array<quint64, 256> bins{};
            double sum = 0;
            for (int value : values) {
                ++bins[value];
                sum += value;
            }
            const double mean = sum / double(values.size());
            double squares = 0;
            for (int value : values)
                squares += (value - mean) * (value - mean);
            const double sigma = std::sqrt(squares / double(values.size()));
            QVERIFY(channel.bins == bins);
            QCOMPARE(channel.count, quint64(values.size()));
            QCOMPARE(channel.min, *std::min_element(values.begin(), values.end()));
            QCOMPARE(channel.max, *std::max_element(values.begin(), values.end()));
            QVERIFY2(std::abs(channel.mean - mean) < 1e-9, qPrintable(QString::number(channel.mean)));
            QVERIFY2(std::abs(channel.sigma - sigma) < 1e-9, qPrintable(QString::number(channel.sigma)));
            if (sigma > 0)
                QVERIFY(std::abs(channel.snrDb() - 20 * std::log10(mean / sigma)) < 1e-9);
            else
                QVERIFY(std::isinf(channel.snr()));
            if (!means.isEmpty())
                QCOMPARE(channel.mean, means[qsizetype(c)]);
        }
    }

    void profile_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QList<QList<int>>>("channels"); // each channel's samples along the line
        QTest::newRow("gray diagonal") << 1 << QPoint(0, 0) << QPoint(3, 1) << QList<QList<int>>{{0, 7, 48, 128}};
        QTest::newRow("gray backwards") << 1 << QPoint(3, 0) << QPoint(0, 0) << QList<QList<int>>{{255, 64, 7, 0}};
        QTest::newRow("gray one pixel") << 1 << QPoint(2, 1) << QPoint(2, 1) << QList<QList<int>>{{48}};
        QTest::newRow("uyvy down") << 2 << QPoint(3, 0) << QPoint(3, 1) << QList<QList<int>>{{97, 113}, {16, 128}, {32, 128}};
        QTest::newRow("off the frame") << 1 << QPoint(0, 0) << QPoint(4, 1) << QList<QList<int>>{};
        QTest::newRow("no picture") << -2 << QPoint(0, 0) << QPoint(0, 0) << QList<QList<int>>{};
        QTest::newRow("picture across") << -1 << QPoint(0, 1) << QPoint(3, 1)
                                        << QList<QList<int>>{{16, 32, 48, 128}, {4, 5, 6, 7}, {239, 223, 207, 127}};
    }

    void profile()
    {
        QFETCH(int, format);
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(QList<QList<int>>, channels);
        const QByteArray payload = format <= 1 ? QByteArray("\x00\x07\x40\xff\x10\x20\x30\x80", 8)
                                               : QByteArray("\x5a\x51\xf0\x52\x10\x60\x20\x61" "\x80\x10\x80\xeb\x80\x70\x80\x71", 16);
        // A picture: the Gray frame's levels in red, the pixel's number in green, red's complement in blue.
        QImage picture(4, 2, QImage::Format_RGB32);
        for (int i = 0; i < 8; ++i)
            picture.setPixel(i % 4, i / 4, qRgb(quint8(payload[i]), i, 255 - quint8(payload[i])));
        const Payload frame{format, 4, 2, payload};
        const std::vector<std::vector<int>> samples = format < 0 ? PlaneLevels::profile(format == -1 ? picture : QImage(), from, to)
                                                                 : PlaneLevels::profile(frame.planes(), frame.size(), from, to);
        QList<QList<int>> got;
        for (const std::vector<int> &channel : samples)
            got << QList<int>(channel.begin(), channel.end());
        QCOMPARE(got, channels);
    }

    void clipMask_data()
    {
        QTest::addColumn<int>("format"); // -1: a picture, clipped where any of R, G, B is
        QTest::addColumn<int>("channel");
        QTest::newRow("gray") << 1 << 0;
        QTest::newRow("uyvy Y") << 2 << 0;
        QTest::newRow("uyvy V") << 2 << 2;
        QTest::newRow("yuv420 U") << 3 << 1;
        QTest::newRow("nv12 V") << 4 << 2;
        QTest::newRow("picture") << -1 << 0;
    }

    // Every pixel whose sample is 0 painted low, 255 high, the rest left clear.
    void clipMask()
    {
        QFETCH(int, format);
        QFETCH(int, channel);
        constexpr int W = 6, H = 4;
        QByteArray payload = ramp(3 * W * H, 9);
        for (int i = 0; i < payload.size(); i += 5)
            payload[i] = char(i % 2 ? 0 : 255);
        const Payload frame{format, W, H, payload};
        const QImage picture = QImage(reinterpret_cast<const uchar *>(payload.constData()), W, H, 3 * W,
                                      QImage::Format_RGB888).copy();
        const QRgb low = qRgb(0, 0, 255), high = qRgb(255, 0, 0);
        const QImage mask = format < 0 ? PlaneLevels::clipMask(picture, low, high)
                                       : PlaneLevels::clipMask(frame.planes()[size_t(channel)], frame.size(), low, high);
        QCOMPARE(mask.size(), QSize(W, H));
        QVERIFY(PlaneLevels::clipMask(QImage(), low, high).isNull());
        for (int y = 0; y < H; ++y) {
            for (int x = 0; x < W; ++x) {
                const PixelSamples p = frame.at(x, y);
                const QRgb rgb = picture.pixel(x, y);
                const QList<int> samples = format < 0 ? QList<int>{qRed(rgb), qGreen(rgb), qBlue(rgb)}
                                         : QList<int>{format == 1 ? p.level : QList<int>{p.y, p.u, p.v}[channel]};
                const QRgb want = samples.contains(255) ? high : samples.contains(0) ? low : qRgba(0, 0, 0, 0);
                QVERIFY2(mask.pixel(x, y) == want, qPrintable(QStringLiteral("(%1, %2)").arg(x).arg(y)));
            }
        }
    }
};

QTEST_APPLESS_MAIN(TestLevels)
#include "tst_levels.moc"
