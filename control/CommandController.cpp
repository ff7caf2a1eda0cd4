#include "CommandController.h"

#include "BoardProtocol.h"

namespace {
constexpr qint64 RequestSize = BoardProtocol::CommandRequestBytes;
constexpr qint64 ReplySize = BoardProtocol::CommandReplyBytes;
}

CommandController::CommandController(const QString &host, quint16 port)
    : host(host), port(port)
{
}

void CommandController::set_host(const QString &host)
{
    this->host = host;
}

void CommandController::set_port(quint16 port)
{
    this->port = port;
}

const QString &CommandController::status_text() const
{
    return status;
}

int CommandController::send_command(qint8 code, quint16 value)
{
    // Whatever the previous command left behind is dropped, its unread reply bytes included.
    socket.abort();
    socket.connectToHost(host, port, QIODevice::ReadWrite);
    if (!socket.waitForConnected(CommandTimeoutMs))
        return fail();

    const char request[RequestSize] = {
        static_cast<char>(code),
        static_cast<char>(value >> 8),
        static_cast<char>(value & 0xFF),
    };
    socket.write(request, RequestSize);

    while (socket.bytesAvailable() < ReplySize) {
        if (!socket.waitForReadyRead(CommandTimeoutMs)) {
            socket.disconnectFromHost();
            return fail();
        }
    }

    char reply[ReplySize];
    socket.read(reply, ReplySize);
    socket.disconnectFromHost();

    status = QStringLiteral("Connected");
    emit connection_state(1);
    return static_cast<quint8>(reply[2]);
}

int CommandController::fail()
{
    status = socket.errorString();
    emit connection_state(-1);
    return -1;
}
