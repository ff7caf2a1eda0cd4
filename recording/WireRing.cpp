#include "WireRing.h"

#include <algorithm>

void WireRing::append(const char *data, qint64 size)
{
    while (size > 0) {
        if (pieces.empty() || !pieces.back().block || pieces.back().bytes.size() == BlockBytes) {
            QByteArray block = std::move(spare);
            spare = QByteArray();
            block.reserve(BlockBytes);
            block.resize(0);
            pieces.push_back({total, std::move(block), true});
            held += BlockBytes;
        }
        QByteArray &last = pieces.back().bytes;
        const qint64 taken = std::min<qint64>(size, BlockBytes - last.size());
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
    pieces.push_back({total, bytes, false});
    total += bytes.size();
    held += bytes.size();
}

void WireRing::releaseBefore(qint64 offset)
{
    while (!pieces.empty() && pieces.front().offset + pieces.front().bytes.size() <= offset
           && (pieces.size() > 1 || !pieces.front().block)) {
        Piece &first = pieces.front();
        held -= first.block ? BlockBytes : first.bytes.size();
        if (first.block)
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
        const bool filling = piece->block && piece + 1 == pieces.end();
        if (within == 0 && length == piece->bytes.size() && !filling)
            taken.push_back(piece->bytes);
        else if (length > 0)
            taken.emplace_back(piece->bytes.constData() + within, qsizetype(length));
        first += length;
    }
    return taken;
}
