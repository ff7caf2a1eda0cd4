#include "FrameStore.h"

#include "BoardProtocol.h"
#include "StreamStatistics.h"

#include <QDir>
#include <QFileInfo>

using Outcome = FrameDecoder::Outcome;

namespace {
// The resolution a BMP file records: a display's 96 dots per inch, as pictures made through a
// pixmap carry it, not an image's own default of 100.
constexpr int PictureDotsPerMeter = 3780;
} // namespace

FrameStore::FrameStore(const QString &folder, const QString &prefix, Storage storage,
                       StreamStatistics &statistics, Judge judge)
    : statistics(statistics)
    , folder(folder)
    , prefix(prefix)
    , storage(storage)
    , judge(std::move(judge))
{
    capture.setStatistics(&statistics);
    capture.start(folder, prefix, QStringLiteral("jpg"), storage == Storage::Payloads);
}

FrameStore::~FrameStore()
{
    judges.waitForDone();
}

void FrameStore::take(const FrameSlot &frame, const QDateTime &arrival)
{
    InHand taken{frame, arrival, {}};
    if (frame.format == BoardProtocol::FormatJpg) {
        taken.judgement = std::make_shared<Judgement>();
        // The payload is shared, never copied: the parser fills a buffer of its own next time.
        judges.start([this, judge = judge, frame, judgement = taken.judgement] {
            thread_local FrameDecoder decoder;
            judgement->outcome = judge(decoder, frame);
            judgement->done.store(true, std::memory_order_release);
            emit judged();
        });
    }
    frames.push_back(std::move(taken));
}

bool FrameStore::giveBack(Entry &entry)
{
    while (!frames.empty()) {
        InHand &oldest = frames.front();
        const bool judgedApart = oldest.judgement != nullptr;
        if (judgedApart && !oldest.judgement->done.load(std::memory_order_acquire))
            break;
        const Outcome judged = judgedApart ? oldest.judgement->outcome : Outcome::Shown;
        Entry stored;
        stored.stored = store(oldest.frame, judged);
        stored.frame = std::move(oldest.frame);
        stored.arrival = oldest.arrival;
        frames.pop_front();
        if (storage != Storage::Recording) {
            entry = std::move(stored);
            return true;
        }
        const bool settled = stored.stored.place < 0;
        recorded.push_back({std::move(stored), settled});
    }
    if (recorded.empty())
        return false;
    Recorded &oldest = recorded.front();
    if (!oldest.settled && oldest.entry.stored.place >= recording.framesWritten() && !recording.hasFailed())
        return false;
    settle(oldest);
    entry = std::move(oldest.entry);
    recorded.pop_front();
    if (!entry.stored.file.isEmpty())
        statistics.captureWritten();
    else if (entry.stored.status == Status::Failed)
        statistics.captureFailed();
    return true;
}

// A frame whose cluster did not reach the file is not in it.
void FrameStore::settle(Recorded &frame)
{
    if (frame.settled)
        return;
    frame.settled = true;
    Stored &stored = frame.entry.stored;
    if (stored.place >= recording.framesWritten()) {
        stored.status = Status::Failed;
        stored.file.clear();
        stored.place = -1;
    }
}

void FrameStore::flush()
{
    if (recording.isOpen() && !recording.hasFailed() && !recording.flush())
        recordingFailure = recording.errorString();
}

void FrameStore::close()
{
    closeRecording();
}

void FrameStore::closeRecording()
{
    if (!recording.isOpen())
        return;
    if (!recording.close() && recordingFailure.isEmpty())
        recordingFailure = recording.errorString();
    for (Recorded &frame : recorded)
        settle(frame);
}

// Payloads as received, whatever their judgement; a frame of another format or size starts the
// next file.
FrameStore::Stored FrameStore::record(const FrameSlot &frame, Outcome outcome)
{
    Stored stored;
    // Nothing a video track can hold: a code never shown, a frame without pixels.
    if (outcome == Outcome::HiddenCode || frame.format < 0 || frame.format >= BoardProtocol::FormatCount
        || frame.width <= 0 || frame.height <= 0)
        return stored;
    if (!recordingFailure.isEmpty()) {
        stored.status = Status::Failed;
        return stored;
    }
    // A board clock that went back (the board restarted) would stop the file's time: its
    // frames start the next file, timed from their own first frame.
    const quint64 boardTimeUs = quint64(frame.boardTimeUs());
    if (recording.isOpen()
        && (frame.format != recordingFormat.format || frame.width != recordingFormat.width
            || frame.height != recordingFormat.height || boardTimeUs < lastBoardTimeUs))
        closeRecording();
    lastBoardTimeUs = boardTimeUs;
    if (!recording.isOpen() && recordingFailure.isEmpty()) {
        const QString path = QDir(folder).filePath(prefix + QString::number(recordingFiles++) + QStringLiteral(".mkv"));
        if (!recording.open(path, frame.format, frame.width, frame.height))
            recordingFailure = recording.errorString();
        recordingName = QFileInfo(path).fileName();
        recordingFormat = {frame.format, frame.width, frame.height};
    }
    stored.place = recordingFailure.isEmpty() ? recording.writeFrame(frame) : -1;
    if (stored.place < 0) {
        if (recordingFailure.isEmpty())
            recordingFailure = recording.errorString();
        stored.status = Status::Failed;
    } else {
        stored.file = recordingName;
    }
    return stored;
}

// A JPEG comes judged; any other frame is judged here, and made a picture only when one is
// stored. Payloads as received are stored whatever their judgement, pictures only when made.
FrameStore::Stored FrameStore::store(const FrameSlot &frame, Outcome judged)
{
    constexpr int NothingToWrite = -2;
    int written = NothingToWrite; // or the file's number, or -1 when its writing failed
    Outcome outcome = judged;
    Stored stored;
    bool notRecorded = false;
    if (storage == Storage::Recording) {
        if (frame.format != BoardProtocol::FormatJpg)
            outcome = decoder.judge(frame);
        stored = record(frame, outcome);
        notRecorded = stored.status == Status::Failed;
    } else if (frame.format == BoardProtocol::FormatJpg) {
        capture.setExtension(QStringLiteral("jpg"));
        written = capture.save_image_jpg(frame.payload);
    } else if (storage == Storage::Payloads) {
        outcome = decoder.judge(frame);
        capture.setExtension(QStringLiteral("bvt"));
        if (outcome != Outcome::HiddenCode)
            written = capture.save_image_jpg(frame.payload);
    } else {
        outcome = decoder.decode(frame, picture);
        capture.setExtension(QStringLiteral("bmp"));
        if (outcome == Outcome::Shown) {
            picture.setDotsPerMeterX(PictureDotsPerMeter);
            picture.setDotsPerMeterY(PictureDotsPerMeter);
            written = capture.save_image(picture, frame.payload);
        }
    }

    if (written >= 0)
        stored.file = QFileInfo(capture.fileName(written)).fileName();
    if (outcome == Outcome::Shown) {
        statistics.frameShown();
    } else if (outcome == Outcome::HiddenCode) {
        statistics.frameHidden();
        stored.status = Status::Hidden;
    } else { // a frame left without its picture for want of memory is no clean conversion either
        statistics.frameDamaged();
        stored.status = Status::Damaged;
    }
    if (written == -1 || notRecorded)
        stored.status = Status::Failed;
    return stored;
}
