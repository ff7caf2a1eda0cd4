#include "StatisticsReadout.h"

#include <QCursor>
#include <QLabel>
#include <QToolTip>

StatisticsReadout::StatisticsReadout(const StreamStatistics &statistics, QLabel *label)
    : QObject(label)
    , statistics(statistics)
    , label(label)
{
    connect(&timer, &QTimer::timeout, this, &StatisticsReadout::refresh);
    timer.start(RefreshMs);
    refresh();
}

void StatisticsReadout::refresh()
{
    const qint64 now = StreamStatistics::clockMs();
    const StreamCounters &counters = statistics.counters();
    if (counters.troubleGrewSince(seen))
        troubleUntilMs = now + TroubleShownMs;
    seen = counters;
    const bool trouble = now < troubleUntilMs;
    if (trouble != troubleShown) {
        label->setStyleSheet(trouble ? QStringLiteral("QLabel { color : red; }") : QString());
        troubleShown = trouble;
    }
    label->setText(statistics.readoutText(now));
    const QString detail = statistics.detailText(now);
    label->setToolTip(detail);
    // A tooltip on screen keeps the text it opened with unless told.
    if (label->underMouse() && QToolTip::isVisible())
        QToolTip::showText(QCursor::pos(), detail, label);
}

void StatisticsReadout::restart()
{
    seen = StreamCounters();
    troubleUntilMs = 0;
    refresh();
}
