#include "FrameExport.h"

#include "FrameSource.h"
#include "RecordIndex.h"
#include "StreamStatistics.h"

#include <QDir>
#include <QFileInfo>
#include <QSemaphore>

namespace {
// JPEG frames judged at once on other threads, as the recorder keeps them in hand.
constexpr int MaxFramesInHand = 16;
}

FrameExport::Result FrameExport::run(FrameSource &source, qint64 first, qint64 last, const QString &folder,
                                     const QString &prefix, FrameStore::Storage storage, const Progress &progress)
{
    Result result;
    StreamStatistics statistics;
    // Released on the judging thread once per JPEG judged, so that waiting needs no event loop;
    // made first, so that it outlives the store's judging threads.
    QSemaphore judgements;
    FrameStore store(folder, prefix, storage, statistics);
    QObject::connect(&store, &FrameStore::judged, &store, [&judgements] { judgements.release(); },
                     Qt::DirectConnection);
    RecordIndex index;
    const QString indexPath = QDir(folder).filePath(RecordIndex::recorderIndexName(prefix));
    if (!index.open(indexPath, storage == FrameStore::Storage::Recording)) {
        result.error = QStringLiteral("cannot write the index %1: %2").arg(indexPath, index.errorString());
        return result;
    }
    qint64 failed = 0;
    const auto writeRows = [&] {
        FrameStore::Entry entry;
        while (store.giveBack(entry)) {
            if (!result.error.isEmpty())
                continue;
            if (entry.stored.status == FrameStore::Status::Failed)
                ++failed;
            if (!entry.stored.file.isEmpty() && !result.files.contains(entry.stored.file))
                result.files << entry.stored.file;
            index.addRow({result.frames, entry.stored.file, FrameStore::statusWord(entry.stored.status), entry.frame,
                          true, entry.arrival, entry.stored.place});
            if (!index.writePending())
                result.error = QStringLiteral("cannot write the index %1: %2").arg(indexPath, index.errorString());
            else
                ++result.frames;
        }
    };
    const auto waitForJudgements = [&](int atMost) {
        while (store.unstored() > atMost) {
            writeRows();
            if (store.unstored() > atMost)
                judgements.acquire();
        }
    };

    for (qint64 i = first; i <= last && result.error.isEmpty() && store.recordingError().isEmpty(); ++i) {
        FrameSlot frame;
        if (!source.frame(i, frame)) {
            result.error = QStringLiteral("cannot read frame %1: %2").arg(i + 1).arg(source.errorString());
            break;
        }
        store.take(frame, source.arrival(i));
        waitForJudgements(MaxFramesInHand - 1);
        if (progress && !progress(i - first + 1)) {
            result.error = QStringLiteral("cancelled after %1 frames").arg(i - first + 1);
            break;
        }
    }
    waitForJudgements(0);
    store.close();
    writeRows();
    if (result.error.isEmpty())
        result.error = store.recordingError();
    if (result.error.isEmpty() && failed)
        result.error = QStringLiteral("%1 of %2 frames could not be written").arg(failed).arg(result.frames);
    result.files << QFileInfo(indexPath).fileName();
    return result;
}
