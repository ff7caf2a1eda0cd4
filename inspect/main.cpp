#include "InspectorWindow.h"

#include <QApplication>
#include <QCommandLineParser>

#include <cstdio>

#include <memory>

namespace {
constexpr int ExitUsage = 2;
} // namespace

int main(int argc, char *argv[])
{
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
    // What only prints a text needs no screen: --help works over a plain terminal. A source, even
    // one after "--" or named with a leading '-', gets a window. The arguments are read again from
    // the application, which has them whole on every system.
    QStringList localArguments;
    for (int i = 0; i < argc; ++i)
        localArguments << QString::fromLocal8Bit(argv[i]);
    const bool onlyPrints = !options.parse(localArguments) || options.isSet(QStringLiteral("help"))
                            || options.isSet(QStringLiteral("version")) || options.positionalArguments().size() > 1;
    const std::unique_ptr<QCoreApplication> app = onlyPrints ? std::make_unique<QCoreApplication>(argc, argv)
                                                             : std::make_unique<QApplication>(argc, argv);
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
