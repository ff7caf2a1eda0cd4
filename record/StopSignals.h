#pragma once

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM as a Qt signal in the event loop: the handler only writes a byte to a
// socket pair. A second signal of the same kind ends the program the default way. On Windows,
// Ctrl+C and Ctrl+Break in the console, the second of them ending the program.
class StopSignals : public QObject
{
    Q_OBJECT

public:
    explicit StopSignals(QObject *parent = nullptr);
    ~StopSignals() override;

signals:
    void stopRequested();

private:
#ifndef Q_OS_WIN
    static void handle(int signal);
    void readSignal();

    static int pair[2];
    QSocketNotifier *notifier = nullptr;
#endif
};
