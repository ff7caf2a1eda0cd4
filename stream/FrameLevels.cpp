#include "FrameLevels.h"

#include "BoardProtocol.h"
#include "RawConvert.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <system_error>
#include <thread>

namespace {

constexpr int Levels = 256;
// Counts of neighbouring samples go to tables of their own, so that runs of one level do not wait
// on each other's increments.
constexpr int Tables = 4;
// For groups of four bytes two do as well: the increments' own pace is the bound there.
constexpr int GroupTables = 2;
// From this many pixels a picture's region is counted on two threads: a 1080p picture's three
// channels took 2.2 ms on one.
constexpr qint64 SplitPixels = 1 << 16;
// Byte of each channel in a 32-bit picture's pixel.
constexpr int RedByte = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 2 : 1;
constexpr int GreenByte = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 1 : 2;
constexpr int BlueByte = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? 0 : 3;

template<int Step>
void countRow(const uchar *samples, int n, quint32 *bins)
{
    int i = 0;
    for (; i + Tables <= n; i += Tables) {
        ++bins[samples[i * Step]];
        ++bins[Levels + samples[(i + 1) * Step]];
        ++bins[2 * Levels + samples[(i + 2) * Step]];
        ++bins[3 * Levels + samples[(i + 3) * Step]];
    }
    for (; i < n; ++i)
        ++bins[samples[i * Step]];
}

// Rows of single samples (grey, YUV420's planes) or of NV12's pairs; groups of four go apart.
void countRowOf(int step, const uchar *samples, int n, quint32 *bins)
{
    Q_ASSERT(step == 1 || step == 2);
    if (step == 2)
        countRow<2>(samples, n, bins);
    else
        countRow<1>(samples, n, bins);
}

// The four bytes of each 4-byte group counted at once, byte k into tables[k] (the fourth only when
// counted), neighbouring groups into tables of their own.
template<bool CountFourth>
void countGroups(const uchar *groups, int n, quint32 *const tables[4])
{
    static_assert(GroupTables == 2);
    int i = 0;
    for (; i + 2 <= n; i += 2) {
        const uchar *even = groups + 4 * i, *odd = even + 4;
        ++tables[0][even[0]];
        ++tables[1][even[1]];
        ++tables[2][even[2]];
        ++tables[0][Levels + odd[0]];
        ++tables[1][Levels + odd[1]];
        ++tables[2][Levels + odd[2]];
        if constexpr (CountFourth) {
            ++tables[3][even[3]];
            ++tables[3][Levels + odd[3]];
        }
    }
    if (i < n) {
        for (int k = 0; k < (CountFourth ? 4 : 3); ++k)
            ++tables[k][groups[4 * i + k]];
    }
}

ChannelLevels levelsOf(const QString &name, const std::array<quint64, Levels> &bins)
{
    ChannelLevels levels;
    levels.name = name;
    levels.bins = bins;
    quint64 sum = 0;
    for (int level = 0; level < Levels; ++level) {
        if (!bins[level])
            continue;
        if (!levels.count)
            levels.min = level;
        levels.max = level;
        levels.count += bins[level];
        sum += bins[level] * quint64(level);
    }
    if (!levels.count)
        return levels;
    levels.mean = double(sum) / double(levels.count);
    // About the mean, so that no large sums cancel: a flat channel's sigma is exactly 0.
    double spread = 0;
    for (int level = levels.min; level <= levels.max; ++level)
        spread += double(bins[level]) * (level - levels.mean) * (level - levels.mean);
    levels.sigma = std::sqrt(spread / double(levels.count));
    return levels;
}

// A 32-bit picture the planes can read, sharing the picture's pixels where it is one already.
QImage rgb32(const QImage &picture)
{
    switch (picture.format()) {
    case QImage::Format_RGB32:
    case QImage::Format_ARGB32:
        return picture;
    default:
        return picture.convertToFormat(QImage::Format_RGB32);
    }
}

std::vector<QPoint> linePoints(QPoint from, QPoint to)
{
    const int steps = std::max(std::abs(to.x() - from.x()), std::abs(to.y() - from.y()));
    std::vector<QPoint> points;
    points.reserve(size_t(steps) + 1);
    for (int i = 0; i <= steps; ++i) {
        const double t = steps ? double(i) / steps : 0;
        points.emplace_back(from.x() + qRound((to.x() - from.x()) * t), from.y() + qRound((to.y() - from.y()) * t));
    }
    return points;
}

std::vector<std::vector<int>> profileOf(const std::vector<FrameLevels::Plane> &planes, QSize size, QPoint from,
                                        QPoint to)
{
    const QRect inside(QPoint(0, 0), size);
    if (!inside.contains(from) || !inside.contains(to))
        return {};
    const std::vector<QPoint> points = linePoints(from, to);
    std::vector<std::vector<int>> profiles;
    for (const FrameLevels::Plane &plane : planes) {
        std::vector<int> samples;
        samples.reserve(points.size());
        for (const QPoint &p : points)
            samples.push_back(plane.sample(p.x(), p.y()));
        profiles.push_back(std::move(samples));
    }
    return profiles;
}

} // namespace

