#pragma once

#include <QIODevice>

class QFileDevice;

// A read-only view of the socket through which the parser takes its bytes: every byte read is
// also written to the wire dump, when there is one. Paused, it offers nothing, so the parser
// stops at the next piece of a record.
class WireTee : public QIODevice
{
public:
    explicit WireTee(QIODevice *source);

    void setDump(QFileDevice *dump) { wireDump = dump; }
    void setPaused(bool paused) { isPaused = paused; }
    // Copies whatever the source still holds to the dump, unparsed.
    void drainToDump();

    qint64 bytesRead() const { return totalBytes; }
    bool dumpFailed() const { return dumpWriteFailed; }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override;

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    void copyToDump(const char *data, qint64 size);

    QIODevice *source;
    QFileDevice *wireDump = nullptr;
    bool isPaused = false;
    bool dumpWriteFailed = false;
    qint64 totalBytes = 0;
};
