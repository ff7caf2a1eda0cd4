// The record parser alone: arbitrary bytes, delivered in arbitrary pieces, into records. Light
// enough for millions of runs; fuzz_frameparser drives the whole path behind it.
//
// Input: StreamPieces.h; the settings byte is unused here.

#include "BoardProtocol.h"
#include "FrameParser.h"
#include "StreamPieces.h"

#include <QIODevice>
#include <QtGlobal>

#include <cstdint>
#include <cstring>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// The input as a socket's read buffer that has received its first `received` bytes; unbuffered
// and without copies, so the parser's work is what a run measures.
class PieceDevice : public QIODevice
{
public:
    explicit PieceDevice(const uint8_t *bytes) : bytes(bytes) { open(ReadOnly | Unbuffered); }
    void receive(size_t count) { received += count; }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return qint64(received - offset); }

protected:
    qint64 readData(char *out, qint64 maxSize) override
    {
        const size_t n = qMin<size_t>(size_t(maxSize), received - offset);
        std::memcpy(out, bytes + offset, n);
        offset += n;
        return qint64(n);
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    const uint8_t *bytes;
    size_t received = 0;
    size_t offset = 0;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const StreamPieces pieces(data, size);
    if (!pieces.valid)
        return 0;

    PieceDevice device(data);
    FrameParser parser;
    parser.setDevice(&device);
    qint64 announced = 0; // payload bytes of the records completed so far
    parser.onFrameReady = [&] {
        const FrameSlot &frame = parser.completedSlot();
        // Only records with a payload complete, each with exactly its bounded payload.
        if (quint32(frame.format) >= BoardProtocol::FirstHeaderOnlyFormat || frame.size < 0
            || frame.size > BoardProtocol::MaxPayloadBytes || frame.payload.size() != frame.size)
            __builtin_trap();
        announced += frame.size;
    };

    pieces.forEach([&](size_t, size_t length) {
        device.receive(length);
        parser.process();
        // Never holds back a whole record's prefix once it is there, nor reads past the input.
        if (device.bytesAvailable() >= BoardProtocol::RecordPrefixBytes
            && parser.state() != FrameParser::WaitPayload)
            __builtin_trap();
    });
    const qint64 records = parser.framesCompleted();
    if (announced + records * BoardProtocol::RecordPrefixBytes > qint64(pieces.streamLength))
        __builtin_trap();
    return 0;
}
