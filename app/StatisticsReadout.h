#pragma once

#include "StreamStatistics.h"

#include <QObject>
#include <QTimer>

class QLabel;

// The stream statistics in a label: the short readout as text, every counter in the tooltip,
// refreshed a few times a second whatever the frame rate. Growth of lost, damaged or dropped
// frames turns the readout red for a while.
class StatisticsReadout : public QObject
{
public:
    StatisticsReadout(const StreamStatistics &statistics, QLabel *label);

    void refresh();
    // After the counters were reset: nothing is news any more.
    void restart();

    static constexpr int RefreshMs = 250;
    static constexpr qint64 TroubleShownMs = 3000;

private:
    const StreamStatistics &statistics;
    QLabel *label;
    QTimer timer;
    StreamCounters seen;
    qint64 troubleUntilMs = 0;
    bool troubleShown = false;
};
