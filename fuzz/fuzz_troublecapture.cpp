// The trouble capture on arbitrary streams, delivered in arbitrary pieces through a wire tap into
// the parser, as the viewer feeds it: records dropped, garbage, clocks that jump, frames judged
// damaged, connections lost, a memory limit of a few records. Every clip written must hold bytes
// of the stream exactly as they came, and the capture must never crash or read out of bounds.
//
// Input: StreamPieces.h. Settings byte: bits 0-2 the seconds kept (tenths, from 0.1), bit 3 a
// tight memory limit, bits 4-5 every how many frames one is judged damaged (never, 2, 3, 5),
// bit 6 the connection is lost after the last piece, bit 7 a new connection halfway.

#include "FeedDevice.h"
#include "FrameParser.h"
#include "StreamPieces.h"
#include "TroubleCapture.h"
#include "WireTap.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>

namespace {
void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessage);
    static int argc = 1;
    static char name[] = "fuzz_troublecapture";
    static char *argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const StreamPieces pieces(data, size);
    if (!pieces.valid)
        return 0;
    QTemporaryDir folder;
    TroubleCapture::Settings settings;
    settings.folder = folder.path();
    settings.prefix = QStringLiteral("f_");
    settings.keptUs = (1 + (pieces.settings & 7)) * 100000;
    settings.memoryBytes = (pieces.settings & 8) ? 4096 : qint64(1) << 30;
    static const int damageEvery[] = {0, 2, 3, 5};
    const int everyDamaged = damageEvery[(pieces.settings >> 4) & 3];

    TroubleCapture capture(settings);
    FeedDevice socket;
    WireTap tap(&socket, [&capture](const char *bytes, qint64 n) { capture.wireBytes(bytes, n); });
    FrameParser parser;
    parser.setDevice(&tap);
    qint64 clockUs = 0;
    parser.onFrameReady = [&] {
        clockUs += 33000;
        capture.frameCompleted(parser.completedSlot(), clockUs);
        const qint64 frame = capture.framesCompleted() - 1;
        if (everyDamaged > 0 && frame % everyDamaged == 0)
            capture.frameDamaged(frame);
    };
    parser.onRecordDropped = [&](const FrameSlot &header) { capture.recordDropped(header, clockUs); };
    capture.connectionStarted();
    const char *stream = reinterpret_cast<const char *>(data);
    pieces.forEach([&](size_t offset, size_t length) {
        if ((pieces.settings & 0x80) && offset >= pieces.streamLength / 2 && offset < pieces.streamLength / 2 + length) {
            capture.connectionLost(clockUs);
            parser.restartRecord();
            capture.connectionStarted();
        }
        socket.feed(QByteArray(stream + offset, qsizetype(length)));
        parser.process();
    });
    if (pieces.settings & 0x40)
        capture.connectionLost(clockUs);
    bool finished = false;
    QObject::connect(&capture, &TroubleCapture::finished, [&finished] { finished = true; });
    capture.finish();
    while (!finished)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 100);

    // Each clip's bytes are a stretch of the stream as it came.
    const QByteArray whole(stream, qsizetype(pieces.streamLength));
    QDirIterator clips(folder.path(), {QStringLiteral("stream.wire")}, QDir::Files, QDirIterator::Subdirectories);
    while (clips.hasNext()) {
        QFile clip(clips.next());
        if (!clip.open(QIODevice::ReadOnly))
            __builtin_trap();
        const QByteArray bytes = clip.readAll();
        if (bytes.isEmpty() || !whole.contains(bytes))
            __builtin_trap();
        if (!QFile::exists(QFileInfo(clip).dir().filePath(QStringLiteral("trouble.json"))))
            __builtin_trap();
    }
    return 0;
}
