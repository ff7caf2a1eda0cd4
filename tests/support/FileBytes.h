#pragma once

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

// A file's bytes, or a text no file of a test holds when it cannot be read.
inline QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Writes the bytes as the file's whole content; the test fails where it cannot.
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

struct ProgramRun
{
    int exitCode = -1; // -1: it did not run, crashed or did not end in time
    QByteArray out;
    QByteArray err;
};

inline ProgramRun runProgram(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    ProgramRun result;
    if (!process.waitForFinished(60000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// A program's standard output when it ran and exited 0, else "failed".
inline QByteArray output(const QString &program, const QStringList &arguments)
{
    const ProgramRun run = runProgram(program, arguments);
    return run.exitCode == 0 ? run.out : QByteArray("failed");
}

inline bool have(const QString &program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}
