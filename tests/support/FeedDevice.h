#pragma once

#include <QByteArray>
#include <QIODevice>

#include <cstring>

// A sequential device that holds only the bytes fed to it so far, like a socket's read buffer.
class FeedDevice : public QIODevice
{
public:
    FeedDevice() { open(QIODevice::ReadOnly); }
    void feed(const QByteArray &bytes) { pending.append(bytes); }
    // Says it holds more than it gives, as a device that fails at its next read.
    void claim(qint64 bytes) { claimed = bytes; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() + claimed + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, pending.size());
        std::memcpy(data, pending.constData(), size_t(n));
        pending.remove(0, n);
        if (n == 0)
            claimed = 0;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray pending;
    qint64 claimed = 0;
};
