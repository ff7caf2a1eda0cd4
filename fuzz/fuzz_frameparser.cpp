// The frame stream: arbitrary bytes, delivered in arbitrary pieces, through the parser and the
// frame-to-picture path (FrameConverter) of every completed frame.
//
// Input: stream bytes, then a table of piece lengths, then one byte giving the table's length.
// The pieces take their lengths from the table in turn; 0 delivers the rest at once. Without a
// table the stream arrives in one piece.

#include "FeedDevice.h"
#include "FrameConverter.h"
#include "FrameFormat.h"
#include "FrameParser.h"

#include <QImage>
#include <QtGlobal>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// The stream client's frame-to-picture step, on a copy of the frame whose payload is exactly
// `size` bytes long, so a read past its end is caught even where the slot's storage is larger.
void makePicture(FrameConverter &converter, const FrameSlot &completed)
{
    const qsizetype size = completed.payload.size();
    std::unique_ptr<char[]> exact(new char[size_t(size)]);
    if (size > 0)
        std::memcpy(exact.get(), completed.payload.constData(), size_t(size));
    FrameSlot frame = completed;
    frame.payload = QByteArray::fromRawData(exact.get(), size);

    if (!converter.convert(frame))
        return;
    const QImage image = converter.image();
    if (image.width() != frame.width || image.height() != frame.height)
        __builtin_trap();
    // The picture's bytes are one block: its first and last byte bound every pixel.
    const volatile uchar first = image.constBits()[0];
    const volatile uchar last = image.constBits()[image.sizeInBytes() - 1];
    (void)first;
    (void)last;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessage);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const size_t tableLength = qMin<size_t>(data[size - 1], size - 1);
    const size_t streamLength = size - 1 - tableLength;
    const uint8_t *table = data + streamLength;

    FeedDevice device;
    FrameParser parser;
    FrameConverter converter;
    parser.setDevice(&device);
    parser.onStatistics = [](const FrameStatistics &stats) {
        if (stats.fps.isEmpty() || stats.size.isEmpty())
            __builtin_trap();
    };
    parser.onFrameReady = [&parser, &converter] {
        const FrameSlot &frame = parser.completedSlot();
        if (quint32(frame.format) >= FirstHeaderOnlyFormat || frame.payload.size() != frame.size)
            __builtin_trap();
        makePicture(converter, frame);
    };

    size_t offset = 0;
    for (size_t piece = 0; offset < streamLength; ++piece) {
        size_t length = streamLength - offset;
        if (tableLength > 0 && table[piece % tableLength] != 0)
            length = qMin<size_t>(length, table[piece % tableLength]);
        device.feed(QByteArray(reinterpret_cast<const char *>(data + offset), qsizetype(length)));
        offset += length;
        parser.process();
    }
    return 0;
}
