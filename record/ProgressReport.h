#pragma once

#include <QObject>
#include <QTimer>

class Recorder;

// The recorder's words on standard error: on a terminal a progress line refreshed in place at
// most twice a second, otherwise a plain line every 10 s, each with the timing of the last 10 s;
// at the end the summary line.
class ProgressReport : public QObject
{
    Q_OBJECT

public:
    static constexpr int TerminalRefreshMs = 500;
    static constexpr int PlainLineMs = 10000;
    // The span of the line's timing figures: board-interval jitter and relative latency.
    static constexpr qint64 RecentTimingUs = 10 * 1000 * 1000;

    ProgressReport(const Recorder &recorder, bool quiet, QObject *parent = nullptr);

    // Clears the progress line, then writes the recorder's error if any and the summary.
    void finish();
    // A line of its own, above the progress line; written even when quiet.
    void showLine(const QString &text);
    QString summaryLine() const;

private:
    void showProgress();

    const Recorder &recorder;
    const bool onTerminal;
    QTimer timer;
    bool lineShown = false;
};
