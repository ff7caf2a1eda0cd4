#pragma once

#include <QObject>
#include <QString>
#include <QTcpSocket>

// Client end of the platform's command port: one 3-byte request and a 3-byte reply per command,
// each over a fresh TCP connection, waited for synchronously on the caller's thread.
class CommandController : public QObject
{
    Q_OBJECT

public:
    // Bound of the wait for the connection and of each wait for reply data.
    static constexpr int CommandTimeoutMs = 500;

    CommandController(const QString &host, quint16 port);

    void set_host(const QString &host);
    void set_port(quint16 port);
    const QString &status_text() const;

    // Returns -1 when the exchange failed, otherwise the reply's result byte (0 to 255).
    int send_command(qint8 code, quint16 value);

signals:
    void connection_state(int state);
    void new_socket_info(QString);
    void new_socket_error(QString);

private:
    int fail();

    QString host;
    quint16 port;
    QTcpSocket socket;
    QString status;
};
