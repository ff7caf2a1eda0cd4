#pragma once

#include "CaptureWriter.h"
#include "FrameDecoder.h"
#include "FrameSlot.h"

#include <QDateTime>
#include <QFuture>
#include <QImage>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <deque>
#include <functional>

class StreamStatistics;

// Stores each frame as the window's capture would, through the stream library's frame decoder
// and capture writer: JPEG as received (.jpg), raw colour and Gray frames as BMP pictures or,
// with raw chosen, as received (.bvt). One running number across all of them.
// Judging a JPEG means reading every coefficient, and one core reads them only about as fast as
// a gigabit link brings them; so JPEG frames are judged on other threads while the next ones
// arrive, and each frame is stored and given back once its judgement is in, in the order the
// frames came. Nothing here waits: judged() says when frames can be given back.
class FrameStore : public QObject
{
    Q_OBJECT

public:
    enum class Status { Stored, Damaged, Hidden, Failed };
    struct Stored
    {
        Status status = Status::Stored;
        QString file; // name in the folder; empty when nothing was written
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

    // The decoder's outcomes and the capture writer's files are counted into statistics.
    FrameStore(const QString &folder, const QString &prefix, bool raw, StreamStatistics &statistics,
               Judge judge = judgeFrame);
    ~FrameStore() override;

    void take(const FrameSlot &frame, const QDateTime &arrival);
    // Frames taken and not yet given back.
    int inHand() const { return int(frames.size()); }
    // Stores the oldest frame in hand and gives it back. False when no frame is in hand or the
    // oldest one's judgement is still out.
    bool giveBack(Entry &entry);

    static QString statusWord(Status status);

signals:
    // A judgement came in, emitted on the judging thread: connect it queued, and frames may be
    // given back then.
    void judged();

private:
    struct InHand
    {
        FrameSlot frame;
        QDateTime arrival;
        QFuture<FrameDecoder::Outcome> judgement; // JPEG frames only
    };
    Stored store(const FrameSlot &frame, FrameDecoder::Outcome judged);

    StreamStatistics &statistics;
    const bool raw;
    const Judge judge;
    FrameDecoder decoder;
    QImage picture; // reused from frame to frame while nothing else holds it
    CaptureWriter capture;
    QThreadPool judges;
    std::deque<InHand> frames;
};
