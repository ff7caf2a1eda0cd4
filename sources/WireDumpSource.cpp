#include "WireDumpSource.h"

#include "BoardProtocol.h"
#include "FrameParser.h"

#include <QFileInfo>

namespace {

// The dump as the parser's device while indexing: payloads are stepped over instead of read, so
// indexing a file of gigabytes costs a pass over its headers, not a copy of its bytes. Every
// other read (magic, header, sensor blocks) is at most one sensor block long.
class PayloadSkippingDevice : public QIODevice
{
public:
    explicit PayloadSkippingDevice(QFile &file) : file(file) {}

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return file.size() - file.pos() + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 length) override
    {
        if (length <= BoardProtocol::SensorBlockBytes)
            return file.read(data, length);
        const qint64 step = qMin(length, file.size() - file.pos());
        return file.seek(file.pos() + step) ? step : -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile &file;
};

} // namespace

WireDumpSource::WireDumpSource(const QString &path) : file(path) {}

QString WireDumpSource::name() const
{
    return QFileInfo(file.fileName()).fileName();
}

bool WireDumpSource::fail(const QString &what)
{
    error = QStringLiteral("%1: %2").arg(file.fileName(), what);
    return false;
}

bool WireDumpSource::open()
{
    frames.clear();
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());

    PayloadSkippingDevice device(file);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    FrameParser parser;
    parser.setDevice(&device);
    parser.onFrameReady = [&] {
        Place place;
        place.header = parser.completedSlot();
        place.header.payload = QByteArray();
        place.payloadOffset = file.pos() - place.header.size;
        frames.push_back(place);
    };
    parser.process();
    if (frames.empty())
        return fail(QStringLiteral("no whole frame record in %1 bytes").arg(file.size()));
    return true;
}

bool WireDumpSource::frame(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count())
        return fail(QStringLiteral("no frame %1").arg(index));
    const Place &place = frames[size_t(index)];
    slot = place.header;
    slot.payload = QByteArray(place.header.size, Qt::Uninitialized);
    if (!file.seek(place.payloadOffset)
        || file.read(slot.payload.data(), slot.payload.size()) != slot.payload.size()) {
        slot.payload.clear();
        return fail(QStringLiteral("frame %1 cannot be read: the file changed since it was opened").arg(index));
    }
    return true;
}

bool WireDumpSource::header(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count())
        return fail(QStringLiteral("no frame %1").arg(index));
    slot = frames[size_t(index)].header;
    return true;
}
