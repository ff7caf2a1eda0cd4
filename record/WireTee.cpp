#include "WireTee.h"

#include <QAbstractSocket>
#include <QFileDevice>

#include <cstring>

#ifdef Q_OS_WIN
#include <climits>
#include <winsock2.h>
#else
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

WireTee::WireTee(QAbstractSocket *socket)
    : socket(socket)
{
    // Unbuffered: the parser's reads go straight to readData, never ahead of what it asked.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    socket->setReadBufferSize(SocketReadAheadBytes);
}

// Paused, what was taken ahead goes back to the socket, whose buffer is then full: it reads no
// more, so it cannot see the stream end before every byte that came before the end is parsed.
void WireTee::setPaused(bool paused)
{
    isPaused = paused;
    if (paused && socket->isReadable()) {
        for (qsizetype i = takenAhead.size() - 1; i >= 0; --i)
            socket->ungetChar(takenAhead.at(i));
        takenAhead.clear();
    }
    socket->setReadBufferSize(paused ? qMax<qint64>(socket->bytesAvailable(), 1) : SocketReadAheadBytes);
}

qint64 WireTee::bytesAvailable() const
{
    return isPaused ? 0 : takenAhead.size() + socket->bytesAvailable() + kernelStock;
}

// Oldest first: what was taken ahead, which the socket had not read yet, then what the socket
// read since, then the kernel's.
qint64 WireTee::readData(char *data, qint64 maxSize)
{
    qint64 got = takeAhead(data, maxSize);
    if (got < maxSize) {
        const qint64 fromSocket = socket->read(data + got, maxSize - got);
        got += qMax<qint64>(fromSocket, 0);
    }
    if (got < maxSize && kernelStock > 0) { // the socket holds nothing more
        // A payload's read takes the next record's start with it, so that a record costs one call.
        const qint64 wanted = maxSize - got;
        const qint64 straight = wanted >= TakenAheadBytes ? wanted : 0;
        takenAhead.resize(TakenAheadBytes);
        const qint64 received = receive(data + got, straight, takenAhead.data(), TakenAheadBytes);
        got += qMin(received, straight);
        takenAhead.resize(qMax<qint64>(received - straight, 0));
        got += takeAhead(data + got, maxSize - got);
    }
    totalBytes += got;
    copyToDump(data, got);
    return got;
}

qint64 WireTee::takeAhead(char *data, qint64 maxSize)
{
    const qint64 taken = qMin<qint64>(maxSize, takenAhead.size());
    std::memcpy(data, takenAhead.constData(), size_t(taken));
    takenAhead.remove(0, taken);
    return taken;
}

// What the kernel holds for the socket; 0 when it cannot say (no connection), so nothing is
// promised that is not there.
qint64 WireTee::inKernel() const
{
    const qintptr descriptor = socket->socketDescriptor();
#ifdef Q_OS_WIN
    u_long bytes = 0;
    return ioctlsocket(SOCKET(descriptor), FIONREAD, &bytes) == 0 ? qint64(bytes) : 0;
#else
    int bytes = 0;
    return ::ioctl(int(descriptor), FIONREAD, &bytes) == 0 ? qint64(bytes) : 0;
#endif
}

// Without waiting, and no more than the stock taken: first into `data`, then into `ahead`. The end
// of the stream and errors are left for the socket to find and report.
qint64 WireTee::receive(char *data, qint64 size, char *ahead, qint64 aheadSize)
{
    const qintptr descriptor = socket->socketDescriptor();
    size = qMin(size, kernelStock);
    aheadSize = qMin(aheadSize, kernelStock - size);
#ifdef Q_OS_WIN
    WSABUF parts[2] = {{ULONG(qMin<qint64>(size, INT_MAX)), data}, {ULONG(aheadSize), ahead}};
    DWORD received = 0, flags = 0;
    const qint64 got = ::WSARecv(SOCKET(descriptor), parts, 2, &received, &flags, nullptr, nullptr) == 0
                           ? qint64(received) : -1;
#else
    iovec parts[2] = {{data, size_t(size)}, {ahead, size_t(aheadSize)}};
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = 2;
    const qint64 got = ::recvmsg(int(descriptor), &message, MSG_DONTWAIT);
#endif
    const qint64 taken = qMax<qint64>(got, 0);
    kernelStock -= taken;
    return taken;
}

qint64 WireTee::writeData(const char *, qint64)
{
    return -1;
}

void WireTee::drainToDump()
{
    const QByteArray rest = takenAhead + socket->readAll();
    takenAhead.clear();
    totalBytes += rest.size();
    copyToDump(rest.constData(), rest.size());
}

void WireTee::copyToDump(const char *data, qint64 size)
{
    if (bytesSink && size > 0)
        bytesSink(data, size);
    if (wireDump && size > 0 && wireDump->write(data, size) != size)
        dumpWriteFailed = true;
}
