#include "ProgressReport.h"

#include "Recorder.h"
#include "StreamTiming.h"

#include <cstdio>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

void writeError(const QString &text)
{
    const QByteArray bytes = text.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

QString p99Text(const TimingSpread &spread)
{
    return spread.count > 0 ? QString::number(double(spread.p99Us) / 1000.0, 'f', 1) + QStringLiteral(" ms")
                            : QStringLiteral("-");
}

bool standardErrorIsTerminal()
{
#ifdef Q_OS_WIN
    return ::_isatty(_fileno(stderr)) != 0;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

} // namespace

ProgressReport::ProgressReport(const Recorder &recorder, bool quiet, QObject *parent)
    : QObject(parent)
    , recorder(recorder)
    , onTerminal(standardErrorIsTerminal())
{
    if (quiet)
        return;
    connect(&timer, &QTimer::timeout, this, &ProgressReport::showProgress);
    timer.start(onTerminal ? TerminalRefreshMs : PlainLineMs);
}

void ProgressReport::showProgress()
{
    const StreamStatistics &statistics = recorder.statistics();
    const StreamTiming &timing = statistics.timing();
    const qint64 nowUs = StreamStatistics::clockUs();
    const TimingFigures recent = timing.figures(timing.firstArrivedAtOrAfter(nowUs - RecentTimingUs), timing.size());
    const QString line = QStringLiteral("brevant-record: %1 frames · %2 · jitter p99 %3 · latency p99 %4")
                             .arg(statistics.counters().framesReceived)
                             .arg(statistics.readoutText(nowUs / 1000), p99Text(recent.boardJitter),
                                  p99Text(recent.latency));
    // On a terminal the line is rewritten in place and cleared to its end.
    writeError(onTerminal ? QStringLiteral("\r") + line + QStringLiteral("\x1b[K") : line + QLatin1Char('\n'));
    lineShown = true;
}

void ProgressReport::showLine(const QString &text)
{
    const QString line = QStringLiteral("brevant-record: ") + text + QLatin1Char('\n');
    writeError(onTerminal && lineShown ? QStringLiteral("\r\x1b[K") + line : line);
    if (onTerminal && lineShown)
        showProgress();
}

QString ProgressReport::summaryLine() const
{
    const StreamCounters &c = recorder.statistics().counters();
    return QStringLiteral("brevant-record: %1 frames, %2 stored, %3 damaged, %4 hidden, %5 failed, "
                          "%6 lost at the board, %7 MB in %8 s")
        .arg(c.framesReceived)
        .arg(c.captureFilesWritten)
        .arg(c.framesDamaged)
        .arg(c.framesHidden)
        .arg(c.captureFailures)
        .arg(c.framesLostAtBoard)
        .arg(QString::number(double(recorder.bytesReceived()) / 1e6, 'f', 1))
        .arg(QString::number(double(recorder.elapsedMs()) / 1000.0, 'f', 1));
}

void ProgressReport::finish()
{
    timer.stop();
    if (onTerminal && lineShown)
        writeError(QStringLiteral("\r\x1b[K"));
    for (const QString &error : {recorder.errorText(), recorder.summaryErrorText()})
        if (!error.isEmpty())
            writeError(QStringLiteral("brevant-record: ") + error + QLatin1Char('\n'));
    const StreamCounters &c = recorder.statistics().counters();
    // Frames gone with no row of their own; the summary line cannot name them.
    if (c.recordsDropped > 0 || c.connectionsLost > 0)
        writeError(QStringLiteral("brevant-record: %1 records dropped for their size, %2 "
                                  "connections lost\n")
                       .arg(c.recordsDropped)
                       .arg(c.connectionsLost));
    writeError(summaryLine() + QLatin1Char('\n'));
}
