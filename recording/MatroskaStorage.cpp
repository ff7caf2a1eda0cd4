#include "MatroskaStorage.h"

#include "BoardProtocol.h"

#include <QFileInfo>

using Outcome = FrameDecoder::Outcome;

MatroskaStorage::MatroskaStorage(const RecordingNames &names)
    : names(names)
{
}

Outcome MatroskaStorage::store(const FrameSlot &frame, std::optional<Outcome> judged)
{
    const Outcome outcome = judged ? *judged : decoder.judge(frame);
    const Stored stored = record(frame, outcome);
    recorded.push_back({stored, stored.place < 0});
    return outcome;
}

// Payloads as received, whatever their judgement; a frame of another format or size starts the
// next file.
FrameStorage::Stored MatroskaStorage::record(const FrameSlot &frame, Outcome outcome)
{
    Stored stored;
    stored.outcome = outcome;
    // Nothing a video track can hold: a code never shown, a frame without pixels.
    if (outcome == Outcome::HiddenCode || frame.format < 0 || frame.format >= BoardProtocol::FormatCount
        || frame.width <= 0 || frame.height <= 0)
        return stored;
    if (!failure.isEmpty()) {
        stored.failed = true;
        return stored;
    }
    // A board clock that went back (the board restarted) would stop the file's time: its
    // frames start the next file, timed from their own first frame.
    const quint64 boardTimeUs = quint64(frame.boardTimeUs());
    if (writer.isOpen()
        && (frame.format != fileFormat.format || frame.width != fileFormat.width || frame.height != fileFormat.height
            || boardTimeUs < lastBoardTimeUs))
        closeFile();
    lastBoardTimeUs = boardTimeUs;
    if (!writer.isOpen() && failure.isEmpty()) {
        const QString path = names.recordingFile(files++);
        if (!writer.open(path, frame.format, frame.width, frame.height))
            failure = writer.errorString();
        fileName = QFileInfo(path).fileName();
        fileFormat = {frame.format, frame.width, frame.height};
    }
    stored.place = failure.isEmpty() ? writer.writeFrame(frame) : -1;
    if (stored.place < 0) {
        if (failure.isEmpty())
            failure = writer.errorString();
        stored.failed = true;
    } else {
        stored.file = fileName;
    }
    return stored;
}

bool MatroskaStorage::giveBack(Stored &stored)
{
    if (recorded.empty())
        return false;
    Recorded &oldest = recorded.front();
    if (!oldest.settled && oldest.stored.place >= writer.framesWritten() && !writer.hasFailed())
        return false;
    settle(oldest);
    stored = std::move(oldest.stored);
    recorded.pop_front();
    return true;
}

// A frame whose cluster did not reach the file is not in it.
void MatroskaStorage::settle(Recorded &frame)
{
    if (frame.settled)
        return;
    frame.settled = true;
    Stored &stored = frame.stored;
    if (stored.place >= writer.framesWritten()) {
        stored.failed = true;
        stored.file.clear();
        stored.place = -1;
    }
}

void MatroskaStorage::flush()
{
    if (writer.isOpen() && !writer.hasFailed() && !writer.flush())
        failure = writer.errorString();
}

void MatroskaStorage::close()
{
    closeFile();
}

void MatroskaStorage::closeFile()
{
    if (!writer.isOpen())
        return;
    if (!writer.close() && failure.isEmpty())
        failure = writer.errorString();
    for (Recorded &frame : recorded)
        settle(frame);
}
