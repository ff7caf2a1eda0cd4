#include "WireRing.h"

#include <algorithm>
#include <utility>

void WireRing::append(const char *data, qint64 size)
{
    while (size > 0) {
        if (pieces.empty() || pieces.back().capacity == 0 || pieces.back().bytes.size() == pieces.back().capacity) {
            const qint64 capacity = std::clamp(size, SmallBlockBytes, BlockBytes);
            QByteArray block;
            if (spare.capacity() >= capacity)
                block = std::exchange(spare, QByteArray());
            block.reserve(capacity);
            block.resize(0);
            pieces.push_back({total, std::move(block), capacity});
            held += capacity;
        }
        const qint64 capacity = pieces.back().capacity;
        QByteArray &last = pieces.back().bytes;
        const qint64 taken = std::min<qint64>(size, capacity - last.size());
        last.append(data, taken);
        data += taken;
        size -= taken;
        total += taken;
    }
}

void WireRing::appendShared(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    pieces.push_back({total, bytes, 0});
    total += bytes.size();
    held += bytes.size();
}

void WireRing::releaseBefore(qint64 offset)
{
    while (!pieces.empty() && pieces.front().offset + pieces.front().bytes.size() <= offset
           && (pieces.size() > 1 || pieces.front().capacity == 0)) {
        Piece &first = pieces.front();
        held -= first.capacity ? first.capacity : first.bytes.size();
        if (first.capacity > spare.capacity())
            spare = std::move(first.bytes);
        pieces.pop_front();
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
        const qint64 length = std::min<qint64>(end - first, piece->bytes.size() - within);
        // The block being filled is copied from: shared, it would be copied whole at the next append.
        const bool filling = piece->capacity > 0 && piece + 1 == pieces.end();
        if (within == 0 && length == piece->bytes.size() && !filling)
            taken.push_back(piece->bytes);
        else if (length > 0)
            taken.emplace_back(piece->bytes.constData() + within, qsizetype(length));
        first += length;
    }
    return taken;
}
