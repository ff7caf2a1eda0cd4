#pragma once

#include "CommandServer.h"

#include <QHostAddress>
#include <QThread>

// A CommandServer listening on 127.0.0.1 in a thread of its own, so it can answer while the
// client blocks the test's thread in its waits.
class CommandServerThread
{
public:
    explicit CommandServerThread(const QHostAddress &address = QHostAddress::LocalHost)
        : server(new CommandServer)
    {
        server->moveToThread(&thread);
        thread.start();
        QMetaObject::invokeMethod(
            server, [this, address] { listening = server->listen(address, 0); },
            Qt::BlockingQueuedConnection);
    }

    ~CommandServerThread()
    {
        QMetaObject::invokeMethod(server, [s = server] { delete s; }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }

    CommandServerThread(const CommandServerThread &) = delete;
    CommandServerThread &operator=(const CommandServerThread &) = delete;

    bool isListening() const { return listening; }
    quint16 port() const { return server->serverPort(); }
    // The setters and readers of CommandServer are safe from the test's thread.
    CommandServer *operator->() const { return server; }
    CommandServer *get() const { return server; }

private:
    QThread thread;
    CommandServer *server;
    bool listening = false;
};
