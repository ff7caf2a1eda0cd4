#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QTest>

#include <csignal>
#include <functional>
#include <sys/resource.h>

// brevant-record as a rig runs it, by the path the test is built with (BREVANT_RECORD).
struct RecorderRun
{
    int exitCode = -1;
    QStringList errors; // stderr by line, progress lines left out, the summary's figures as M and S
};

constexpr int RecorderTimeoutMs = 60000;

// Runs the recorder to its end; whileRunning, when given, acts on it meanwhile; diskBytes, a full disk.
inline RecorderRun runRecorder(const QStringList &arguments, const std::function<void(QProcess &)> &whileRunning = {},
                               rlim_t diskBytes = 0)
{
    QProcess process;
    if (diskBytes)
        process.setChildProcessModifier([diskBytes] {
            const rlimit limit{diskBytes, diskBytes};
            ::setrlimit(RLIMIT_FSIZE, &limit);
            ::signal(SIGXFSZ, SIG_IGN); // a write past the limit then fails as on a full disk
        });
    // A rig without a desktop: nothing but the recorder's own lines may come out.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "XDG_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY"})
        environment.remove(QLatin1String(name));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(BREVANT_RECORD), QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1")} + arguments);
    if (whileRunning)
        whileRunning(process);
    // One still running is killed when the process object goes.
    RecorderRun run;
    if (QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, RecorderTimeoutMs)
        && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    const QRegularExpression progress(QStringLiteral("^brevant-record: \\d+ frames \u00B7 "));
    const QRegularExpression figures(QStringLiteral(", \\d+\\.\\d MB in \\d+\\.\\d s$"));
    for (QString line : QString::fromLocal8Bit(process.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts))
        if (!progress.match(line).hasMatch() && !line.startsWith(QLatin1String("libgcov profiling error:"))) // on a full disk
            run.errors << line.replace(figures, QStringLiteral(", M MB in S s"));
    return run;
}
