#include "WireRing.h"

#include <algorithm>
#include <cstring>
#include <utility>

void WireRing::append(const char *data, qint64 size)
{
    while (size > 0) {
        if (blocks.empty() || blocks.back().filled == blocks.back().bytes.size()) {
            const qint64 capacity = std::clamp(size, SmallBlockBytes, BlockBytes);
            QByteArray bytes;
            if (spare.size() >= capacity && spare.isDetached()) // no clip reads from it any more
                bytes = std::exchange(spare, QByteArray());
            else
                bytes.resize(capacity);
            held += bytes.size();
            blocks.push_back({std::move(bytes), 0, 0});
        }
        Block &block = blocks.back();
        const qint64 number = firstBlock + qint64(blocks.size()) - 1;
        const qint64 taken = std::min<qint64>(size, block.bytes.size() - block.filled);
        std::memcpy(block.bytes.data() + block.filled, data, std::size_t(taken));
        if (!pieces.empty() && pieces.back().block == number)
            pieces.back().size += taken; // straight after the piece before, in the same block
        else {
            pieces.push_back({total, taken, {}, number, block.filled});
            ++block.pieces;
        }
        block.filled += taken;
        data += taken;
        size -= taken;
        total += taken;
    }
}

void WireRing::appendShared(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    pieces.push_back({total, bytes.size(), bytes});
    total += bytes.size();
    held += bytes.size();
}

void WireRing::releaseBefore(qint64 offset)
{
    while (!pieces.empty() && pieces.front().offset + pieces.front().size <= offset) {
        const Piece &first = pieces.front();
        if (first.block >= 0)
            --blockNumbered(first.block).pieces;
        else
            held -= first.size;
        pieces.pop_front();
    }
    // Blocks go once none of their pieces is held; the one being filled stays.
    while (blocks.size() > 1 && blocks.front().pieces == 0) {
        held -= blocks.front().bytes.size();
        if (blocks.front().bytes.size() >= spare.size())
            spare = std::move(blocks.front().bytes);
        blocks.pop_front();
        ++firstBlock;
    }
}

std::vector<QByteArray> WireRing::slices(qint64 first, qint64 end) const
{
    std::vector<QByteArray> taken;
    if (first < start() || end > total || first >= end)
        return taken;
    auto piece = std::upper_bound(pieces.begin(), pieces.end(), first,
                                  [](qint64 at, const Piece &p) { return at < p.offset; });
    --piece; // the piece holding `first`
    for (; first < end; ++piece) {
        const qint64 within = first - piece->offset;
        const qint64 length = std::min<qint64>(end - first, piece->size - within);
        const bool whole = within == 0 && length == piece->size;
        if (piece->block < 0) {
            if (whole)
                taken.push_back(piece->shared);
            else
                taken.emplace_back(piece->shared.constData() + within, qsizetype(length));
        } else {
            // A full block that is one piece is shared: nothing is written to it any more.
            const Block &block = blockNumbered(piece->block);
            if (whole && piece->within == 0 && piece->size == block.bytes.size())
                taken.push_back(block.bytes);
            else
                taken.emplace_back(block.bytes.constData() + piece->within + within, qsizetype(length));
        }
        first += length;
    }
    return taken;
}
