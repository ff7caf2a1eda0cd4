#include "TroubleCapture.h"

#include "BoardProtocol.h"
#include "FrameParser.h"
#include "FrameSlot.h"
#include "StreamStatistics.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <utility>

namespace {
constexpr int AfterTimeCheckMs = 500;
// A stream that stops is given this long past a clip's after-time before the clip ends.
constexpr qint64 StalledSlackUs = StreamTiming::MicrosPerSecond;
// How often the nominal period a late frame is judged by is worked out again.
constexpr qint64 NominalRefreshUs = StreamTiming::MicrosPerSecond;

qint64 wallClockOffset()
{
    return QDateTime::currentMSecsSinceEpoch() * 1000 - StreamStatistics::clockUs();
}
} // namespace

TroubleCapture::TroubleCapture(const Settings &settings, QObject *parent)
    : QObject(parent)
    , settings(settings)
    , wallClockOffsetUs(wallClockOffset())
    // Enough for the seconds kept and for the median period of the last 10 s.
    , timing(std::max(settings.keptUs + JudgingMarginUs, StreamTiming::NominalSpanUs) + StreamTiming::MicrosPerSecond)
{
    connect(&afterTime, &QTimer::timeout, this, [this] {
        if (current.clip && StreamStatistics::clockUs() > current.limitArrivalUs)
            closeClip(QStringLiteral("stream stopped"));
    });
}

// Clips not yet closed go with the writer's thread.
TroubleCapture::~TroubleCapture()
{
    if (current.clip)
        current.clip->deleteLater();
    for (TroubleClip *clip : closing)
        clip->deleteLater();
    writer.quit();
    writer.wait();
}

void TroubleCapture::Settings::describeProgram(const QStringList &arguments)
{
    about = {{QStringLiteral("program"), QCoreApplication::applicationName()},
             {QStringLiteral("version"), QCoreApplication::applicationVersion()},
             {QStringLiteral("arguments"), QJsonArray::fromStringList(arguments)},
             {QStringLiteral("seconds"), double(keptUs) / 1e6},
             {QStringLiteral("memory_limit_mb"), memoryBytes >> 20}};
}

void TroubleCapture::wireBytes(const char *data, qint64 size)
{
    if (size > 0)
        ring.append(data, size);
}

void TroubleCapture::frameCompleted(const FrameSlot &frame, qint64 arrivalUs)
{
    if (deferredPayload > 0) {
        ring.appendShared(deferredPayload == frame.payload.size() ? frame.payload : frame.payload.right(deferredPayload));
        deferredPayload = 0;
    }
    recordEnded(ring.end() - BoardProtocol::RecordPrefixBytes - frame.payload.size(), frame, arrivalUs, false);
}

void TroubleCapture::payloadCutOff(const QByteArray &readSoFar)
{
    const QByteArray cutOff = readSoFar.right(deferredPayload);
    ring.append(cutOff.constData(), cutOff.size());
    deferredPayload = 0;
}

void TroubleCapture::recordDropped(const FrameSlot &header, qint64 arrivalUs)
{
    recordEnded(ring.end() - BoardProtocol::RecordPrefixBytes, header, arrivalUs, true);
}

void TroubleCapture::recordEnded(qint64 start, const FrameSlot &header, qint64 arrivalUs, bool dropped)
{
    const quint64 lost = loss.addRecord(FrameParser::stampOf(header));
    const quint32 lostBefore = quint32(std::min<quint64>(lost, UINT32_MAX));
    timing.add(header.boardTimeUs(), arrivalUs, lostBefore);
    const qint64 index = timing.size() - 1;
    const TimingSample &sample = timing.sample(index);
    if (sample.startsRun)
        ++run;
    if (start < ring.start()) { // begun before the capture: it can be in no clip
        nextFrame += dropped ? 0 : 1;
        return;
    }
    marks.push_back({start, ring.end(), sample.boardUs, header.boardTimeUs(), arrivalUs, nextFrame, run, dropped});
    ++recordsThisConnection;
    if (!dropped)
        ++nextFrame;

    if (sample.startsRun || nominalFromBoardUs < 0 || sample.boardUs - nominalFromBoardUs >= NominalRefreshUs) {
        nominalUs = timing.nominalPeriodUs(0, timing.size());
        nominalFromBoardUs = sample.boardUs;
    }
    const size_t newest = marks.size() - 1;
    if (lostBefore > 0)
        addTrouble(newest, TroubleKind::Lost, lostBefore);
    if (dropped)
        addTrouble(newest, TroubleKind::Dropped);
    else if (const Lateness late = timing.latenessOf(index, nominalUs); late != Lateness::OnTime)
        addTrouble(newest, late == Lateness::AtBoard ? TroubleKind::LateAtBoard : TroubleKind::LateOnTheWay);

    if (current.clip && marks.back().end > current.writtenUpTo) {
        if (covers(marks.back()))
            writeMark(marks.back());
        else
            closeClipBefore(marks.back());
    }
    letGo();
}

