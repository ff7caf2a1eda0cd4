#include "WireRing.h"

#include <algorithm>

void WireRing::append(const char *data, qint64 size)
{
    while (size > 0) {
        if (blocks.empty() || blocks.back().size() == BlockBytes) {
            QByteArray block = spare.isNull() ? QByteArray() : std::move(spare);
            spare = QByteArray();
            block.reserve(BlockBytes);
            block.resize(0);
            blocks.push_back(std::move(block));
        }
        QByteArray &last = blocks.back();
        const qint64 taken = std::min<qint64>(size, BlockBytes - last.size());
        last.append(data, taken);
        data += taken;
        size -= taken;
        total += taken;
    }
}

void WireRing::releaseBefore(qint64 offset)
{
    while (!blocks.empty() && firstHeld + blocks.front().size() <= offset && blocks.front().size() == BlockBytes) {
        spare = std::move(blocks.front());
        blocks.pop_front();
        firstHeld += BlockBytes;
    }
}

bool WireRing::copy(qint64 first, qint64 end, const std::function<bool(const char *, qint64)> &take) const
{
    if (first < firstHeld || end > total)
        return false;
    while (first < end) {
        const qint64 block = (first - firstHeld) / BlockBytes;
        const qint64 within = (first - firstHeld) % BlockBytes;
        const QByteArray &bytes = blocks[size_t(block)];
        const qint64 length = std::min<qint64>(end - first, bytes.size() - within);
        if (!take(bytes.constData() + within, length))
            return false;
        first += length;
    }
    return true;
}
