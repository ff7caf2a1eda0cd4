#pragma once

#include "BoardProtocol.h"
#include "FrameRecord.h"

#include <QByteArray>
#include <QtGlobal>

#include <array>
#include <deque>

// What the stream client has to make of the bytes the simulator wrote: a model of the record
// parser (word-wise magic search, each piece taken whole, payload bound, a record cut off and the
// unread bytes dropped with the connection) fed with every connection's bytes. It predicts the
// frames the client completes, in order, and counts the sent records that were not one.
class StreamModel
{
public:
    struct Frame
    {
        std::array<qint32, BoardProtocol::HeaderFields> fields{}; // format, reserved, width, height, size, timestamp_s, _us
        QByteArray sensors;             // CLum then CPos
        qint64 record = -1;             // the sent record it is exactly, or -1 (begun by a false magic)
        bool intact = false;
        QByteArray payload;             // as sent, when record >= 0
    };

    // The previous connection is gone and with it whatever the parser had not taken.
    void connectionStarted();
    // Garbage holds no magic byte, so zeros stand in for it.
    void garbage(qsizetype length);
    void record(qint64 index, const FrameRecord &record, bool intact);
    // No more bytes: records still open are lost.
    void finish();

    // Frames the client is still to complete, oldest first.
    std::deque<Frame> expected;

    qint64 cuts = 0; // connections that ended inside a record
    qint64 intactLost = 0;
    qint64 damagedLost = 0; // well-formed records with damaged contents

private:
    enum State { WaitMagic, WaitHeader, WaitSensors, WaitPayload };
    struct Sent
    {
        qint64 index, start, end;
        bool intact, wellFormed;
        QByteArray payload;
    };

    void append(const QByteArray &bytes);
    bool take(char *out, qsizetype count); // null out: skip
    void process();
    void complete();
    void lose(const Sent &sent);

    std::deque<QByteArray> unread;
    qsizetype unreadOffset = 0; // into unread.front()
    qint64 fed = 0, consumed = 0; // offsets in all bytes sent; a connection's unread ones are skipped
    int connection = 0;
    State state = WaitMagic;
    qint64 magicOffset = 0;
    Frame current;
    std::deque<Sent> open; // records not yet completed or lost
};
