#include "WireTee.h"

#include <QFileDevice>

WireTee::WireTee(QIODevice *source)
    : source(source)
{
    // Unbuffered: the parser's reads go straight to readData, never ahead of what it asked.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 WireTee::bytesAvailable() const
{
    return isPaused ? 0 : source->bytesAvailable();
}

qint64 WireTee::readData(char *data, qint64 maxSize)
{
    const qint64 got = source->read(data, maxSize);
    if (got > 0) {
        totalBytes += got;
        copyToDump(data, got);
    }
    return got;
}

qint64 WireTee::writeData(const char *, qint64)
{
    return -1;
}

void WireTee::drainToDump()
{
    const QByteArray rest = source->readAll();
    totalBytes += rest.size();
    copyToDump(rest.constData(), rest.size());
}

void WireTee::copyToDump(const char *data, qint64 size)
{
    if (wireDump && size > 0 && wireDump->write(data, size) != size)
        dumpWriteFailed = true;
}
