#include "SourceTiming.h"

#include "FrameLossEstimator.h"
#include "FrameSource.h"
#include "RecordIndex.h"

StreamTiming SourceTiming::read(FrameSource &source, const std::function<bool()> &stopped)
{
    StreamTiming timing;
    if (!source.hasBoardTime())
        return timing;
    FrameLossEstimator loss;
    FrameSlot header;
    for (qint64 i = 0; i < source.count() && !(stopped && stopped()); ++i) {
        if (!source.header(i, header))
            break;
        const quint64 lost = loss.addRecord({header.format, header.width, header.height, header.timestamp_s,
                                             header.timestamp_us});
        const QDateTime arrival = source.arrival(i);
        timing.add(header.boardTimeUs(), arrival.isNull() ? -1 : arrival.toMSecsSinceEpoch() * 1000,
                   quint32(std::min<quint64>(lost, UINT32_MAX)));
        if (RecordIndex::isTroubleStatus(source.recordedStatus(i)))
            timing.markNewestDamaged();
    }
    return timing;
}
