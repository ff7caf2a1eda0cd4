#pragma once

#include <QStringList>
#include <QtGlobal>

#include <utility>

// Collects debug output while alive, so a test can check exactly what was logged.
class MessageLog
{
public:
    MessageLog() : previous(qInstallMessageHandler(handler)) { lines().clear(); }
    ~MessageLog() { qInstallMessageHandler(previous); }
    QStringList take() { return std::exchange(lines(), {}); }

private:
    static QStringList &lines()
    {
        static QStringList collected;
        return collected;
    }
    static void handler(QtMsgType, const QMessageLogContext &, const QString &text) { lines() << text; }
    QtMessageHandler previous;
};
