#pragma once

#include <QFile>
#include <QProcess>
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

// A program's standard output when it ran and exited 0, else "failed".
inline QByteArray output(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    const bool ran = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit;
    return ran && process.exitCode() == 0 ? process.readAllStandardOutput() : QByteArray("failed");
}
