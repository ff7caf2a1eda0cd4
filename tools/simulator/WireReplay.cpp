#include "WireReplay.h"

#include "WireDump.h"

#include "BoardProtocol.h"

#include <QTcpSocket>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <chrono>

namespace {

// In the order of WireReplay::Rate.
const char *const RateNames[] = {"recorded", "link", "max"};

} // namespace

std::optional<WireReplay::Rate> WireReplay::rateFromName(const QString &name)
{
    for (size_t i = 0; i < std::size(RateNames); ++i) {
        if (name == QLatin1String(RateNames[i]))
            return Rate(i);
    }
    return std::nullopt;
}

QStringList WireReplay::rateNames()
{
    QStringList names;
    for (const char *name : RateNames)
        names << QLatin1String(name);
    return names;
}

WireReplay::WireReplay(const WireDump &dump, Rate rate, bool loop, QObject *parent)
    : QObject(parent), dump(dump), rate(rate), loop(loop),
      roundEnd(loop ? dump.loopEnd() : dump.size())
{
    const QList<WireDump::Record> &records = dump.records();
    qint64 due = 0;
    for (qsizetype i = 0; i < records.size(); ++i) {
        if (rate == Rate::Link)
            due = linkTimeUs(records[i].start); // the bytes before it have crossed
        else if (i > 0)
            due += std::clamp(records[i].header.boardTimeUs() - records[i - 1].header.boardTimeUs(), qint64(0),
                              MaxRecordGapUs);
        dueUs.append(due);
    }
    // The next round follows after the dump's mean record gap (on the link, after its bytes), on
    // the board's clock too.
    if (rate == Rate::Link)
        roundSpanUs = linkTimeUs(roundEnd);
    else
        roundSpanUs = due + (records.size() > 1 ? due / (records.size() - 1) : SingleRecordGapUs);
    const qint64 clockSpanUs =
        std::max(records.constLast().header.boardTimeUs() - records.constFirst().header.boardTimeUs(), qint64(0));
    clockStepUs = clockSpanUs + (clockSpanUs > 0 ? clockSpanUs / (records.size() - 1) : SingleRecordGapUs);
}

void WireReplay::addClient(QTcpSocket *socket)
{
    Cursor &cursor = cursors[socket];
    cursor.clock.start();
    cursor.wakeUp = new QTimer(socket);
    cursor.wakeUp->setSingleShot(true);
    cursor.wakeUp->setTimerType(Qt::PreciseTimer);
    connect(cursor.wakeUp, &QTimer::timeout, this, [this, socket] { pump(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { pump(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { cursors.remove(socket); });
    pump(socket);
}

void WireReplay::pump(QTcpSocket *socket)
{
    const auto found = cursors.find(socket);
    if (found == cursors.end())
        return;
    Cursor &cursor = *found;
    const QList<WireDump::Record> &records = dump.records();
    while (socket->state() == QAbstractSocket::ConnectedState) {
        if (cursor.position < cursor.sendUntil) {
            if (socket->bytesToWrite() > WatermarkBytes)
                return; // bytesWritten resumes
            if (cursor.position == cursor.timeAt) {
                writeShiftedTime(socket, cursor);
                cursor.position += TimestampBytes;
                continue;
            }
            const qint64 until = cursor.timeAt > cursor.position ? cursor.timeAt : cursor.sendUntil;
            const qint64 length = std::min(ChunkBytes, until - cursor.position);
            socket->write(dump.data() + cursor.position, length);
            cursor.position += length;
        } else if (cursor.nextRecord < records.size()) {
            if (rate != Rate::Max && !isDue(cursor))
                return; // the timer resumes
            const WireDump::Record &record = records[cursor.nextRecord++];
            cursor.sendUntil = record.end();
            cursor.timeAt = cursor.clockShiftUs > 0 ? record.start + BoardProtocol::TimestampOffset : -1;
        } else if (cursor.position < roundEnd) {
            cursor.sendUntil = roundEnd;
        } else if (loop) {
            cursor.position = cursor.sendUntil = 0;
            cursor.nextRecord = 0;
            cursor.roundStartUs += roundSpanUs;
            cursor.clockShiftUs += clockStepUs;
        } else {
            return;
        }
    }
}

// The current record's timestamp fields, big-endian seconds and microseconds, its board time
// shifted by the rounds before.
void WireReplay::writeShiftedTime(QTcpSocket *socket, const Cursor &cursor) const
{
    const qint64 boardTimeUs = dump.records()[cursor.nextRecord - 1].header.boardTimeUs() + cursor.clockShiftUs;
    uchar fields[TimestampBytes];
    qToBigEndian(quint32(boardTimeUs / 1000000), fields);
    qToBigEndian(quint32(boardTimeUs % 1000000), fields + 4);
    socket->write(reinterpret_cast<const char *>(fields), TimestampBytes);
}

bool WireReplay::isDue(Cursor &cursor) const
{
    const qint64 nowUs = cursor.clock.nsecsElapsed() / 1000;
    const qint64 dueAtUs = cursor.roundStartUs + dueUs[cursor.nextRecord];
    if (nowUs < dueAtUs) {
        cursor.wakeUp->start(std::chrono::milliseconds((dueAtUs - nowUs + 999) / 1000));
        return false;
    }
    if (nowUs - dueAtUs > MaxLatenessUs)
        cursor.roundStartUs += nowUs - dueAtUs;
    return true;
}

qint64 WireReplay::linkTimeUs(qint64 bytes)
{
    return bytes * 1000000 / LinkBytesPerSecond;
}
