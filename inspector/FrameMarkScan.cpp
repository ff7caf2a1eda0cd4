#include "FrameMarkScan.h"

#include "FrameSource.h"
#include "RecordIndex.h"

#include <algorithm>

FrameMarkScan::FrameMarkScan(FrameSource &source) : source(source)
{
    marks.reserve(size_t(source.count()));
}

bool FrameMarkScan::scan(qint64 frames)
{
    FrameSlot slot;
    for (qint64 done = 0; done < frames && next < source.count(); ++done, ++next) {
        quint8 mark = 0;
        const bool read = source.frame(next, slot);
        if (!read || RecordIndex::isTroubleStatus(source.recordedStatus(next)))
            mark |= Damaged;
        else if (source.picture(next).isNull() && FrameDecoder::isDamage(decoder.judge(slot)))
            mark |= Damaged;
        if (read && loss.addRecord({slot.format, slot.width, slot.height, slot.timestamp_s,
                                    slot.timestamp_us}) > 0)
            mark |= Lost;
        marks.push_back(mark);
    }
    return complete();
}

bool FrameMarkScan::complete() const
{
    return next >= source.count();
}

quint8 FrameMarkScan::mark(qint64 index) const
{
    const quint8 scanned = index >= 0 && index < next ? marks[size_t(index)] : 0;
    return scanned | (std::binary_search(listed.begin(), listed.end(), index) ? Listed : 0);
}

qint64 FrameMarkScan::nearestMarked(qint64 from, int step) const
{
    qint64 found = -1;
    for (qint64 i = from + step; i >= 0 && i < next; i += step) {
        if (marks[size_t(i)]) {
            found = i;
            break;
        }
    }
    // Listed troubles count before the scan reaches them.
    if (step > 0) {
        const auto after = std::upper_bound(listed.begin(), listed.end(), from);
        if (after != listed.end() && (found < 0 || *after < found))
            found = *after;
    } else {
        const auto notBefore = std::lower_bound(listed.begin(), listed.end(), from);
        if (notBefore != listed.begin() && *std::prev(notBefore) >= 0 && *std::prev(notBefore) > found)
            found = *std::prev(notBefore);
    }
    return found;
}

void FrameMarkScan::listTroubles(std::vector<qint64> frames)
{
    std::sort(frames.begin(), frames.end());
    frames.erase(std::unique(frames.begin(), frames.end()), frames.end());
    frames.erase(std::remove_if(frames.begin(), frames.end(),
                                [this](qint64 frame) { return frame < 0 || frame >= source.count(); }),
                 frames.end());
    listed = std::move(frames);
}