double ChannelLevels::snr() const
{
    return sigma > 0 ? mean / sigma : std::numeric_limits<double>::infinity();
}

double ChannelLevels::snrDb() const
{
    return 20 * std::log10(snr());
}

std::vector<FrameLevels::Plane> FrameLevels::planesOf(const FrameSlot &frame)
{
    const qint64 width = frame.width, height = frame.height;
    const auto *base = reinterpret_cast<const uchar *>(frame.payload.constData());
    if (frame.format == BoardProtocol::FormatGray) {
        if (width <= 0 || height <= 0 || frame.payload.size() < width * height)
            return {};
        return {{base, width, 1, 0, 0, QStringLiteral("Gray")}};
    }
    const long long needed = rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed < 0 || frame.payload.size() < needed)
        return {};
    const qint64 chromaWidth = (width + 1) / 2, chromaRows = (height + 1) / 2, luma = width * height;
    const QString y = QStringLiteral("Y"), u = QStringLiteral("U"), v = QStringLiteral("V");
    switch (frame.format) {
    case BoardProtocol::FormatUyvy: // U Y0 V Y1
        return {{base + 1, 4 * chromaWidth, 2, 0, 0, y},
                {base, 4 * chromaWidth, 4, 1, 0, u},
                {base + 2, 4 * chromaWidth, 4, 1, 0, v}};
    case BoardProtocol::FormatYuv420:
        return {{base, width, 1, 0, 0, y},
                {base + luma, chromaWidth, 1, 1, 1, u},
                {base + luma + chromaWidth * chromaRows, chromaWidth, 1, 1, 1, v}};
    default: // NV12: U and V interleaved after the luma
        return {{base, width, 1, 0, 0, y},
                {base + luma, 2 * chromaWidth, 2, 1, 1, u},
                {base + luma + 1, 2 * chromaWidth, 2, 1, 1, v}};
    }
}

std::vector<FrameLevels::Plane> FrameLevels::planesOf(const QImage &picture)
{
    const QImage::Format format = picture.format();
    if (picture.isNull() || (format != QImage::Format_RGB32 && format != QImage::Format_ARGB32))
        return {};
    const uchar *base = picture.constBits();
    const qint64 row = picture.bytesPerLine();
    return {{base + RedByte, row, 4, 0, 0, QStringLiteral("R")},
            {base + GreenByte, row, 4, 0, 0, QStringLiteral("G")},
            {base + BlueByte, row, 4, 0, 0, QStringLiteral("B")}};
}

bool FrameLevels::measure(const FrameSlot &frame, const QRect &region)
{
    const std::vector<Plane> planes = planesOf(frame);
    const QSize size(frame.width, frame.height);
    if (frame.format == BoardProtocol::FormatUyvy && !planes.empty())
        return measureGroups(planes, size, region, true);
    return measurePlanes(planes, size, region);
}

bool FrameLevels::measure(const QImage &picture, const QRect &region)
{
    const QImage readable = rgb32(picture);
    return measureGroups(planesOf(readable), readable.size(), region, false);
}

// Planes whose samples interleave in groups of four bytes, read in one pass: U Y0 V Y1 of a UYVY
// frame (Y of both pixels into one channel), or the bytes of a 32-bit picture (three channels).
bool FrameLevels::measureGroups(const std::vector<Plane> &planes, QSize size, const QRect &region, bool uyvy)
{
    measured.clear();
    const QRect whole(QPoint(0, 0), size);
    area = region.isNull() ? whole : region.normalized().intersected(whole);
    if (planes.empty() || area.isEmpty())
        return !planes.empty();
    const uchar *groupStart = std::min({planes[0].base, planes[1].base, planes[2].base});
    // Byte k of a group goes to channel channelOf[k]; a picture's fourth byte to none.
    int channelOf[4] = {-1, -1, -1, -1};
    for (size_t c = 0; c < planes.size(); ++c)
        channelOf[planes[c].base - groupStart] = int(c);
    if (uyvy)
        channelOf[3] = 0; // Y1
    const int firstGroup = uyvy ? area.left() >> 1 : area.left();
    const int groups = (uyvy ? area.right() >> 1 : area.right()) - firstGroup + 1;
    constexpr size_t BandWords = 4 * GroupTables * Levels;
    const auto countBand = [&](int top, int bottom, quint32 *tables) {
        quint32 *const at[4] = {tables, tables + GroupTables * Levels, tables + 2 * GroupTables * Levels,
                                tables + 3 * GroupTables * Levels};
        for (int row = top; row <= bottom; ++row) {
            const uchar *line = groupStart + row * planes[0].rowBytes + qint64(firstGroup) * 4;
            if (uyvy) {
                countGroups<true>(line, groups, at);
                // Y of the pixels of the end groups that lie outside the region.
                if (area.left() & 1)
                    --at[1][line[1]];
                if (!(area.right() & 1))
                    --at[3][line[4 * (groups - 1) + 3]];
            } else {
                countGroups<false>(line, groups, at);
            }
        }
    };
    // A large picture's lower half is counted on a second thread, into tables of its own. UYVY
    // groups, counted whole, gained nothing there.
    std::vector<quint32> tables(2 * BandWords, 0);
    const int middle = area.top() + area.height() / 2;
    bool split = !uyvy && qint64(area.width()) * area.height() >= SplitPixels
                 && std::thread::hardware_concurrency() > 1;
    std::thread lower;
    if (split) {
        try {
            lower = std::thread(countBand, middle, area.bottom(), tables.data() + BandWords);
        } catch (const std::system_error &) {
            split = false; // no thread to be had: all on this one
        }
    }
    countBand(area.top(), split ? middle - 1 : area.bottom(), tables.data());
    if (split) {
        lower.join();
        for (size_t i = 0; i < BandWords; ++i)
            tables[i] += tables[BandWords + i];
    }
    quint32 *const at[4] = {&tables[0], &tables[GroupTables * Levels], &tables[2 * GroupTables * Levels],
                            &tables[3 * GroupTables * Levels]};
    std::vector<std::array<quint64, Levels>> bins(planes.size());
    for (int k = 0; k < 4; ++k) {
        if (channelOf[k] < 0)
            continue;
        // Summed in 32 bits: a sample taken back from one table may have been counted in another.
        for (int level = 0; level < Levels; ++level) {
            quint32 count = 0;
            for (int t = 0; t < GroupTables; ++t)
                count += at[k][t * Levels + level];
            bins[size_t(channelOf[k])][level] += count;
        }
    }
    for (size_t c = 0; c < planes.size(); ++c)
        measured.push_back(levelsOf(planes[c].name, bins[c]));
    return true;
}

