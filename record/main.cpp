// brevant-record: records a board's video stream unattended, for test rigs.

#include "ProgressReport.h"
#include "Recorder.h"
#include "RecorderOptions.h"
#include "SteadyHeap.h"
#include "StopSignals.h"

#include <QDir>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

int main(int argc, char *argv[])
{
    useSteadyHeap();
    QCoreApplication::setApplicationName(QStringLiteral("brevant-record"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));
    // Pictures are made as images, which need no display: a rack has none.
    QCoreApplication app(argc, argv);
    RecorderOptions options;
    if (!options.parse(QCoreApplication::arguments())) {
        std::fprintf(stderr, "brevant-record: %s\n", qPrintable(options.errorText()));
        return Recorder::Usage;
    }
    // The stream library's debug lines, one per damaged frame, would bury the progress line.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false"));

    if (!QDir().mkpath(options.folder)) {
        std::fprintf(stderr, "brevant-record: cannot make the folder %s\n", qPrintable(options.folder));
        return Recorder::Usage;
    }

    StopSignals stopSignals;
    Recorder recorder(options);
    ProgressReport report(recorder, options.quiet);
    QObject::connect(&stopSignals, &StopSignals::stopRequested, &recorder, &Recorder::stop);
    QObject::connect(&recorder, &Recorder::finished, &app, &QCoreApplication::quit);
    QObject::connect(&recorder, &Recorder::troubleLine, &report, &ProgressReport::showLine);
    if (!recorder.start()) {
        for (const QString &error : {recorder.errorText(), recorder.summaryErrorText()})
            if (!error.isEmpty())
                std::fprintf(stderr, "brevant-record: %s\n", qPrintable(error));
        return Recorder::Trouble;
    }
    app.exec();
    report.finish();
    return recorder.exitStatus();
}
