#include "FrameStore.h"

#include "BoardProtocol.h"
#include "FrameSlot.h"

#include <QFileInfo>

FrameStore::FrameStore(const QString &folder, const QString &prefix, bool raw,
                       StreamStatistics &statistics)
    : raw(raw)
{
    framePath.setStatistics(&statistics);
    framePath.setScreenless(true);
    framePath.capture().start(folder, prefix, QStringLiteral("jpg"), raw);
}

QString FrameStore::statusWord(Status status)
{
    switch (status) {
    case Status::Stored:
        return QStringLiteral("stored");
    case Status::Damaged:
        return QStringLiteral("damaged");
    case Status::Failed:
        break;
    }
    return QStringLiteral("failed");
}

FrameStore::Stored FrameStore::store(const FrameSlot &frame)
{
    CaptureWriter &capture = framePath.capture();
    if (frame.format == BoardProtocol::FormatJpg)
        capture.setExtension(QStringLiteral("jpg"));
    else
        capture.setExtension(raw ? QStringLiteral("bvt") : QStringLiteral("bmp"));

    const FramePath::Result result = framePath.show(frame);

    Stored stored;
    if (result.capture == FramePath::CaptureFailed) {
        stored.status = Status::Failed;
        return stored;
    }
    if (result.capture >= 0)
        stored.file = QFileInfo(capture.fileName(result.capture)).fileName();
    // A frame left without its picture for want of memory is no clean conversion either.
    stored.status = result.shown() ? Status::Stored : Status::Damaged;
    return stored;
}
