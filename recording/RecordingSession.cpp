#include "RecordingSession.h"

#include "BoardProtocol.h"
#include "StreamStatistics.h"

#include <QFutureWatcher>
#include <QtConcurrent/QtConcurrentRun>

using Outcome = FrameDecoder::Outcome;

namespace {
RecordIndex::FrameStatus statusOf(const FrameStorage::Stored &stored)
{
    if (stored.failed)
        return RecordIndex::FrameStatus::Failed;
    switch (stored.outcome) {
    case Outcome::Shown:
        return RecordIndex::FrameStatus::Stored;
    case Outcome::HiddenCode:
        return RecordIndex::FrameStatus::Hidden;
    default: // a frame left without its picture for want of memory is no clean conversion either
        return RecordIndex::FrameStatus::Damaged;
    }
}
} // namespace

RecordingSession::RecordingSession(std::unique_ptr<FrameStorage> storage, const QString &indexPath,
                                   StreamStatistics &statistics, Judge judge, QObject *parent)
    : QObject(parent)
    , storage(std::move(storage))
    , statistics(statistics)
    , judge(std::move(judge))
    , indexPath(indexPath)
{
}

// A judgement's watcher is told of it by an event, dropped with the watcher when the session goes.
RecordingSession::~RecordingSession()
{
    judges.waitForDone();
}

bool RecordingSession::open()
{
    if (indexPath.isEmpty()) {
        indexFailed = true; // no rows are kept, and no failure is told
        return true;
    }
    if (index.open(indexPath, storage->numbersFramesInFiles()))
        return true;
    error = QStringLiteral("cannot write the index %1: %2").arg(indexPath, index.errorString());
    return false;
}

void RecordingSession::take(const FrameSlot &frame, const QDateTime &arrival)
{
    const bool judgedApart = frame.format == BoardProtocol::FormatJpg;
    const qint64 serial = taken++;
    unjudged.push_back({frame, arrival, judgedApart, std::nullopt});
    if (judgedApart) {
        // A watcher, not a continuation: with Qt 6.4 one attached just as the judging ended ran
        // twice now and then, and crashed.
        auto *watcher = new QFutureWatcher<Outcome>(this);
        connect(watcher, &QFutureWatcherBase::finished, this, [this, watcher, serial] {
            judgementIn(serial, watcher->result());
            watcher->deleteLater();
        });
        // The payload is shared, never copied: the parser fills a buffer of its own next time.
        watcher->setFuture(QtConcurrent::run(&judges, [judge = judge, frame] {
            thread_local FrameDecoder decoder;
            return judge(decoder, frame);
        }));
    }
    advance();
}

void RecordingSession::judgementIn(qint64 serial, Outcome outcome)
{
    unjudged[size_t(serial - firstUnjudgedSerial)].judgement = outcome;
    advance();
    emit judged();
}

void RecordingSession::holdRows(bool hold)
{
    rowsHeld = hold;
    if (!hold)
        writeRows();
}

void RecordingSession::flush()
{
    storage->flush();
    advance();
}

void RecordingSession::finish()
{
    finishing = true;
    advance();
}

void RecordingSession::advance()
{
    storeJudged();
    giveBackSafe();
    if (!rowsHeld)
        writeRows();
    if (!storage->errorString().isEmpty())
        fail(storage->errorString());
    endWhenStored();
}

// In the order taken: a frame whose judgement is still out holds back those after it.
void RecordingSession::storeJudged()
{
    while (!unjudged.empty()) {
        Unjudged &oldest = unjudged.front();
        if (oldest.judgedApart && !oldest.judgement)
            break;
        const Outcome outcome = storage->store(oldest.frame, oldest.judgement);
        if (outcome == Outcome::Shown)
            statistics.frameShown();
        else if (outcome == Outcome::HiddenCode)
            statistics.frameHidden();
        else
            statistics.frameDamaged();
        unsafe.push_back({std::move(oldest.frame), oldest.arrival});
        unjudged.pop_front();
        ++firstUnjudgedSerial;
    }
}

// Frames stored before a failure are still indexed; after the index itself failed, none.
void RecordingSession::giveBackSafe()
{
    FrameStorage::Stored stored;
    while (storage->giveBack(stored)) {
        const Unsafe frame = std::move(unsafe.front());
        unsafe.pop_front();
        if (!stored.file.isEmpty())
            statistics.captureWritten();
        else if (stored.failed)
            statistics.captureFailed();
        if (!stored.file.isEmpty() && stored.file != lastFile) {
            lastFile = stored.file;
            emit fileWritten(lastFile);
        }
        const RecordIndex::Row row{givenBack++, stored.file, RecordIndex::statusWord(statusOf(stored)), frame.frame,
                                   true, frame.arrival, stored.place};
        emit frameGivenBack(row);
        if (indexFailed)
            continue;
        index.addRow(row);
        ++rows;
    }
}

void RecordingSession::writeRows()
{
    if (indexFailed || index.writePending())
        return;
    indexFailed = true;
    fail(QStringLiteral("cannot write the index %1: %2").arg(index.fileName(), index.errorString()));
}

void RecordingSession::endWhenStored()
{
    if (!finishing || ended || !unjudged.empty())
        return;
    ended = true;
    storage->close();
    giveBackSafe();
    writeRows();
    if (!storage->errorString().isEmpty())
        fail(storage->errorString());
    emit finished();
}

void RecordingSession::fail(const QString &text)
{
    if (!error.isEmpty())
        return;
    error = text;
    emit failed(error);
}
