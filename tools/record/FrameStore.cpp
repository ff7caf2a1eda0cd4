#include "FrameStore.h"

#include "BoardProtocol.h"
#include "FrameSlot.h"
#include "StreamStatistics.h"

#include <QFileInfo>
#include <QPixmap>

using namespace BoardProtocol;

FrameStore::FrameStore(const QString &folder, const QString &prefix, bool raw,
                       StreamStatistics &statistics)
    : statistics(statistics)
    , raw(raw)
{
    capture.start(folder, prefix, QStringLiteral("jpg"), raw);
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

void FrameStore::useExtensionFor(qint32 format)
{
    if (format == FormatJpg)
        capture.setExtension(QStringLiteral("jpg"));
    else
        capture.setExtension(raw ? QStringLiteral("bvt") : QStringLiteral("bmp"));
}

FrameStore::Stored FrameStore::store(FrameSlot &frame)
{
    const bool picturable = frame.format >= FormatJpg && frame.format < FormatCount;
    const bool shown = picturable && picture.update(frame);
    if (shown)
        statistics.frameShown();
    else
        statistics.frameDamaged();

    useExtensionFor(frame.format);
    int written = -1;
    bool attempted = true;
    if (frame.format == FormatJpg)
        written = capture.save_image_jpg(frame.payload);
    else if (picturable && (shown || raw))
        written = capture.save_image(shown ? picture.pixmap() : QPixmap(), frame.payload);
    else
        attempted = false;

    Stored result;
    if (attempted && written < 0) {
        statistics.captureFailed();
        result.status = Status::Failed;
        return result;
    }
    if (written >= 0) {
        statistics.captureWritten();
        result.file = QFileInfo(capture.fileName(written)).fileName();
    }
    result.status = shown ? Status::Stored : Status::Damaged;
    return result;
}
