#include "FrameMarkScan.h"

#include "FrameSource.h"
#include "RecordIndex.h"

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

qint64 FrameMarkScan::nearestMarked(qint64 from, int step) const
{
    for (qint64 i = from + step; i >= 0 && i < next; i += step) {
        if (marks[size_t(i)])
            return i;
    }
    return -1;
}
