// brevant-record run in process, for scripts/bench-trouble: the recorder's own command line, and
// besides it --judge-only, the reference that judges every frame as the recorder does but stores
// nothing and keeps no clips, and --warmup-frames N. Prints one line on standard output:
//   frames cpu_s steady_frames steady_cpu_s steady_s peak_rss_kib
// CPU is user + system of every thread; the steady figures count from the first check (every
// 10 ms) that finds N frames received, once the buffers have grown to their size.

#include "Recorder.h"
#include "RecorderOptions.h"
#include "SteadyHeap.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

constexpr int WarmupCheckMs = 10;

double cpuSeconds(const rusage &usage)
{
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

rusage usageNow()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage;
}

} // namespace

int main(int argc, char *argv[])
{
    // As brevant-record sets them: the heap's behaviour is part of what is measured.
    useSteadyHeap();
    QCoreApplication::setApplicationName(QStringLiteral("brevant-record"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));
    QCoreApplication app(argc, argv);

    QStringList arguments = QCoreApplication::arguments();
    const bool judgeOnly = arguments.removeAll(QStringLiteral("--judge-only")) > 0;
    quint64 warmupFrames = 0;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--warmup-frames")); at > 0) {
        bool ok = false;
        warmupFrames = arguments.value(at + 1).toULongLong(&ok);
        if (!ok) {
            std::fprintf(stderr, "bench_recorder: --warmup-frames takes a number\n");
            return Recorder::Usage;
        }
        arguments.remove(at, 2);
    }
    RecorderOptions options;
    if (!options.parse(arguments)) {
        std::fprintf(stderr, "bench_recorder: %s\n", qPrintable(options.errorText()));
        return Recorder::Usage;
    }
    if (judgeOnly && options.keepTroubleUs > 0) {
        std::fprintf(stderr, "bench_recorder: --judge-only keeps no clips: not with --keep-trouble\n");
        return Recorder::Usage;
    }
    options.judgeOnly = judgeOnly;
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));
    if (!QDir().mkpath(options.folder)) {
        std::fprintf(stderr, "bench_recorder: cannot make the folder %s\n", qPrintable(options.folder));
        return Recorder::Usage;
    }

    Recorder recorder(options);
    QObject::connect(&recorder, &Recorder::finished, &app, &QCoreApplication::quit);
    rusage steadyFrom = usageNow();
    quint64 steadyFromFrame = 0;
    QElapsedTimer steadyClock;
    steadyClock.start();
    QTimer warmup;
    QObject::connect(&warmup, &QTimer::timeout, [&] {
        const quint64 frames = recorder.statistics().counters().framesReceived;
        if (frames < warmupFrames)
            return;
        steadyFrom = usageNow();
        steadyFromFrame = frames;
        steadyClock.start();
        warmup.stop();
    });
    warmup.start(WarmupCheckMs);
    if (!recorder.start()) {
        std::fprintf(stderr, "bench_recorder: %s\n", qPrintable(recorder.errorText()));
        return Recorder::Trouble;
    }
    app.exec();

    const rusage end = usageNow();
    const quint64 frames = recorder.statistics().counters().framesReceived;
    const bool warmedUp = !warmup.isActive();
    std::printf("%llu %.3f %llu %.3f %.3f %ld\n", static_cast<unsigned long long>(frames), cpuSeconds(end),
                static_cast<unsigned long long>(warmedUp ? frames - steadyFromFrame : 0),
                warmedUp ? cpuSeconds(end) - cpuSeconds(steadyFrom) : 0.0,
                warmedUp ? double(steadyClock.nsecsElapsed()) / 1e9 : 0.0, end.ru_maxrss);
    if (!recorder.errorText().isEmpty())
        std::fprintf(stderr, "bench_recorder: %s\n", qPrintable(recorder.errorText()));
    return recorder.exitStatus();
}
