#include "WireDumpRecords.h"

#include "BoardProtocol.h"
#include "FrameParser.h"

#include <QIODevice>

namespace {

// The dump as the parser's device: payloads are stepped over instead of read. Every other read
// (magic, header, sensor blocks) is at most one sensor block long.
class PayloadSkippingDevice : public QIODevice
{
public:
    explicit PayloadSkippingDevice(QIODevice &dump) : dump(dump) {}

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override
    {
        return dump.size() - dump.pos() + QIODevice::bytesAvailable();
    }

protected:
    qint64 readData(char *data, qint64 length) override
    {
        if (length <= BoardProtocol::SensorBlockBytes)
            return dump.read(data, length);
        const qint64 step = qMin(length, dump.size() - dump.pos());
        return dump.seek(dump.pos() + step) ? step : -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QIODevice &dump;
};

} // namespace

WireDumpRecords WireDumpRecords::find(QIODevice &dump)
{
    WireDumpRecords found;
    if (!dump.seek(0))
        return found;
    PayloadSkippingDevice device(dump);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    FrameParser parser;
    parser.setDevice(&device);
    parser.onFrameReady = [&] {
        Record record;
        record.header = parser.completedSlot();
        record.header.payload = QByteArray();
        record.payloadOffset = dump.pos() - record.header.size;
        record.start = record.payloadOffset - BoardProtocol::RecordPrefixBytes;
        found.records.append(record);
    };
    parser.process();
    found.endsClean = parser.state() == FrameParser::WaitMagic && device.atEnd();
    return found;
}
