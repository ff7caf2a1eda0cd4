#include "StreamStatistics.h"

#include "FrameSlot.h"

#include <QStringList>

#include <algorithm>
#include <chrono>

qint64 StreamStatistics::clockUs()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

bool StreamCounters::troubleGrewSince(const StreamCounters &earlier) const
{
    return framesLostAtBoard > earlier.framesLostAtBoard || framesDamaged > earlier.framesDamaged
        || recordsDropped > earlier.recordsDropped;
}

void StreamStatistics::frameReceived(const FrameStamp &stamp, qint64 recordBytes, qint64 arrivalUs)
{
    ++counts.framesReceived;
    const quint64 lost = lossEstimator.addRecord(stamp);
    counts.framesLostAtBoard += lost;
    frameTiming.add(FrameSlot::boardTimeUs(stamp.timestamp_s, stamp.timestamp_us), arrivalUs,
                    quint32(std::min<quint64>(lost, UINT32_MAX)));
    recordBytesReceived(recordBytes, arrivalUs / 1000);
}

void StreamStatistics::recordBytesReceived(qint64 recordBytes, qint64 nowMs)
{
    const qint64 slot = std::max<qint64>(nowMs, 0) / ThroughputSlotMs;
    if (slot > newestSlot) {
        const qint64 firstStale = std::max(newestSlot + 1, slot - RingSlots + 1);
        for (qint64 s = firstStale; s <= slot; ++s)
            slotBytes[s % RingSlots] = 0;
        newestSlot = slot;
    }
    // A clock that never goes back is assumed; a late call joins the newest slot.
    slotBytes[newestSlot % RingSlots] += std::max<qint64>(recordBytes, 0);
}

void StreamStatistics::recordDropped(const FrameStamp &stamp, qint64 arrivalUs)
{
    ++counts.recordsDropped;
    const quint64 lost = lossEstimator.addRecord(stamp);
    counts.framesLostAtBoard += lost;
    frameTiming.add(FrameSlot::boardTimeUs(stamp.timestamp_s, stamp.timestamp_us), arrivalUs,
                    quint32(std::min<quint64>(lost, UINT32_MAX)));
    frameTiming.markNewestDamaged();
}

void StreamStatistics::bytesSkipped(qint64 bytes)
{
    counts.bytesSkipped += quint64(std::max<qint64>(bytes, 0));
}

void StreamStatistics::reset()
{
    counts = StreamCounters();
    lossEstimator.restart();
    frameTiming.clear();
    slotBytes.fill(0);
    newestSlot = -1;
}

qint64 StreamStatistics::bytesPerSecond(qint64 nowMs) const
{
    // The whole slots of the last second; the one still filling is left out. The ring still holds
    // each of them while the current slot fills, so the sum covers a whole second.
    const qint64 currentSlot = std::max<qint64>(nowMs, 0) / ThroughputSlotMs;
    const qint64 first = std::max(currentSlot - ThroughputSlots, newestSlot - RingSlots + 1);
    const qint64 last = std::min(currentSlot - 1, newestSlot);
    qint64 bytes = 0;
    for (qint64 s = std::max<qint64>(first, 0); s <= last; ++s)
        bytes += slotBytes[s % RingSlots];
    return bytes;
}

QString StreamStatistics::throughputText(qint64 nowMs) const
{
    return QString::number(bytesPerSecond(nowMs) / 1e6, 'f', 1) + QLatin1String(" MB/s");
}

QString StreamStatistics::readoutText(qint64 nowMs) const
{
    QString text = throughputText(nowMs) + QStringLiteral(" \u00B7 %1 lost \u00B7 %2 damaged")
                                               .arg(counts.framesLostAtBoard)
                                               .arg(counts.framesDamaged);
    // Dropped records turn the readout red too: say why.
    if (counts.recordsDropped > 0)
        text += QStringLiteral(" \u00B7 %1 dropped").arg(counts.recordsDropped);
    return text;
}

QString StreamStatistics::detailText(qint64 nowMs) const
{
    const QStringList lines = {
        QStringLiteral("Frames received: %1").arg(counts.framesReceived),
        QStringLiteral("Frames shown: %1").arg(counts.framesShown),
        QStringLiteral("Frames damaged: %1").arg(counts.framesDamaged),
        QStringLiteral("Frames hidden: %1").arg(counts.framesHidden),
        QStringLiteral("Frames lost at the board: %1").arg(counts.framesLostAtBoard),
        QStringLiteral("Records dropped: %1").arg(counts.recordsDropped),
        QStringLiteral("Bytes skipped: %1").arg(counts.bytesSkipped),
        QStringLiteral("Connections lost: %1").arg(counts.connectionsLost),
        QStringLiteral("Capture files written: %1").arg(counts.captureFilesWritten),
        QStringLiteral("Capture failures: %1").arg(counts.captureFailures),
        QStringLiteral("Throughput: ") + throughputText(nowMs),
    };
    return lines.join(QLatin1Char('\n'));
}
