#pragma once

#include <QIODevice>

#include <functional>

// Reads through another device, handing a copy of every byte read, in order, to a sink: what a
// reader of the stream took, exactly as it came. Unbuffered, so it never reads ahead of its reader.
class WireTap : public QIODevice
{
public:
    using Sink = std::function<void(const char *data, qint64 size)>;

    WireTap(QIODevice *source, Sink sink);

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return source->bytesAvailable(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QIODevice *source;
    Sink sink;
};
