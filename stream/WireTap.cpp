#include "WireTap.h"

WireTap::WireTap(QIODevice *source, Sink sink)
    : source(source)
    , sink(std::move(sink))
{
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 WireTap::readData(char *data, qint64 maxSize)
{
    const qint64 got = source->read(data, maxSize);
    if (got > 0)
        sink(data, got);
    return got;
}
