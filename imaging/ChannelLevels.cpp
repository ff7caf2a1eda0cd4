#include "ChannelLevels.h"

#include <cmath>
#include <limits>

ChannelLevels ChannelLevels::fromBins(const QString &name, const std::array<quint64, Levels> &bins)
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

double ChannelLevels::snr() const
{
    return sigma > 0 ? mean / sigma : std::numeric_limits<double>::infinity();
}

double ChannelLevels::snrDb() const
{
    return 20 * std::log10(snr());
}