bool FrameLevels::measurePlanes(const std::vector<Plane> &planes, QSize size, const QRect &region)
{
    measured.clear();
    const QRect whole(QPoint(0, 0), size);
    area = region.isNull() ? whole : region.normalized().intersected(whole);
    if (planes.empty() || area.isEmpty())
        return !planes.empty();
    std::vector<quint32> tables(Tables * Levels);
    for (const Plane &plane : planes) {
        std::fill(tables.begin(), tables.end(), 0);
        const int firstColumn = area.left() >> plane.xShift, lastColumn = area.right() >> plane.xShift;
        const int firstRow = area.top() >> plane.yShift, lastRow = area.bottom() >> plane.yShift;
        for (int row = firstRow; row <= lastRow; ++row)
            countRowOf(plane.step, plane.base + row * plane.rowBytes + qint64(firstColumn) * plane.step,
                       lastColumn - firstColumn + 1, tables.data());
        std::array<quint64, Levels> bins{};
        for (int t = 0; t < Tables; ++t)
            for (int level = 0; level < Levels; ++level)
                bins[level] += tables[t * Levels + level];
        measured.push_back(levelsOf(plane.name, bins));
    }
    return true;
}

std::vector<std::vector<int>> FrameLevels::profile(const FrameSlot &frame, QPoint from, QPoint to)
{
    return profileOf(planesOf(frame), QSize(frame.width, frame.height), from, to);
}

std::vector<std::vector<int>> FrameLevels::profile(const QImage &picture, QPoint from, QPoint to)
{
    const QImage readable = rgb32(picture);
    return profileOf(planesOf(readable), readable.size(), from, to);
}

QImage FrameLevels::clipMask(const FrameSlot &frame, int channel, QRgb low, QRgb high)
{
    const std::vector<Plane> planes = planesOf(frame);
    if (channel < 0 || channel >= int(planes.size()))
        return QImage();
    const Plane &plane = planes[size_t(channel)];
    QImage mask(frame.width, frame.height, QImage::Format_ARGB32);
    if (mask.isNull())
        return mask;
    mask.fill(Qt::transparent);
    for (int y = 0; y < frame.height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(mask.scanLine(y));
        for (int x = 0; x < frame.width; ++x) {
            const int sample = plane.sample(x, y);
            if (sample == 0)
                line[x] = low;
            else if (sample == Levels - 1)
                line[x] = high;
        }
    }
    return mask;
}

QImage FrameLevels::clipMask(const QImage &picture, QRgb low, QRgb high)
{
    const QImage readable = rgb32(picture);
    if (readable.isNull())
        return QImage();
    QImage mask(readable.size(), QImage::Format_ARGB32);
    if (mask.isNull())
        return mask;
    mask.fill(Qt::transparent);
    for (int y = 0; y < readable.height(); ++y) {
        const auto *pixels = reinterpret_cast<const QRgb *>(readable.constScanLine(y));
        auto *line = reinterpret_cast<QRgb *>(mask.scanLine(y));
        for (int x = 0; x < readable.width(); ++x) {
            const QRgb p = pixels[x];
            if (qRed(p) == 255 || qGreen(p) == 255 || qBlue(p) == 255)
                line[x] = high;
            else if (qRed(p) == 0 || qGreen(p) == 0 || qBlue(p) == 0)
                line[x] = low;
        }
    }
    return mask;
}
