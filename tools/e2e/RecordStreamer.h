#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <atomic>
#include <vector>

class QTcpSocket;

// Sends pre-made frame records to one viewer over 127.0.0.1, either as fast as the socket takes
// them or at a steady rate. Each record carries its send time in its timestamp fields, and the
// time its last byte went to the kernel is noted. Lives in a thread of its own; the counters and
// times may be read from any thread.
class RecordStreamer : public QObject
{
    Q_OBJECT

public:
    static constexpr int MaxRecords = 1 << 20;

    // payloads[k] is sent as the frame tagged k. Streams cycle through all tags but the last,
    // which marks the final record of a burst.
    RecordStreamer(int format, int width, int height, QList<QByteArray> payloads);

    int regularTags() const { return int(payloads.size()) - 1; }
    int endTag() const { return int(payloads.size()) - 1; }
    quint16 port() const { return listeningPort.load(); }
    bool isConnected() const { return connectedFlag.load(); }
    // Records handed to the socket, and records whose last byte the kernel took.
    qint64 recordsQueued() const { return queued.load(std::memory_order_acquire); }
    qint64 recordsSent() const { return sent.load(std::memory_order_acquire); }
    // Steady-clock time of record n's last byte; n below recordsSent().
    qint64 lastByteNs(qint64 n) const { return lastByteTimes[size_t(n)]; }
    // Steady-clock time record n was handed to the socket (the time in its timestamp fields).
    qint64 queuedNs(qint64 n) const { return queueTimes[size_t(n)]; }
    int tagOfRecord(qint64 n) const { return recordTags[size_t(n)]; }
    qint64 payloadBytes() const { return qint64(payloads.first().size()); }
    // True once a stream has ended and all its records are with the kernel.
    bool isFinished() const { return finished.load(); }
    // CPU time (user and system) of this thread during the last stream.
    qint64 threadCpuNs() const { return cpuNs.load(); }

    static qint64 nowNs();

public slots:
    void listen();
    // Records as fast as the socket takes them, for this long; the final one has the end tag.
    void streamFor(int milliseconds);
    // count records at a steady rate.
    void streamAt(int fps, int count);
    void closeConnection();

private:
    void acceptConnection();
    void writeRecord(int tag);
    void topUp();
    void noteWritten(qint64 bytes);
    void tick();
    void beginStream();
    void checkFinished();

    const int format, width, height;
    const QList<QByteArray> payloads;
    QTcpServer server;
    QTcpSocket *socket = nullptr;
    QTimer pace;

    std::vector<qint64> recordEnds;
    std::vector<qint64> lastByteTimes;
    std::vector<qint64> queueTimes;
    std::vector<int> recordTags;
    qint64 bytesQueued = 0;
    qint64 bytesWritten = 0;
    qint64 deadlineNs = 0;
    qint64 pacedTarget = 0;
    qint64 cpuAtStart = 0;
    bool bursting = false;
    bool ending = false;

    std::atomic<quint16> listeningPort{0};
    std::atomic<bool> connectedFlag{false};
    std::atomic<qint64> queued{0};
    std::atomic<qint64> sent{0};
    std::atomic<bool> finished{false};
    std::atomic<qint64> cpuNs{0};
};
