#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <deque>
#include <functional>

// The newest bytes of a stream, numbered from the stream's first byte: appended at the end, let
// go from the front. Kept in blocks, so that letting go and growing cost no copying, and memory
// follows what is held, not the most that ever was.
class WireRing
{
public:
    static constexpr qint64 BlockBytes = 256 << 10;

    void append(const char *data, qint64 size);
    // Bytes before `offset` are let go (whole blocks only).
    void releaseBefore(qint64 offset);
    // Hands the bytes first..end-1, all still held, to `take` piece by piece, in order; false
    // when they are not all held or take() returns false.
    bool copy(qint64 first, qint64 end, const std::function<bool(const char *, qint64)> &take) const;

    qint64 end() const { return total; }
    // The first byte still held.
    qint64 start() const { return firstHeld; }
    qint64 memoryBytes() const { return qint64(blocks.size()) * BlockBytes; }

private:
    std::deque<QByteArray> blocks; // each BlockBytes long but the last, being filled
    QByteArray spare; // a block let go, reused for the next
    qint64 firstHeld = 0; // the offset of the first block's first byte
    qint64 total = 0;
};
