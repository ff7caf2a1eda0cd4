// The frame stream: arbitrary bytes, delivered in arbitrary pieces, through the parser and the
// frame path with its capture writer, into a temporary folder.
//
// Input: StreamPieces.h. Settings byte: bit 2 turns capture on, bits 0-1 choose one of the
// settings the capture controls make: jpg, jpg with raw data, bvt with raw data, bmp.

#include "BoardProtocol.h"
#include "FeedDevice.h"
#include "FrameParser.h"
#include "FrameDecoder.h"
#include "FramePath.h"
#include "StreamPieces.h"

#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

QTemporaryDir *captureFolder = nullptr;

void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

bool fileHolds(const QString &name, const QByteArray &bytes)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) && file.readAll() == bytes;
}

// A completed frame as the stream client holds it, but with a payload exactly `size` bytes long,
// so a read past its end is caught even where the slot's storage is larger. Two are kept, as the
// parser keeps two slots: a picture may wrap the previous frame's bytes.
struct HeldFrame
{
    std::unique_ptr<char[]> bytes;
    FrameSlot slot;

    void hold(const FrameSlot &completed)
    {
        const qsizetype size = completed.payload.size();
        slot = completed;
        slot.payload.clear();
        bytes.reset(new char[size_t(size)]);
        if (size > 0)
            std::memcpy(bytes.get(), completed.payload.constData(), size_t(size));
        slot.payload = QByteArray::fromRawData(bytes.get(), size);
    }
};

// The frame path's report checked against what it must have done, and against the judgement
// alone, which must agree with the picture made.
void showFrame(FramePath &path, FrameDecoder &judge, const FrameSlot &frame)
{
    CaptureWriter &capture = path.capture();
    const int before = capture.counter();
    const FrameDecoder::Outcome judged = judge.judge(frame);
    const FramePath::Result result = path.show(frame);
    if (result.outcome != judged && result.outcome != FramePath::Outcome::OutOfMemory)
        __builtin_trap();
    if (result.shown()
        && (path.pixmap().width() != frame.width || path.pixmap().height() != frame.height))
        __builtin_trap();
    const bool hidden = result.outcome == FramePath::Outcome::HiddenCode;
    if (!capture.isEnabled() || hidden) {
        if (result.capture != FramePath::NoCapture || capture.counter() != before)
            __builtin_trap();
        return;
    }
    // Bytes kept as received are always stored, and stored whole; a picture only when there is one.
    const bool asReceived = frame.format == BoardProtocol::FormatJpg || capture.savesRawData();
    if (!asReceived && !result.shown()) {
        if (result.capture != FramePath::NoCapture || capture.counter() != before)
            __builtin_trap();
        return;
    }
    if (result.capture != before || capture.counter() != before + 1)
        __builtin_trap();
    const QString name = capture.fileName(result.capture);
    if (asReceived ? !fileHolds(name, frame.payload) : QFile(name).size() <= 0)
        __builtin_trap();
}

void startCapture(CaptureWriter &capture, uint8_t settings)
{
    if ((settings & 4) == 0)
        return;
    struct Choice
    {
        const char *extension;
        bool raw;
    };
    static const Choice choices[] = {{"jpg", false}, {"jpg", true}, {"bvt", true}, {"bmp", false}};
    const Choice &choice = choices[settings & 3];
    capture.start(captureFolder->path(), QStringLiteral("frame_"),
                  QString::fromLatin1(choice.extension), choice.raw);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessage);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static int argc = 1;
    static char name[] = "fuzz_frameparser";
    static char *argv[] = {name, nullptr};
    new QGuiApplication(argc, argv);
    // Removed by the exit that ends the run.
    static QTemporaryDir folder;
    captureFolder = &folder;
    if (!captureFolder->isValid())
        __builtin_trap();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const StreamPieces pieces(data, size);
    if (!pieces.valid)
        return 0;

    FeedDevice device;
    FrameParser parser;
    FramePath path;
    FrameDecoder judge;
    HeldFrame held[2];
    int nextHeld = 0;
    startCapture(path.capture(), pieces.settings);
    parser.setDevice(&device);
    parser.onStatistics = [](const FrameStatistics &stats) {
        if (stats.fps.isEmpty() || stats.size.isEmpty())
            __builtin_trap();
    };
    parser.onFrameReady = [&] {
        const FrameSlot &frame = parser.completedSlot();
        if (quint32(frame.format) >= BoardProtocol::FirstHeaderOnlyFormat
            || frame.payload.size() != frame.size)
            __builtin_trap();
        HeldFrame &copy = held[nextHeld];
        nextHeld = 1 - nextHeld;
        copy.hold(frame);
        showFrame(path, judge, copy.slot);
    };

    pieces.forEach([&](size_t offset, size_t length) {
        device.feed(QByteArray(reinterpret_cast<const char *>(data + offset), qsizetype(length)));
        parser.process();
    });
    return 0;
}
