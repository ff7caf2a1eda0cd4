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
    // A block is as large as the bytes that begin it, from this up to BlockBytes (or the spare
    // block reused), and its whole size counts as held. The headers between shared payloads fill
    // one block after another.
    static constexpr qint64 SmallBlockBytes = 4 << 10;

    void append(const char *data, qint64 size);
    // Bytes kept by sharing, for as long as they are held.
    void appendShared(const QByteArray &bytes);
    // Pieces wholly before `offset` are let go.
    void releaseBefore(qint64 offset);
    // The bytes first..end-1, all still held, in order: shared payloads and whole blocks are
    // shared, not copied, and stay valid once let go. Empty when they are not all held.
    std::vector<QByteArray> slices(qint64 first, qint64 end) const;

    qint64 end() const { return total; }
    // The first byte still held.
    qint64 start() const { return pieces.empty() ? total : pieces.front().offset; }
    qint64 memoryBytes() const { return held; }

private:
    struct Block
    {
        QByteArray bytes; // sized to the block's capacity when made
        qint64 filled = 0;
        qint64 pieces = 0; // held that lie in it
    };
    struct Piece
    {
        qint64 offset; // of its first byte in the stream
        qint64 size;
        QByteArray shared; // a shared payload; else the bytes lie in a block
        qint64 block = -1; // the block's number, counted from the first ever made
        qint64 within = 0; // where in the block
    };
    Block &blockNumbered(qint64 number) { return blocks[std::size_t(number - firstBlock)]; }
    const Block &blockNumbered(qint64 number) const { return blocks[std::size_t(number - firstBlock)]; }

    std::deque<Piece> pieces;
    std::deque<Block> blocks; // the last is being filled
    qint64 firstBlock = 0; // the number of blocks.front()
    QByteArray spare; // a block let go, reused for the next
    qint64 total = 0;
    qint64 held = 0; // bytes of memory the blocks and the shared payloads take
};
