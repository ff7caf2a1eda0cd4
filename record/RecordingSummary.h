#pragma once

#include "RecordIndex.h"
#include "TroubleKind.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <utility>
#include <vector>

class RecorderOptions;
class StreamStatistics;
struct FrameSlot;

// What a recording came to, for a rig to read: one JSON document, written whole or not at all.
// The troubles of frames judged or written and of connections it hears of as they come; frames
// lost at the board, late frames and records dropped it finds at the end in the stream's timing,
// told where each frame of the index lies in it.
class RecordingSummary
{
public:
    // However bad the stream, the document stays one a rig can read: troubles past this many are
    // only counted.
    static constexpr int MaxTroubles = 10000;

    // Starts the host's clock of the recording.
    RecordingSummary(const RecorderOptions &options, const StreamStatistics &statistics);

    // The frame just received, which the index numbers next; the timing has just taken it.
    void frameTaken(const FrameSlot &frame);
    // A frame's row, as the index has it once the frame is stored or failed.
    void frameGivenBack(const RecordIndex::Row &row);
    // Before the next frame taken.
    void connectionLost();

    struct Ending
    {
        qint64 bytesReceived = 0;
        qint64 elapsedMs = 0;
        QString error; // what ended the recording, if anything went wrong
    };
    QJsonObject document(const Ending &ending) const;
    // Through a temporary file renamed at the end; false with the reason in problem.
    static bool write(const QString &path, const QJsonObject &document, QString &problem);
    // Whether a summary could be written there, tried before recording for an hour in vain.
    static bool canWrite(const QString &path, QString &problem);

private:
    using Kind = TroubleKind;
    struct Trouble
    {
        qint64 place; // the record's in the timing; of a lost connection, the next record's
        Kind kind;
        qint64 boardUs; // as the board sent it; -1: none
        quint32 count;  // frames lost
    };
    // Each kind keeps its first troubles, in order: enough for the first of them all.
    struct Troubles
    {
        std::vector<Trouble> kept;
        qint64 count = 0;
        void add(const Trouble &trouble);
    };

    // Every kind's troubles in the order they happened, and how many were left out.
    QJsonArray troubleList(qint64 &leftOut) const;
    // The board's time of a record as it sent it, which the timing's runs on across the wrap of
    // the board's clock.
    qint64 sentBoardUs(qint64 place) const;

    const RecorderOptions &options;
    const StreamStatistics &statistics;
    const QDateTime startedAt;
    qint64 framesTaken = 0;
    qint64 firstBoardUs = -1;
    qint64 lastBoardUs = -1;
    std::vector<qint64> droppedRecords; // their places in the timing, in order
    // From each place on, the time the board sent less the timing's, as its frames showed it.
    std::vector<std::pair<qint64, qint64>> sentOffsets;
    Troubles judged; // damaged and failed frames, each place the frame's record until the end
    Troubles connections;
};
