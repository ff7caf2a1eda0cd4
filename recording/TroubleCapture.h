#pragma once

#include "FrameLossEstimator.h"
#include "StreamTiming.h"
#include "TroubleClip.h"
#include "WireRing.h"

#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <deque>

struct FrameSlot;

// Keeps the last seconds of a stream's bytes as received and, at each trouble (a frame lost at the
// board, damaged or late, a record dropped for its size, a lost connection), writes the seconds
// before and after it, by the board's clock, as a clip (see TroubleClip): nothing while the stream
// is clean. A trouble within a clip's after-time extends the clip. A clip starts at a record's
// first byte and ends at a record's last, and holds no bytes of another connection: a lost
// connection ends its clip with the connection's last bytes.
// Fed by whoever reads the stream, in order: every byte the parser takes, then each record as the
// parser completes or refuses it, and the judgement of frames found damaged, which may come a
// little later. Clips are written on a thread of their own, so that writing the seconds before a
// trouble never holds up the reader, which would make troubles of its own; bytes handed to that
// thread count in the memory until written, whether or not the ring still holds them.
class TroubleCapture : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString folder;
        QString prefix; // clips are <folder>/<prefix>trouble-N, N from 1, each a folder not there before
        qint64 keptUs = 10 * StreamTiming::MicrosPerSecond;
        qint64 memoryBytes = qint64(512) << 20; // the ring's bytes and records at most
        QJsonObject about; // the program, its version and options, for each clip's trouble.json
        // The running program, its arguments and the seconds and memory set, as `about`.
        void describeProgram(const QStringList &arguments);
    };
    // Damage may be known this long after a frame came (judged on other threads): the ring keeps
    // this much more than asked, so a damaged frame still has its seconds before.
    static constexpr qint64 JudgingMarginUs = 2 * StreamTiming::MicrosPerSecond;
    // What each record held costs beside its bytes: its mark (64), its two pieces of the ring
    // (2 x 56), its payload's heap header and the timing's sample, rounded up.
    static constexpr qint64 RecordMarkBytes = 256;
    // Beyond the memory limit, the bytes a clip has not yet written may take this much before the
    // clip is ended ("writing fell behind"): letting them go would leave holes in the clip.
    static constexpr qint64 UnwrittenBytes = qint64(32) << 20;
    // Memory beside the ring: the bytes not yet written, the block being filled, the timing, the
    // clip's own buffers.
    static constexpr qint64 FixedMemoryBytes = UnwrittenBytes + (qint64(32) << 20);
    // The clip's thread is handed about this much at a time, so that the ring can let go of the
    // seconds before a trouble as they are written.
    static constexpr qint64 HandOverBytes = qint64(1) << 20;

    explicit TroubleCapture(const Settings &settings, QObject *parent = nullptr);
    ~TroubleCapture() override;

    // The rate the board was set to: the nominal period late frames are judged by.
    void setFrameRate(int framesPerSecond) { timing.setFrameRate(framesPerSecond); }
    void wireBytes(const char *data, qint64 size);
    // Bytes of the stream read straight into the payload of the frame being read: kept by sharing
    // that payload once the frame is complete (or, cut off, once the reader hands them over).
    void payloadBytes(qint64 size) { deferredPayload += size; }
    // The payload read so far of a record the connection's end cut off.
    void payloadCutOff(const QByteArray &readSoFar);
    // Frames are numbered in the order completed, from 0.
    void frameCompleted(const FrameSlot &frame, qint64 arrivalUs);
    void recordDropped(const FrameSlot &header, qint64 arrivalUs);
    void frameDamaged(qint64 frame);
    void connectionStarted();
    void connectionLost(qint64 nowUs);
    // Ends the clip being written; finished() once every clip is written, at once when none is.
    void finish();

    // Whether finished() was emitted.
    bool isFinished() const { return finishedSent; }
    qint64 framesCompleted() const { return nextFrame; }
    int clipsWritten() const { return clipsDone; }
    // The ring's bytes, those the ring let go that a clip has not yet written, and the records'
    // marks.
    qint64 memoryHeld() const;

signals:
    // One line for a log: the clip's folder, its troubles, frames and bytes.
    void clipWritten(const QString &description);
    // One line for a log: troubles that came while a clip that fell behind was still being
    // written, and were not clipped.
    void troublesNotClipped(const QString &description);
    void failed(const QString &error);
    void finished();

private:
    struct Mark
    {
        qint64 start; // the record's first byte in the stream
        qint64 end;
        qint64 boardUs; // as the timing runs it on within a run
        qint64 sentBoardUs; // as the board sent it
        qint64 arrivalUs;
        qint64 frame; // the frame's number; of a dropped record, the next frame's
        qint64 run; // a connection or a run of the board's clock
        bool dropped;
    };
    struct OpenClip
    {
        TroubleClip *clip = nullptr;
        qint64 run = 0;
        qint64 start = 0;
        qint64 writtenUpTo = 0;
        qint64 limitBoardUs = 0; // records after this board time end it
        qint64 limitArrivalUs = 0; // and so does a stream that stops until then
        double secondsBefore = 0; // of board time held before the first trouble
        bool memoryLimited = false;
    };
    void recordEnded(qint64 start, const FrameSlot &header, qint64 arrivalUs, bool dropped);
    void addTrouble(size_t mark, TroubleKind kind, quint32 count = 0, qint64 arrivalUs = -1);
    void openClip(size_t mark);
    bool covers(const Mark &mark) const;
    void writeMark(const Mark &mark);
    // Hands the clip being written its bytes up to `end` and the records they end.
    void writeUpTo(qint64 end, std::vector<TroubleClip::Arrival> records);
    // Forgets the pieces the clips' thread has written.
    void countWritten();
    void closeClip(const QString &reason);
    void closeClipBefore(const Mark &outside);
    void clipClosed(TroubleClip *clip, const QString &description);
    void letGo();
    void reportSkipped();
    void finishWhenWritten();

    const Settings settings;
    const qint64 wallClockOffsetUs;
    WireRing ring;
    qint64 deferredPayload = 0; // payload bytes read, not yet in the ring
    std::deque<Mark> marks;
    FrameLossEstimator loss;
    StreamTiming timing;
    qint64 nominalUs = 0;
    qint64 nominalFromBoardUs = -1; // the board time the nominal period was last worked out at
    qint64 nextFrame = 0;
    qint64 run = 0;
    qint64 recordsThisConnection = 0;
    qint64 memoryCutRun = -1; // the run and board time of the newest record let go for memory
    qint64 memoryCutBoardUs = 0;
    OpenClip current;
    std::vector<TroubleClip *> closing;
    QThread writer;
    struct Piece
    {
        qint64 start;
        qint64 end;
    };
    std::deque<Piece> unwritten; // handed over to the clips' thread, oldest first
    std::atomic<qint64> piecesWritten{0}; // counted on that thread, which writes them in order
    qint64 piecesLetGo = 0;
    int clipNumber = 0; // of the last clip
    int clipsDone = 0;
    bool writerBehind = false; // since a clip fell behind, until its bytes are written
    qint64 troublesSkipped = 0; // meanwhile
    bool finishing = false;
    bool finishQueued = false;
    bool finishedSent = false;
    QTimer afterTime;
};