void TroubleCapture::frameDamaged(qint64 frame)
{
    const auto found = std::lower_bound(marks.begin(), marks.end(), frame, [](const Mark &mark, qint64 number) {
        return mark.frame < number || (mark.frame == number && mark.dropped);
    });
    if (found != marks.end() && found->frame == frame && !found->dropped)
        addTrouble(size_t(found - marks.begin()), TroubleKind::Damaged);
}

void TroubleCapture::connectionStarted()
{
    loss.restart();
    timing.restart();
    recordsThisConnection = 0;
}

// The connection's last bytes, a record cut off among them, end its clip.
void TroubleCapture::connectionLost(qint64 nowUs)
{
    if (recordsThisConnection == 0 || marks.empty())
        return;
    recordsThisConnection = 0;
    addTrouble(marks.size() - 1, TroubleKind::ConnectionLost, 0, nowUs);
    if (!current.clip)
        return;
    writeUpTo(ring.end(), {});
    closeClip(QStringLiteral("connection lost"));
}

void TroubleCapture::addTrouble(size_t index, TroubleKind kind, quint32 count, qint64 arrivalUs)
{
    const Mark &mark = marks[index];
    const bool inOpenClip = current.clip && mark.run == current.run && mark.start >= current.start
                            && mark.boardUs <= current.limitBoardUs;
    // Damage judged late may befall a frame before the open clip: that clip stays open while the
    // trouble's own is written, whole, since its after-time has passed.
    OpenClip later;
    if (!inOpenClip && current.clip) {
        if (mark.run == current.run && mark.start < current.start)
            later = std::exchange(current, OpenClip());
        else
            closeClipBefore(mark);
    }
    if (!inOpenClip) {
        // A clip opened now would hand over its seconds before to a writer still behind, fall
        // behind in turn, and so on at every trouble.
        if (writerBehind)
            ++troublesSkipped;
        else
            openClip(index);
    }
    if (current.clip) {
        const Mark &at = marks[index];
        const qint64 when = arrivalUs >= 0 ? arrivalUs : at.arrivalUs;
        // A lost connection befalls the frame after the last.
        const qint64 frame = kind == TroubleKind::ConnectionLost && !at.dropped ? at.frame + 1 : at.frame;
        const TroubleClip::Trouble trouble{kind, frame, at.sentBoardUs, when, count};
        QMetaObject::invokeMethod(current.clip, [clip = current.clip, trouble] { clip->addTrouble(trouble); },
                                  Qt::QueuedConnection);
        current.limitBoardUs = std::max(current.limitBoardUs, at.boardUs + settings.keptUs);
        current.limitArrivalUs = std::max(current.limitArrivalUs, when + settings.keptUs + StalledSlackUs);
        // Its after-time may have passed by the time it is known.
        if (!covers(marks.back()))
            closeClipBefore(marks.back());
    }
    if (later.clip) {
        current = later;
        afterTime.start(AfterTimeCheckMs);
    }
}

// From the first record of the trouble's run within the seconds before it, up to the newest
// record within the seconds after it.
void TroubleCapture::openClip(size_t index)
{
    const Mark &trouble = marks[index];
    size_t first = index;
    while (first > 0 && marks[first - 1].run == trouble.run
           && trouble.boardUs - marks[first - 1].boardUs <= settings.keptUs)
        --first;
    // Clips of an earlier capture into the same folder stay.
    QString folder;
    do
        folder = QDir(settings.folder).filePath(settings.prefix + QStringLiteral("trouble-") + QString::number(++clipNumber));
    while (QFileInfo::exists(folder));
    auto *clip = new TroubleClip(folder, settings.prefix, settings.about, marks[first].frame, wallClockOffsetUs);
    if (!writer.isRunning())
        writer.start();
    clip->moveToThread(&writer);
    connect(clip, &TroubleClip::failed, this, &TroubleCapture::failed);
    connect(clip, &TroubleClip::closed, this, [this, clip](const QString &description) { clipClosed(clip, description); });
    QMetaObject::invokeMethod(clip, &TroubleClip::open, Qt::QueuedConnection);
    current = {clip,
               trouble.run,
               marks[first].start,
               marks[first].start,
               trouble.boardUs + settings.keptUs,
               StreamStatistics::clockUs() + settings.keptUs + StalledSlackUs,
               double(trouble.boardUs - marks[first].boardUs) / StreamTiming::MicrosPerSecond,
               first == 0 && memoryCutRun == trouble.run && trouble.boardUs - memoryCutBoardUs <= settings.keptUs};
    std::vector<TroubleClip::Arrival> records;
    size_t last = first;
    for (; last < marks.size() && (last <= index || covers(marks[last])); ++last) {
        records.push_back({marks[last].arrivalUs, marks[last].dropped});
        if (marks[last].end - current.writtenUpTo >= HandOverBytes)
            writeUpTo(marks[last].end, std::exchange(records, {}));
    }
    if (!records.empty())
        writeUpTo(marks[last - 1].end, std::move(records));
    afterTime.start(AfterTimeCheckMs);
}

