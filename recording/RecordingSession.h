#pragma once

#include "FrameDecoder.h"
#include "FrameSlot.h"
#include "FrameStorage.h"
#include "RecordIndex.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class StreamStatistics;

// One recording: takes frames as they come, stores them in that order through its storage once
// judged, gives them back once the storage says they are safe and writes their index rows. The
// decoder's outcomes and the files written or failed are counted into the statistics.
// Judging a JPEG means reading every coefficient, and one core reads them only about as fast as
// a gigabit link brings them; so JPEG frames are judged on other threads while the next ones
// come, their judgements coming back through the event loop of the session's own thread.
// Nothing here waits: judged() says when frames taken may have been stored.
class RecordingSession : public QObject
{
    Q_OBJECT

public:
    // Frames a recorder keeps in hand, judged ahead of the oldest one not yet stored: enough to
    // keep every core busy. With this many unstored it takes no more until judged() comes.
    static constexpr int MaxFramesInHand = 16;

    // How a JPEG frame is judged, on one of the judging threads.
    using Judge = std::function<FrameDecoder::Outcome(FrameDecoder &decoder, const FrameSlot &frame)>;
    static FrameDecoder::Outcome judgeFrame(FrameDecoder &decoder, const FrameSlot &frame)
    {
        return decoder.judge(frame);
    }

    RecordingSession(std::unique_ptr<FrameStorage> storage, const QString &indexPath, StreamStatistics &statistics,
                     Judge judge = judgeFrame, QObject *parent = nullptr);
    ~RecordingSession() override;

    // Opens the index, replacing an earlier one; false with errorString() when it cannot. With no
    // index path, no index is kept.
    bool open();
    void take(const FrameSlot &frame, const QDateTime &arrival);
    // While held, index rows gather and are written together once let go.
    void holdRows(bool hold);
    // Writes the frames the storage gathers, so that they can be given back and indexed.
    void flush();
    // No more frames: once every one taken is judged and stored, the storage is closed, the last
    // rows written and finished() emitted.
    void finish();

    // Frames taken and not yet given back.
    int inHand() const { return int(unjudged.size() + unsafe.size()); }
    // Frames taken and not yet stored: those whose judgement may still be out.
    int unstored() const { return int(unjudged.size()); }
    qint64 framesTaken() const { return taken; }
    qint64 framesIndexed() const { return rows; }
    // The first failure, of the storage or the index; empty while all is well.
    QString errorString() const { return error; }

signals:
    // A judgement came in and frames may have been stored: emitted from the event loop of the
    // session's thread, never within a call to the session.
    void judged();
    // The first frame in a file after frames in another, once it is safe: each file once, in order.
    void fileWritten(const QString &name);
    // Each frame given back, in the order taken, with its row as the index has it (even once the
    // index could not be written), its number counting every frame given back.
    void frameGivenBack(const RecordIndex::Row &row);
    void failed(const QString &error);
    void finished();

private:
    struct Unjudged
    {
        FrameSlot frame;
        QDateTime arrival;
        bool judgedApart = false; // a JPEG, judged on another thread
        std::optional<FrameDecoder::Outcome> judgement;
    };
    struct Unsafe
    {
        FrameSlot frame;
        QDateTime arrival;
    };
    void judgementIn(qint64 serial, FrameDecoder::Outcome outcome);
    void advance();
    void storeJudged();
    void giveBackSafe();
    void writeRows();
    void endWhenStored();
    void fail(const QString &text);

    const std::unique_ptr<FrameStorage> storage;
    StreamStatistics &statistics;
    const Judge judge;
    const QString indexPath;
    RecordIndex index;
    QThreadPool judges;
    std::deque<Unjudged> unjudged;
    qint64 firstUnjudgedSerial = 0;
    std::deque<Unsafe> unsafe; // stored, in order, until the storage gives them back
    qint64 taken = 0;
    qint64 givenBack = 0;
    qint64 rows = 0;
    QString lastFile;
    QString error;
    bool rowsHeld = false;
    bool indexFailed = false;
    bool finishing = false;
    bool ended = false;
};
