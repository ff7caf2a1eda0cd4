#pragma once

#include "FramePath.h"
#include "FrameSlot.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <deque>
#include <functional>
#include <future>

class StreamStatistics;

// Stores each frame as the window's capture would, through the stream library's own picture
// path and capture writer: JPEG as received (.jpg), raw colour and Gray frames as BMP pictures
// or, with raw chosen, as received (.bvt). One running number across all of them.
// Judging a JPEG means reading every coefficient, and one core reads them only about as fast as
// a gigabit link brings them; so JPEG frames are judged on other threads while the next ones
// arrive, and each frame is stored and given back once its judgement is in, in the order the
// frames came.
class FrameStore
{
public:
    enum class Status { Stored, Damaged, Failed };
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

    // The picture path and the capture writer count into statistics.
    FrameStore(const QString &folder, const QString &prefix, bool raw, StreamStatistics &statistics);
    ~FrameStore();
    FrameStore(const FrameStore &) = delete;
    FrameStore &operator=(const FrameStore &) = delete;

    void take(const FrameSlot &frame, const QDateTime &arrival);
    // Called on this object's thread when a judgement has come in, so that frames are stored
    // as soon as they can be, and not only when the next frame arrives.
    std::function<void()> onJudged;
    // Frames taken and not yet given back.
    int inHand() const { return int(frames.size()); }
    // Stores the oldest frame in hand and gives it back, if its judgement is in or, with wait,
    // once it is. False when no frame is in hand, or none is ready and wait is false.
    bool giveBack(Entry &entry, bool wait);

    static QString statusWord(Status status);

private:
    struct InHand
    {
        FrameSlot frame;
        QDateTime arrival;
        std::future<FramePath::Outcome> judgement; // JPEG frames only
    };
    FramePath framePath;
    const bool raw;
    QThreadPool judges;
    QObject judgedNotices; // lives on this object's thread; the judges post to it
    std::deque<InHand> frames;
};
