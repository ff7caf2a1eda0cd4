#include "InspectorWindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

#include <memory>

namespace {
constexpr int ExitUsage = 2;

// Every option only prints a text, which needs no screen: --help works over a plain terminal.
bool anyOption(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] == '-')
            return true;
    }
    return false;
}
} // namespace

int main(int argc, char *argv[])
{
    const std::unique_ptr<QCoreApplication> app = anyOption(argc, argv)
        ? std::make_unique<QCoreApplication>(argc, argv)
        : std::make_unique<QApplication>(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("brevant-inspect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(BREVANT_VERSION));

    QCommandLineParser options;
    options.setApplicationDescription(QStringLiteral(
        "Steps through the frames of a wire dump, a Matroska recording or a capture folder."));
    options.addHelpOption();
    options.addVersionOption();
    options.addPositionalArgument(QStringLiteral("SOURCE"),
                                  QStringLiteral("Wire dump, Matroska file, capture folder or index; asked for when left out."),
                                  QStringLiteral("[SOURCE]"));
    if (!options.parse(app->arguments())) {
        std::fprintf(stderr, "brevant-inspect: %s\n", qPrintable(options.errorText()));
        return ExitUsage;
    }
    if (options.isSet(QStringLiteral("help")))
        options.showHelp();
    if (options.isSet(QStringLiteral("version")))
        options.showVersion();
    if (options.positionalArguments().size() > 1) {
        std::fprintf(stderr, "brevant-inspect: one SOURCE at most\n");
        return ExitUsage;
    }

    return InspectorWindow::runOn(options.positionalArguments().value(0));
}
