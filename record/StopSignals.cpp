#include "StopSignals.h"

#ifdef Q_OS_WIN
#include <atomic>
#include <windows.h>

namespace {
std::atomic<StopSignals *> watcher{nullptr};
std::atomic<bool> stopAsked{false};

// On a thread of the console's own: the request reaches the event loop queued. Any other event,
// and a second request, go on to the default handler, which ends the program.
BOOL WINAPI handleConsoleEvent(DWORD event)
{
    StopSignals *const target = watcher.load();
    if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || !target || stopAsked.exchange(true))
        return FALSE;
    QMetaObject::invokeMethod(target, &StopSignals::stopRequested, Qt::QueuedConnection);
    return TRUE;
}
} // namespace

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    stopAsked = false;
    watcher = this;
    ::SetConsoleCtrlHandler(handleConsoleEvent, TRUE);
}

StopSignals::~StopSignals()
{
    ::SetConsoleCtrlHandler(handleConsoleEvent, FALSE);
    watcher = nullptr;
}
#else
#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

int StopSignals::pair[2] = {-1, -1};

StopSignals::StopSignals(QObject *parent)
    : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        return;
    notifier = new QSocketNotifier(pair[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &StopSignals::readSignal);

    struct sigaction action = {};
    action.sa_handler = &StopSignals::handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals()
{
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    if (pair[0] >= 0) {
        ::close(pair[0]);
        ::close(pair[1]);
        pair[0] = pair[1] = -1;
    }
}

void StopSignals::handle(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(pair[0], &byte, 1);
}

void StopSignals::readSignal()
{
    char byte;
    [[maybe_unused]] const ssize_t got = ::read(pair[1], &byte, 1);
    emit stopRequested();
}
#endif
