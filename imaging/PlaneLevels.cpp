#include "PlaneLevels.h"

#include "BoardProtocol.h"

#include <algorithm>
#include <cmath>
#include <system_error>
#include <thread>

namespace {

constexpr int Levels = ChannelLevels::Levels;
// Counts of neighbouring samples go to tables of their own, so that runs of one level do not wait
// on each other's increments.
constexpr int Tables = 4;
// For groups of four bytes two do as well: the increments' own pace is the bound there.
constexpr int GroupTables = 2;
// From this many pixels a picture's region is counted on two threads: a 1080p picture's three
// channels took 2.2 ms on one.
constexpr qint64 SplitPixels = 1 << 16;

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

} // namespace

bool PlaneLevels::measure(const uchar *payload, qint64 length, int format, int width, int height,
                          const QRect &region)
{
    const std::vector<SamplePlane> planes = SamplePlane::ofPayload(payload, length, format, width, height);
    const QSize size(width, height);
    if (format == BoardProtocol::FormatUyvy && !planes.empty())
        return measureGroups(planes, size, region, true);
    return measure(planes, size, region);
}

bool PlaneLevels::measure(const QImage &picture, const QRect &region)
{
    const QImage readable = rgb32(picture);
    return measureGroups(SamplePlane::ofPicture(readable), readable.size(), region, false);
}

// Planes whose samples interleave in groups of four bytes, read in one pass: U Y0 V Y1 of a UYVY
// frame (Y of both pixels into one channel), or the bytes of a 32-bit picture (three channels).
bool PlaneLevels::measureGroups(const std::vector<SamplePlane> &planes, QSize size, const QRect &region, bool uyvy)
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
        measured.push_back(ChannelLevels::fromBins(planes[c].name, bins[c]));
    return true;
}

bool PlaneLevels::measure(const std::vector<SamplePlane> &planes, QSize size, const QRect &region)
{
    measured.clear();
    const QRect whole(QPoint(0, 0), size);
    area = region.isNull() ? whole : region.normalized().intersected(whole);
    if (planes.empty() || area.isEmpty())
        return !planes.empty();
    std::vector<quint32> tables(Tables * Levels);
    for (const SamplePlane &plane : planes) {
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
        measured.push_back(ChannelLevels::fromBins(plane.name, bins));
    }
    return true;
}

std::vector<std::vector<int>> PlaneLevels::profile(const std::vector<SamplePlane> &planes, QSize size, QPoint from,
                                                   QPoint to)
{
    const QRect inside(QPoint(0, 0), size);
    if (!inside.contains(from) || !inside.contains(to))
        return {};
    const std::vector<QPoint> points = linePoints(from, to);
    std::vector<std::vector<int>> profiles;
    for (const SamplePlane &plane : planes) {
        std::vector<int> samples;
        samples.reserve(points.size());
        for (const QPoint &p : points)
            samples.push_back(plane.sample(p.x(), p.y()));
        profiles.push_back(std::move(samples));
    }
    return profiles;
}

std::vector<std::vector<int>> PlaneLevels::profile(const QImage &picture, QPoint from, QPoint to)
{
    const QImage readable = rgb32(picture);
    return profile(SamplePlane::ofPicture(readable), readable.size(), from, to);
}

QImage PlaneLevels::clipMask(const SamplePlane &plane, QSize size, QRgb low, QRgb high)
{
    QImage mask(size, QImage::Format_ARGB32);
    if (mask.isNull())
        return mask;
    mask.fill(Qt::transparent);
    for (int y = 0; y < size.height(); ++y) {
        auto *line = reinterpret_cast<QRgb *>(mask.scanLine(y));
        for (int x = 0; x < size.width(); ++x) {
            const int sample = plane.sample(x, y);
            if (sample == 0)
                line[x] = low;
            else if (sample == Levels - 1)
                line[x] = high;
        }
    }
    return mask;
}

QImage PlaneLevels::clipMask(const QImage &picture, QRgb low, QRgb high)
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
