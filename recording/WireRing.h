#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <deque>
#include <vector>

// The newest bytes of a stream, numbered from the stream's first byte: appended at the end, let
// go from the front. Small pieces are copied into blocks; a payload the reader already holds in a
// buffer of its own is kept by sharing that buffer, never copied, so keeping a fast stream costs
// little more than reading it. Memory follows what is held, not the most that ever was.
class WireRing
{
public:
    static constexpr qint64 BlockBytes = 256 << 10;
    // A block is as large as the bytes that begin it, from this up to BlockBytes: between shared
    // payloads come only headers, and a block's whole size counts as held.
    static constexpr qint64 SmallBlockBytes = 4 << 10;

    void append(const char *data, qint64 size);
    // Bytes kept by sharing, for as long as they are held.
    void appendShared(const QByteArray &bytes);
    // Pieces wholly before `offset` are let go.
    void releaseBefore(qint64 offset);
    // The bytes first..end-1, all still held, in order: pieces the ring holds whole are shared,
    // not copied, and stay valid once let go. Empty when they are not all held.
    std::vector<QByteArray> slices(qint64 first, qint64 end) const;

    qint64 end() const { return total; }
    // The first byte still held.
    qint64 start() const { return pieces.empty() ? total : pieces.front().offset; }
    qint64 memoryBytes() const { return held; }

private:
    struct Piece
    {
        qint64 offset; // of its first byte in the stream
        QByteArray bytes;
        qint64 capacity; // of a block copied into; 0 when shared
    };
    std::deque<Piece> pieces;
    QByteArray spare; // a block let go, reused for the next
    qint64 total = 0;
    qint64 held = 0; // bytes of memory the pieces take
};
