// brevant-inspect's command line, as a script meets it: what it prints and how it ends before any
// window opens.

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {
// A run's own XDG runtime folder: without one Qt says so on standard error.
QProcessEnvironment quietEnvironment(const QTemporaryDir &runtime)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
    return environment;
}
} // namespace

class tst_InspectCommand : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("out");
        QTest::addColumn<QByteArray>("err");
        QTest::newRow("version") << QStringList{"--version"} << 0 << QByteArray("brevant-inspect " BREVANT_VERSION "\n")
                                 << QByteArray();
        QTest::newRow("unknown option") << QStringList{"--frames", "3"} << 2 << QByteArray()
                                        << QByteArray("brevant-inspect: Unknown option 'frames'.\n");
        QTest::newRow("two sources") << QStringList{"a.mkv", "b.mkv"} << 2 << QByteArray()
                                     << QByteArray("brevant-inspect: one SOURCE at most\n");
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, out);
        QFETCH(QByteArray, err);
        QTemporaryDir runtime;
        QProcess inspect;
        inspect.setProcessEnvironment(quietEnvironment(runtime));
        inspect.start(QStringLiteral(BREVANT_INSPECT), arguments);
        QVERIFY(inspect.waitForFinished(60000));
        QCOMPARE(inspect.exitStatus(), QProcess::NormalExit);
        QCOMPARE(inspect.readAllStandardError(), err);
        QCOMPARE(inspect.readAllStandardOutput(), out);
        QCOMPARE(inspect.exitCode(), exitCode);
    }

    // --help needs no screen, so it works over a plain terminal.
    void help()
    {
        QTemporaryDir runtime;
        QProcess inspect;
        QProcessEnvironment environment = quietEnvironment(runtime);
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.remove(QStringLiteral("DISPLAY"));
        inspect.setProcessEnvironment(environment);
        inspect.start(QStringLiteral(BREVANT_INSPECT), {QStringLiteral("--help")});
        QVERIFY(inspect.waitForFinished(60000));
        QCOMPARE(inspect.exitCode(), 0);
        QVERIFY(inspect.readAllStandardOutput().startsWith("Usage: "));
    }
};

QTEST_GUILESS_MAIN(tst_InspectCommand)
#include "tst_inspectcommand.moc"
