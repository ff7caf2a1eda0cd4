#pragma once

#include <QByteArray>
#include <QIODevice>

#include <functional>

class QAbstractSocket;
class QFileDevice;

// A read-only view of the video socket through which the parser takes its bytes: every byte read
// is also written to the wire dump, when there is one. Paused, it offers nothing, so the parser
// stops at the next piece of a record, and the socket takes no more than it holds: the rest waits
// in the kernel, whose full buffer then holds the board back.
// A payload is read from the kernel straight into the parser's buffer, so that each byte is copied
// once; the socket itself reads ahead only a little, and each call to the kernel takes a little
// more than asked, so that the small reads that follow (the next record's prefix) cost none.
class WireTee : public QIODevice
{
public:
    explicit WireTee(QAbstractSocket *socket);

    void setDump(QFileDevice *dump) { wireDump = dump; }
    // Also hands every byte read, in order, to `sink`.
    void setSink(std::function<void(const char *, qint64)> sink) { bytesSink = std::move(sink); }
    void setPaused(bool paused);
    // Offers, besides what the socket holds, what the kernel holds now, and no more until asked
    // again: a stream that never pauses would otherwise keep the parser from ever returning.
    void takeStock() { kernelStock = inKernel(); }
    // A new connection: nothing taken ahead from the last one is offered.
    void restart()
    {
        takenAhead.clear();
        kernelStock = 0;
    }
    // Copies whatever is still held, taken ahead or in the socket, to the dump, unparsed.
    void drainToDump();

    qint64 bytesRead() const { return totalBytes; }
    bool dumpFailed() const { return dumpWriteFailed; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    static constexpr qint64 SocketReadAheadBytes = 4096;
    static constexpr qint64 TakenAheadBytes = 4096;

    qint64 inKernel() const;
    qint64 receive(char *data, qint64 size, char *ahead, qint64 aheadSize);
    qint64 takeAhead(char *data, qint64 maxSize);
    void copyToDump(const char *data, qint64 size);

    QAbstractSocket *socket;
    QFileDevice *wireDump = nullptr;
    std::function<void(const char *, qint64)> bytesSink;
    QByteArray takenAhead; // received before the socket read what it holds now
    qint64 kernelStock = 0; // of the bytes in the kernel, those still offered
    bool isPaused = false;
    bool dumpWriteFailed = false;
    qint64 totalBytes = 0;
};
