#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QStringList>

#include <optional>

class QTcpSocket;
class QTimer;
class WireDump;

// Streams a wire dump to each connection from its first byte: at the pace of the records' board
// timestamps (bytes between records going with the next record), at the pace a gigabit link
// brings its bytes, or as fast as the connection takes them, once or over and over. After the
// last byte of a single pass the connection stays open and silent, as a board that stopped
// sending would leave it. Each round after the first sends the dump unchanged but for the whole
// records' timestamps, which run on from the round before as a board's clock does: a clock that
// went back would read as a board that restarted.
class WireReplay : public QObject
{
    Q_OBJECT

public:
    enum class Rate { Recorded, Link, Max };

    // What a gigabit Ethernet link carries of TCP payload a second.
    static constexpr qint64 LinkBytesPerSecond = 119000000;

    // A connection with more than this queued gets nothing more until it has taken some.
    static constexpr qint64 WatermarkBytes = 1024 * 1024;
    static constexpr qint64 ChunkBytes = 256 * 1024;
    // A board clock that jumps or runs backwards must not stall the replay.
    static constexpr qint64 MaxRecordGapUs = 10 * 1000000;
    // A connection this late counts afresh rather than receive the missed records in a burst.
    static constexpr qint64 MaxLatenessUs = 100 * 1000;
    // Pace between rounds of a single-record dump, which has no timestamps to go by.
    static constexpr qint64 SingleRecordGapUs = 1000000 / 30;
    static constexpr qint64 TimestampBytes = 8; // seconds and microseconds

    static std::optional<Rate> rateFromName(const QString &name);
    static QStringList rateNames();

    // The dump must outlive the replay.
    WireReplay(const WireDump &dump, Rate rate, bool loop, QObject *parent = nullptr);

    void addClient(QTcpSocket *socket);

private:
    struct Cursor
    {
        qint64 position = 0;  // next byte to write
        qint64 sendUntil = 0; // end of what is due
        qint64 timeAt = -1;   // where the current record's timestamps go, when they are shifted
        int nextRecord = 0;
        qint64 roundStartUs = 0;
        qint64 clockShiftUs = 0; // added to the board times of this round
        QElapsedTimer clock;
        QTimer *wakeUp = nullptr;
    };

    void pump(QTcpSocket *socket);
    bool isDue(Cursor &cursor) const;
    static qint64 linkTimeUs(qint64 bytes);
    void writeShiftedTime(QTcpSocket *socket, const Cursor &cursor) const;

    const WireDump &dump;
    const Rate rate;
    const bool loop;
    const qint64 roundEnd;
    QList<qint64> dueUs; // each record's time after the first one's, gaps bounded
    qint64 roundSpanUs = 0;
    qint64 clockStepUs = 0; // from a round's first board time to the next round's
    QHash<QTcpSocket *, Cursor> cursors;
};