bool TroubleCapture::covers(const Mark &mark) const
{
    return mark.run == current.run && mark.boardUs <= current.limitBoardUs;
}

// The record's bytes, and whatever came between it and the record before.
void TroubleCapture::writeMark(const Mark &mark)
{
    writeUpTo(mark.end, {{mark.arrivalUs, mark.dropped}});
}

void TroubleCapture::writeUpTo(qint64 end, std::vector<TroubleClip::Arrival> records)
{
    std::vector<QByteArray> bytes = ring.slices(current.writtenUpTo, end);
    unwritten.push_back({current.writtenUpTo, end});
    current.writtenUpTo = end;
    QMetaObject::invokeMethod(
        current.clip,
        [clip = current.clip, records = std::move(records), bytes = std::move(bytes), done = &piecesWritten] {
            clip->write(records, bytes);
            done->fetch_add(1, std::memory_order_release);
        },
        Qt::QueuedConnection);
}

void TroubleCapture::countWritten()
{
    for (const qint64 written = piecesWritten.load(std::memory_order_acquire); piecesLetGo < written; ++piecesLetGo)
        unwritten.pop_front();
}

// A piece handed over shares the ring's buffers while the ring holds them, and keeps them alive
// once the ring lets go. Overlapping clips hand over pieces out of order.
qint64 TroubleCapture::memoryHeld() const
{
    qint64 onlyHandedOver = 0;
    for (const Piece &piece : unwritten)
        onlyHandedOver += std::max<qint64>(0, std::min(piece.end, ring.start()) - piece.start);
    return ring.memoryBytes() + onlyHandedOver + qint64(marks.size()) * RecordMarkBytes;
}

void TroubleCapture::closeClip(const QString &reason)
{
    if (!current.clip)
        return;
    const OpenClip closed = current;
    current = OpenClip();
    afterTime.stop();
    closing.push_back(closed.clip);
    const TroubleClip::Ending ending{reason, closed.secondsBefore, closed.memoryLimited};
    QMetaObject::invokeMethod(closed.clip, [clip = closed.clip, ending] { clip->close(ending); }, Qt::QueuedConnection);
}

// Ended by a record it does not cover: past its after-time, or of another run.
void TroubleCapture::closeClipBefore(const Mark &outside)
{
    closeClip(outside.run == current.run ? QStringLiteral("after time") : QStringLiteral("stream restarted"));
}

void TroubleCapture::clipClosed(TroubleClip *clip, const QString &description)
{
    closing.erase(std::remove(closing.begin(), closing.end(), clip), closing.end());
    clip->deleteLater();
    if (!description.isEmpty()) { // else it could not be opened, and said so
        ++clipsDone;
        emit clipWritten(description);
    }
    finishWhenWritten();
}

// Records older than the seconds kept go, and more while the memory holds more than allowed; the
// open clip's bytes not yet handed over stay. A clip whose thread falls so far behind is ended,
// and until its bytes are written the ring keeps what room they leave.
void TroubleCapture::letGo()
{
    countWritten();
    const qint64 oldestKeptUs = marks.back().arrivalUs - settings.keptUs - JudgingMarginUs;
    while (marks.size() > 1 && marks.front().arrivalUs < oldestKeptUs)
        marks.pop_front();
    const qint64 kept = current.clip ? current.writtenUpTo : ring.end();
    while (marks.size() > 1 && memoryHeld() > settings.memoryBytes && marks.front().start < kept) {
        memoryCutRun = marks.front().run;
        memoryCutBoardUs = marks.front().boardUs;
        marks.pop_front();
        ring.releaseBefore(std::min(marks.front().start, kept));
    }
    ring.releaseBefore(std::min(marks.front().start, kept));
    if (current.clip && memoryHeld() > settings.memoryBytes + UnwrittenBytes) {
        closeClip(QStringLiteral("writing fell behind"));
        writerBehind = true;
    } else if (writerBehind && unwritten.empty()) {
        writerBehind = false;
        reportSkipped();
    }
}

void TroubleCapture::reportSkipped()
{
    if (troublesSkipped > 0)
        emit troublesNotClipped(QStringLiteral("%1 not clipped: they came while the disk was behind with the last clip")
                                    .arg(troublesSkipped == 1 ? QStringLiteral("1 trouble")
                                                              : QStringLiteral("%1 troubles").arg(troublesSkipped)));
    troublesSkipped = 0;
}

void TroubleCapture::finish()
{
    finishing = true;
    closeClip(QStringLiteral("recording stopped"));
    reportSkipped();
    finishWhenWritten();
}

void TroubleCapture::finishWhenWritten()
{
    if (!finishing || !closing.empty() || current.clip || finishQueued)
        return;
    finishQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            finishedSent = true;
            emit finished();
        },
        Qt::QueuedConnection);
}
