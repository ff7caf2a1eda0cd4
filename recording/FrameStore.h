#pragma once

#include "CaptureWriter.h"
#include "FrameDecoder.h"
#include "FrameSlot.h"
#include "MatroskaWriter.h"
#include "RecordIndex.h"

#include <QDateTime>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>

class StreamStatistics;

// Stores each frame as the window's capture would, through the stream library's frame decoder
// and capture writer: JPEG as received (.jpg), raw colour and Gray frames as BMP pictures or,
// with raw chosen, as received (.bvt). One running number across all of them. Or, as a
// recording, every payload as received into one Matroska file while format and size stay the
// same and the board's clock runs on, <prefix>0.mkv, then <prefix>1.mkv, ...; there a frame is
// given back only once the writer has handed its cluster to the kernel, so that nothing is
// indexed that a crash loses.
// Judging a JPEG means reading every coefficient, and one core reads them only about as fast as
// a gigabit link brings them; so JPEG frames are judged on other threads while the next ones
// arrive, and each frame is stored and given back once its judgement is in, in the order the
// frames came. Nothing here waits: judged() says when frames can be given back.
class FrameStore : public QObject
{
    Q_OBJECT

public:
    using Status = RecordIndex::FrameStatus;
    struct Stored
    {
        Status status = Status::Stored;
        QString file; // name in the folder; empty when nothing was written
        qint64 place = -1; // the frame's number in a recording file
    };
    struct Entry
    {
        FrameSlot frame;
        QDateTime arrival;
        Stored stored;
    };
    // How a JPEG frame is judged, on one of the judging threads.
    using Judge = std::function<FrameDecoder::Outcome(FrameDecoder &decoder, const FrameSlot &frame)>;
    static FrameDecoder::Outcome judgeFrame(FrameDecoder &decoder, const FrameSlot &frame)
    {
        return decoder.judge(frame);
    }

    enum class Storage { Pictures, Payloads, Recording };

    // The decoder's outcomes and the files (or recorded frames) are counted into statistics.
    FrameStore(const QString &folder, const QString &prefix, Storage storage, StreamStatistics &statistics,
               Judge judge = judgeFrame);
    ~FrameStore() override;

    void take(const FrameSlot &frame, const QDateTime &arrival);
    // Frames taken and not yet given back.
    int inHand() const { return int(frames.size() + recorded.size()); }
    // Frames taken and not yet stored: those whose judgement may still be out.
    int unstored() const { return int(frames.size()); }
    // Stores the oldest frame in hand and gives it back. False when no frame is in hand, the
    // oldest one's judgement is still out, or its cluster is not yet written.
    bool giveBack(Entry &entry);
    // Writes the recording's gathered frames, so that they can be given back.
    void flush();
    // Closes the recording file; every frame stored is then given back.
    void close();
    // Why the recording file could not be written; empty while all is well.
    QString recordingError() const { return recordingFailure; }

    static QString statusWord(Status status) { return RecordIndex::statusWord(status); }

signals:
    // A judgement came in, emitted on the judging thread: connect it queued, and frames may be
    // given back then.
    void judged();

private:
    // Written once on a judging thread, then read here. A plain flag, not a future with a
    // continuation: those raced with the frame being given back and crashed now and then.
    struct Judgement
    {
        FrameDecoder::Outcome outcome = FrameDecoder::Outcome::Shown;
        std::atomic<bool> done{false};
    };
    struct InHand
    {
        FrameSlot frame;
        QDateTime arrival;
        std::shared_ptr<Judgement> judgement; // JPEG frames only
    };
    struct Recorded
    {
        Entry entry;
        bool settled = false; // false: in a cluster still gathered
    };
    Stored store(const FrameSlot &frame, FrameDecoder::Outcome judged);
    Stored record(const FrameSlot &frame, FrameDecoder::Outcome outcome);
    void closeRecording();
    void settle(Recorded &frame);

    StreamStatistics &statistics;
    const QString folder;
    const QString prefix;
    const Storage storage;
    const Judge judge;
    FrameDecoder decoder;
    QImage picture; // reused from frame to frame while nothing else holds it
    CaptureWriter capture;
    QThreadPool judges;
    std::deque<InHand> frames;
    MatroskaWriter recording;
    struct
    {
        qint32 format = -1;
        int width = 0;
        int height = 0;
    } recordingFormat; // of the open recording file
    QString recordingName; // its name in the folder, shared by the entries of its frames
    quint64 lastBoardTimeUs = 0; // of the frame last recorded
    int recordingFiles = 0;
    QString recordingFailure;
    std::deque<Recorded> recorded; // stored, in order, until their clusters are written
};
