#include "FrameStore.h"

#include "BoardProtocol.h"
#include "StreamStatistics.h"

#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

using Outcome = FrameDecoder::Outcome;

namespace {
// The resolution a BMP file records: a display's 96 dots per inch, as pictures made through a
// pixmap carry it, not an image's own default of 100.
constexpr int PictureDotsPerMeter = 3780;
} // namespace

FrameStore::FrameStore(const QString &folder, const QString &prefix, bool raw,
                       StreamStatistics &statistics, Judge judge)
    : statistics(statistics)
    , raw(raw)
    , judge(std::move(judge))
{
    capture.setStatistics(&statistics);
    capture.start(folder, prefix, QStringLiteral("jpg"), raw);
}

FrameStore::~FrameStore()
{
    judges.waitForDone();
}

QString FrameStore::statusWord(Status status)
{
    switch (status) {
    case Status::Stored:
        return QStringLiteral("stored");
    case Status::Damaged:
        return QStringLiteral("damaged");
    case Status::Hidden:
        return QStringLiteral("hidden");
    case Status::Failed:
        break;
    }
    return QStringLiteral("failed");
}

void FrameStore::take(const FrameSlot &frame, const QDateTime &arrival)
{
    InHand taken{frame, arrival, {}};
    if (frame.format == BoardProtocol::FormatJpg) {
        // The payload is shared, never copied: the parser fills a buffer of its own next time.
        taken.judgement = QtConcurrent::run(&judges, [judge = judge, frame] {
            thread_local FrameDecoder decoder;
            return judge(decoder, frame);
        });
        taken.judgement.then([this](Outcome) { emit judged(); });
    }
    frames.push_back(std::move(taken));
}

bool FrameStore::giveBack(Entry &entry)
{
    if (frames.empty())
        return false;
    InHand &oldest = frames.front();
    const bool judgedApart = oldest.judgement.isValid();
    if (judgedApart && !oldest.judgement.isFinished())
        return false;
    const Outcome judged = judgedApart ? oldest.judgement.result() : Outcome::Shown;
    entry.stored = store(oldest.frame, judged);
    entry.frame = std::move(oldest.frame);
    entry.arrival = oldest.arrival;
    frames.pop_front();
    return true;
}

// A JPEG comes judged; any other frame is judged here, and made a picture only when one is
// stored. Payloads as received are stored whatever their judgement, pictures only when made.
FrameStore::Stored FrameStore::store(const FrameSlot &frame, Outcome judged)
{
    constexpr int NothingToWrite = -2;
    int written = NothingToWrite; // or the file's number, or -1 when its writing failed
    Outcome outcome = judged;
    if (frame.format == BoardProtocol::FormatJpg) {
        capture.setExtension(QStringLiteral("jpg"));
        written = capture.save_image_jpg(frame.payload);
    } else if (raw) {
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

    Stored stored;
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
    if (written == -1)
        stored.status = Status::Failed;
    return stored;
}
