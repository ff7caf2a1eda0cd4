#include "FrameExport.h"

#include "FrameStorage.h"
#include "RecordingSession.h"
#include "StreamStatistics.h"

#include <QDir>
#include <QFileInfo>

namespace {
// Progress reported about this many times over an export, not at every frame.
constexpr qint64 ProgressSteps = 200;

} // namespace

FrameExport::FrameExport(std::unique_ptr<FrameSource> source, qint64 first, qint64 last, const QString &path,
                         Storage storage)
    : source(std::move(source))
    , first(first)
    , last(last)
    , names(RecordingNames::exported(path))
    , storage(storage)
    , worker(std::make_unique<QObject>())
{
    worker->moveToThread(&thread);
}

FrameExport::~FrameExport()
{
    cancel();
    thread.wait();
}

void FrameExport::start()
{
    thread.start();
    QMetaObject::invokeMethod(worker.get(), [this] { begin(); }, Qt::QueuedConnection);
}

void FrameExport::cancel()
{
    QMetaObject::invokeMethod(worker.get(), [this] { cancelRequested = true; }, Qt::QueuedConnection);
}

void FrameExport::begin()
{
    next = first;
    statistics = std::make_unique<StreamStatistics>();
    session = std::make_unique<RecordingSession>(FrameStorage::make(storage, names), names.indexFile(), *statistics);
    connect(session.get(), &RecordingSession::judged, worker.get(), [this] { scheduleFeed(); });
    connect(session.get(), &RecordingSession::fileWritten, worker.get(), [this](const QString &name) { result.files << name; });
    // Queued: the session is then no longer inside its own call.
    connect(session.get(), &RecordingSession::finished, worker.get(), [this] { end(); }, Qt::QueuedConnection);
    if (!session->open()) {
        result.error = session->errorString();
        QMetaObject::invokeMethod(this, [this, result = result] { emit finished(result); });
        thread.quit();
        return;
    }
    scheduleFeed();
}

// A frame a turn of the event loop, so that a cancel is seen after the frame in hand.
void FrameExport::scheduleFeed()
{
    if (feedPosted)
        return;
    feedPosted = true;
    QMetaObject::invokeMethod(worker.get(), [this] { feed(); }, Qt::QueuedConnection);
}

void FrameExport::feed()
{
    feedPosted = false;
    if (session->unstored() >= RecordingSession::MaxFramesInHand)
        return; // judged() brings it back
    if (cancelRequested || next > last || !result.error.isEmpty() || !session->errorString().isEmpty()) {
        session->finish();
        return;
    }
    FrameSlot frame;
    if (!source->frame(next, frame)) {
        result.error = QStringLiteral("cannot read frame %1: %2").arg(next + 1).arg(source->errorString());
        session->finish();
        return;
    }
    session->take(frame, source->arrival(next));
    ++next;
    report(next - first);
    scheduleFeed();
}

void FrameExport::report(qint64 done)
{
    if (done < total() && done - reported < qMax<qint64>(1, total() / ProgressSteps))
        return;
    reported = done;
    QMetaObject::invokeMethod(this, [this, done, total = total()] { emit progressed(done, total); });
}

void FrameExport::end()
{
    result.frames = session->framesIndexed();
    result.cancelled = cancelRequested && next <= last;
    if (result.error.isEmpty())
        result.error = session->errorString();
    const quint64 failures = statistics->counters().captureFailures;
    if (result.error.isEmpty() && failures > 0)
        result.error = QStringLiteral("%1 of %2 frames could not be written").arg(failures).arg(result.frames);
    result.files << QFileInfo(names.indexFile()).fileName();
    const QDir folder(names.folder());
    for (const QString &file : std::as_const(result.files))
        result.bytes += QFileInfo(folder.filePath(file)).size();
    QMetaObject::invokeMethod(this, [this, result = result] { emit finished(result); });
    thread.quit();
}
