#pragma once

#include <QString>

#include <array>

// The levels of one channel: a count per level 0..255 and what follows from it, exactly.
struct ChannelLevels
{
    static constexpr int Levels = 256;

    QString name;
    std::array<quint64, Levels> bins{};
    quint64 count = 0;
    int min = 0; // of no sample: 0
    int max = 0;
    double mean = 0;
    double sigma = 0; // population standard deviation

    static ChannelLevels fromBins(const QString &name, const std::array<quint64, Levels> &bins);

    quint64 atZero() const { return bins[0]; }
    quint64 atFull() const { return bins[Levels - 1]; }
    // mean / sigma; infinite for a flat channel.
    double snr() const;
    double snrDb() const;
};
