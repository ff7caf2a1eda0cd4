// The command channel's reply handling: a real CommandController against a loopback server that
// answers with the fuzzed bytes, in pieces, and closes the connection after a fuzzed number of
// them (never staying silent, so a short reply costs no 500 ms wait).
//
// Input: piece length (low 2 bits + 1), bytes sent before closing, command code, 16-bit value,
// then the reply (at most MaxReply bytes are used).

#include "CommandController.h"

#include <QCoreApplication>
#include <QtEndian>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace {

constexpr size_t MaxReply = 16;
// Lets each piece leave on its own.
constexpr useconds_t PieceGapUs = 100;

struct Answer
{
    std::string bytes;
    size_t pieceLength = 1;
};

std::mutex answerMutex;
Answer nextAnswer;
quint16 serverPort = 0;

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

void serve(int connection, const Answer &answer)
{
    const int on = 1;
    setsockopt(connection, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    timeval timeout {2, 0};
    setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    // The request is read first: closing with unread data would reset the connection and could
    // destroy reply bytes already sent.
    char request[3];
    size_t got = 0;
    while (got < sizeof request) {
        const ssize_t n = recv(connection, request + got, sizeof request - got, 0);
        if (n <= 0)
            return;
        got += size_t(n);
    }
    for (size_t sent = 0; sent < answer.bytes.size();) {
        if (sent > 0)
            usleep(PieceGapUs);
        const size_t length = std::min(answer.pieceLength, answer.bytes.size() - sent);
        if (send(connection, answer.bytes.data() + sent, length, MSG_NOSIGNAL) <= 0)
            return;
        sent += length;
    }
    shutdown(connection, SHUT_WR);
}

void runServer(int listener)
{
    for (;;) {
        const int connection = accept(listener, nullptr, nullptr);
        if (connection < 0)
            continue;
        Answer answer;
        {
            std::lock_guard<std::mutex> lock(answerMutex);
            answer = nextAnswer;
        }
        serve(connection, answer);
        close(connection);
    }
}

bool startServer()
{
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0
        || listen(listener, 16) != 0
        || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return false;
    serverPort = ntohs(address.sin_port);
    std::thread(runServer, listener).detach();
    return true;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessage);
    static int argc = 1;
    static char name[] = "fuzz_commandreply";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    if (!startServer())
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr size_t Prefix = 5;
    if (size < Prefix)
        return 0;
    Answer answer;
    answer.pieceLength = (data[0] & 3) + 1;
    const size_t replyLength = std::min(size - Prefix, MaxReply);
    const size_t delivered = std::min<size_t>(data[1], replyLength);
    answer.bytes.assign(reinterpret_cast<const char *>(data + Prefix), delivered);
    const qint8 code = qint8(data[2]);
    const quint16 value = qFromBigEndian<quint16>(data + 3);
    {
        std::lock_guard<std::mutex> lock(answerMutex);
        nextAnswer = answer;
    }

    static CommandController controller(QStringLiteral("127.0.0.1"), serverPort);
    int states = 0;
    int lastState = 0;
    const QMetaObject::Connection connection = QObject::connect(
        &controller, &CommandController::connection_state, [&](int state) {
            ++states;
            lastState = state;
        });
    const int result = controller.send_command(code, value);
    QObject::disconnect(connection);

    const int expected = delivered >= 3 ? quint8(answer.bytes[2]) : -1;
    if (result != expected || states != 1 || lastState != (result < 0 ? -1 : 1))
        __builtin_trap();
    if ((result >= 0) != (controller.status_text() == QLatin1String("Connected")))
        __builtin_trap();
    return 0;
}
