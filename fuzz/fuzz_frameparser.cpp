// The frame stream: arbitrary bytes, delivered in arbitrary pieces, through the parser and the
// frame-to-picture path of every completed frame.
//
// Input: stream bytes, then a table of piece lengths, then one byte giving the table's length.
// The pieces take their lengths from the table in turn; 0 delivers the rest at once. Without a
// table the stream arrives in one piece.

#include "FeedDevice.h"
#include "FrameFormat.h"
#include "FrameParser.h"
#include "JpegDecoder.h"
#ifdef BREVANT_FUZZ_RAW
#include "RawConvert.h"
#endif

#include <QImage>
#include <QtGlobal>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace {

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

void wrapGray(const uint8_t *pixels, qsizetype size, const FrameSlot &frame)
{
    const qint64 needed = qint64(frame.width) * frame.height;
    if (frame.width <= 0 || frame.height <= 0 || needed > size)
        return;
    const QImage image(pixels, frame.width, frame.height, frame.width, QImage::Format_Grayscale8);
    // Reads every wrapped pixel.
    if (image.convertToFormat(QImage::Format_RGB888).isNull())
        __builtin_trap();
}

void decodeJpeg(JpegDecoder &decoder, const uint8_t *data, qsizetype size, const FrameSlot &frame)
{
    decoder.setSource(data, int(size));
    if (decoder.jpeg_check_header(frame.width, frame.height) < 0)
        return;
    if (decoder.decode() < 0)
        return;
    // The picture is wrapped as w x h RGB888 with rows of 3 * w bytes.
    if (decoder.outputSize() != 3LL * frame.width * frame.height)
        __builtin_trap();
    const volatile uint8_t last = decoder.outputData()[decoder.outputSize() - 1];
    (void)last;
}

#ifdef BREVANT_FUZZ_RAW
void convertRaw(const uint8_t *data, qsizetype size, const FrameSlot &frame)
{
    // Buffers are sized only for a frame whose payload can fill them: a header alone must not
    // make the client allocate gigabytes.
    const long long needed = rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed < 0 || size < needed)
        return;
    std::vector<uint8_t> picture(size_t(rgbPictureSize(frame.width, frame.height)));
    if (convertRawToRgb(data, size_t(size), frame.format, frame.width, frame.height,
                        picture.data(), picture.size())
        != 0)
        __builtin_trap();
}
#endif

// Stands in for the stream client's frame-to-picture path; switch to that class once the stream
// client's conversion has one of its own.
void makePicture(JpegDecoder &decoder, const FrameSlot &frame)
{
    // An exactly sized copy, so a read past `size` is caught even where the slot's storage is larger.
    const qsizetype size = frame.payload.size();
    std::unique_ptr<uint8_t[]> payload(new uint8_t[size_t(size)]);
    if (size > 0)
        std::memcpy(payload.get(), frame.payload.constData(), size_t(size));

    switch (frame.format) {
    case FormatJpg:
        decodeJpeg(decoder, payload.get(), size, frame);
        break;
    case FormatGray:
        wrapGray(payload.get(), size, frame);
        break;
#ifdef BREVANT_FUZZ_RAW
    case FormatUyvy:
    case FormatYuv420:
    case FormatNv12:
        convertRaw(payload.get(), size, frame);
        break;
#endif
    default:
        break;
    }
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
    JpegDecoder decoder;
    decoder.init();
    parser.setDevice(&device);
    parser.onStatistics = [](const FrameStatistics &stats) {
        if (stats.fps.isEmpty() || stats.size.isEmpty())
            __builtin_trap();
    };
    parser.onFrameReady = [&parser, &decoder] {
        const FrameSlot &frame = parser.completedSlot();
        if (quint32(frame.format) >= FirstHeaderOnlyFormat || frame.payload.size() != frame.size)
            __builtin_trap();
        makePicture(decoder, frame);
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
