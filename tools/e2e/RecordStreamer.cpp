#include "RecordStreamer.h"

#include "FrameRecord.h"

#include <QTcpSocket>

#include <sys/resource.h>

#include <chrono>

namespace {

// Keeps the kernel's socket buffer full without queueing much more in Qt's.
constexpr qint64 MinimumQueuedBytes = 4 * 1024 * 1024;

qint64 threadCpuTimeNs()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    const auto ns = [](const timeval &t) { return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

} // namespace

RecordStreamer::RecordStreamer(int format, int width, int height, QList<QByteArray> payloads)
    : format(format), width(width), height(height), payloads(std::move(payloads)),
      server(this), pace(this), recordEnds(MaxRecords), lastByteTimes(MaxRecords), queueTimes(MaxRecords), recordTags(MaxRecords)
{
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, this, &RecordStreamer::tick);
    connect(&server, &QTcpServer::newConnection, this, &RecordStreamer::acceptConnection);
}

qint64 RecordStreamer::nowNs()
{
    using namespace std::chrono;
    return duration_cast<nanoseconds>(steady_clock::now().time_since_epoch()).count();
}

void RecordStreamer::listen()
{
    if (server.listen(QHostAddress(QHostAddress::LocalHost), 0))
        listeningPort = server.serverPort();
}

void RecordStreamer::acceptConnection()
{
    QTcpSocket *next = server.nextPendingConnection();
    if (!next)
        return;
    if (socket) { // one viewer at a time
        next->abort();
        next->deleteLater();
        return;
    }
    socket = next;
    connect(socket, &QTcpSocket::bytesWritten, this, &RecordStreamer::noteWritten);
    connect(socket, &QTcpSocket::readyRead, socket, [this] { socket->skip(socket->bytesAvailable()); });
    connectedFlag = true;
}

void RecordStreamer::closeConnection()
{
    pace.stop();
    bursting = false;
    if (socket) {
        socket->disconnect(this);
        socket->disconnectFromHost();
        socket->deleteLater();
        socket = nullptr;
    }
    connectedFlag = false;
}

void RecordStreamer::beginStream()
{
    finished = false;
    ending = false;
    cpuAtStart = threadCpuTimeNs();
}

void RecordStreamer::streamFor(int milliseconds)
{
    if (!socket)
        return;
    beginStream();
    deadlineNs = nowNs() + qint64(milliseconds) * 1000000;
    bursting = true;
    topUp();
}

void RecordStreamer::streamAt(int fps, int count)
{
    if (!socket || fps <= 0)
        return;
    beginStream();
    pacedTarget = queued + count;
    pace.start(1000 / fps);
    tick();
}

void RecordStreamer::tick()
{
    if (queued >= pacedTarget || queued >= MaxRecords) {
        pace.stop();
        ending = true;
        checkFinished();
        return;
    }
    writeRecord(int(queued % regularTags()));
    socket->flush();
}

void RecordStreamer::topUp()
{
    const qint64 watermark = qMax(MinimumQueuedBytes, 2 * (payloadBytes() + BoardProtocol::RecordPrefixBytes));
    while (bursting && socket->bytesToWrite() < watermark) {
        if (nowNs() >= deadlineNs || queued + 1 >= MaxRecords) {
            writeRecord(endTag());
            bursting = false;
            ending = true;
            break;
        }
        writeRecord(int(queued % regularTags()));
    }
}

void RecordStreamer::writeRecord(int tag)
{
    FrameRecord record;
    record.format = format;
    record.width = width;
    record.height = height;
    const qint64 now = nowNs();
    record.timestamp_s = qint32(now / 1000000000);
    record.timestamp_us = qint32(now / 1000 % 1000000);
    const QByteArray &payload = payloads.at(tag);
    record.size = qint32(payload.size()); // the payload goes out on its own, without a copy
    socket->write(record.header());
    socket->write(payload);
    bytesQueued += BoardProtocol::RecordPrefixBytes + payload.size();
    const qint64 n = queued;
    recordEnds[size_t(n)] = bytesQueued;
    recordTags[size_t(n)] = tag;
    queueTimes[size_t(n)] = now;
    queued.store(n + 1, std::memory_order_release);
}

void RecordStreamer::noteWritten(qint64 bytes)
{
    bytesWritten += bytes;
    const qint64 now = nowNs();
    qint64 n = sent;
    while (n < queued && recordEnds[size_t(n)] <= bytesWritten) {
        lastByteTimes[size_t(n)] = now;
        ++n;
    }
    sent.store(n, std::memory_order_release);
    if (bursting)
        topUp();
    checkFinished();
}

void RecordStreamer::checkFinished()
{
    if (ending && !finished && sent == queued) {
        cpuNs = threadCpuTimeNs() - cpuAtStart;
        finished = true;
    }
}
