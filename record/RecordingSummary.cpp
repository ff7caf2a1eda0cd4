#include "RecordingSummary.h"

#include "FrameSlot.h"
#include "RecorderOptions.h"
#include "StreamStatistics.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <algorithm>
#include <cmath>

namespace {

QJsonValue boardTimeValue(qint64 boardUs)
{
    return boardUs < 0 ? QJsonValue() : QJsonValue(RecordIndex::boardTime(boardUs));
}

double rounded(double value, double perUnit)
{
    return std::round(value * perUnit) / perUnit;
}

} // namespace

RecordingSummary::RecordingSummary(const RecorderOptions &options, const StreamStatistics &statistics)
    : options(options)
    , statistics(statistics)
    , startedAt(QDateTime::currentDateTimeUtc())
{
}

void RecordingSummary::Troubles::add(const Trouble &trouble)
{
    ++count;
    if (qint64(kept.size()) < MaxTroubles)
        kept.push_back(trouble);
}

void RecordingSummary::frameTaken(const FrameSlot &frame)
{
    // Records dropped for their size have a place in the timing, and none in the index.
    const qint64 place = statistics.timing().size() - 1;
    for (qint64 next = framesTaken + qint64(droppedRecords.size()); next < place; ++next)
        droppedRecords.push_back(next);
    const qint64 offset = frame.boardTimeUs() - statistics.timing().sample(place).boardUs;
    if (offset != (sentOffsets.empty() ? 0 : sentOffsets.back().second))
        sentOffsets.emplace_back(place, offset);
    ++framesTaken;
    lastBoardUs = frame.boardTimeUs();
    if (firstBoardUs < 0)
        firstBoardUs = lastBoardUs;
}

void RecordingSummary::frameGivenBack(const RecordIndex::Row &row)
{
    if (row.status == RecordIndex::statusWord(RecordIndex::FrameStatus::Damaged))
        judged.add({row.record, Kind::Damaged, row.frame.boardTimeUs(), 0});
    else if (row.status == RecordIndex::statusWord(RecordIndex::FrameStatus::Failed))
        judged.add({row.record, Kind::Failed, row.frame.boardTimeUs(), 0});
}

qint64 RecordingSummary::sentBoardUs(qint64 place) const
{
    const TimingSample &sample = statistics.timing().sample(place);
    if (sample.startsRun)
        return sample.boardUs;
    const auto after = std::upper_bound(sentOffsets.begin(), sentOffsets.end(), place,
                                        [](qint64 p, const std::pair<qint64, qint64> &entry) { return p < entry.first; });
    return sample.boardUs + (after == sentOffsets.begin() ? 0 : std::prev(after)->second);
}

void RecordingSummary::connectionLost()
{
    const StreamTiming &timing = statistics.timing();
    connections.add({timing.size(), Kind::ConnectionLost,
                     timing.size() > 0 ? sentBoardUs(timing.size() - 1) : -1, 0});
}

QJsonArray RecordingSummary::troubleList(qint64 &leftOut) const
{
    const StreamTiming &timing = statistics.timing();
    std::vector<qint64> dropped = droppedRecords;
    for (qint64 next = framesTaken + qint64(dropped.size()); next < timing.size(); ++next)
        dropped.push_back(next);
    // A dropped record's frame is the one after it.
    const auto frameAt = [&dropped](qint64 place) {
        return place - qint64(std::lower_bound(dropped.begin(), dropped.end(), place) - dropped.begin());
    };
    std::vector<qint64> droppedBeforeFrames; // of each dropped record, the frame after it
    for (const qint64 place : dropped)
        droppedBeforeFrames.push_back(frameAt(place));

    Troubles droppedTroubles;
    for (const qint64 place : dropped)
        droppedTroubles.add({place, Kind::Dropped, sentBoardUs(place), 0});
    Troubles lost;
    for (qint64 place = 0; place < timing.size(); ++place) {
        const TimingSample &sample = timing.sample(place);
        if (sample.lostBefore > 0)
            lost.add({place, Kind::Lost, sentBoardUs(place), sample.lostBefore});
    }
    std::vector<LateFrame> lateFrames;
    timing.lateFrames(0, timing.size(), lateFrames);
    Troubles late;
    for (const LateFrame &frame : lateFrames)
        late.add({frame.index, frame.where == Lateness::AtBoard ? Kind::LateAtBoard : Kind::LateOnTheWay,
                  sentBoardUs(frame.index), 0});
    Troubles frames = judged;
    for (Trouble &trouble : frames.kept) // from the frame's record to its place
        trouble.place += qint64(std::upper_bound(droppedBeforeFrames.begin(), droppedBeforeFrames.end(), trouble.place)
                                - droppedBeforeFrames.begin());

    std::vector<Trouble> all;
    qint64 count = 0;
    for (const Troubles *troubles :
         std::initializer_list<const Troubles *>{&connections, &droppedTroubles, &lost, &late, &frames}) {
        all.insert(all.end(), troubles->kept.begin(), troubles->kept.end());
        count += troubles->count;
    }
    std::stable_sort(all.begin(), all.end(), [](const Trouble &a, const Trouble &b) {
        return a.place != b.place ? a.place < b.place : a.kind < b.kind;
    });
    if (qint64(all.size()) > MaxTroubles)
        all.resize(MaxTroubles);
    leftOut = count - qint64(all.size());

    QJsonArray list;
    for (const Trouble &trouble : all) {
        QJsonObject entry{{QStringLiteral("frame"), frameAt(trouble.place)},
                          {QStringLiteral("board_time"), boardTimeValue(trouble.boardUs)},
                          {QStringLiteral("kind"), troubleKindWord(trouble.kind)}};
        if (trouble.kind == Kind::Lost)
            entry.insert(QStringLiteral("count"), qint64(trouble.count));
        list.append(entry);
    }
    return list;
}

QJsonObject RecordingSummary::document(const Ending &ending) const
{
    const StreamCounters &c = statistics.counters();
    const double seconds = double(ending.elapsedMs) / 1000.0;
    const auto perSecond = [seconds](double amount) { return seconds > 0 ? amount / seconds : 0.0; };
    qint64 troublesLeftOut = 0;
    const QJsonArray troubles = troubleList(troublesLeftOut);
    return {
        {QStringLiteral("program"), QCoreApplication::applicationName()},
        {QStringLiteral("version"), QCoreApplication::applicationVersion()},
        {QStringLiteral("arguments"), QJsonArray::fromStringList(options.commandLine)},
        {QStringLiteral("board"),
         QJsonObject{{QStringLiteral("host"), options.host},
                     {QStringLiteral("video_port"), options.videoPort},
                     {QStringLiteral("command_port"), options.commandPort}}},
        {QStringLiteral("start"),
         QJsonObject{{QStringLiteral("board_time"), boardTimeValue(firstBoardUs)},
                     {QStringLiteral("host_time"), RecordIndex::arrivalTime(startedAt)}}},
        {QStringLiteral("end"),
         QJsonObject{{QStringLiteral("board_time"), boardTimeValue(lastBoardUs)},
                     {QStringLiteral("host_time"), RecordIndex::arrivalTime(startedAt.addMSecs(ending.elapsedMs))}}},
        {QStringLiteral("duration_s"), seconds},
        {QStringLiteral("frames"),
         QJsonObject{{QStringLiteral("received"), qint64(c.framesReceived)},
                     {QStringLiteral("stored"), qint64(c.captureFilesWritten)},
                     {QStringLiteral("damaged"), qint64(c.framesDamaged)},
                     {QStringLiteral("hidden"), qint64(c.framesHidden)},
                     {QStringLiteral("failed"), qint64(c.captureFailures)},
                     {QStringLiteral("lost_at_board"), qint64(c.framesLostAtBoard)}}},
        {QStringLiteral("records_dropped"), qint64(c.recordsDropped)},
        {QStringLiteral("connections_lost"), qint64(c.connectionsLost)},
        {QStringLiteral("bytes"), ending.bytesReceived},
        {QStringLiteral("rates"),
         QJsonObject{{QStringLiteral("frames_per_s"), rounded(perSecond(double(c.framesReceived)), 100)},
                     {QStringLiteral("mb_per_s"), rounded(perSecond(double(ending.bytesReceived) / 1e6), 1000)}}},
        {QStringLiteral("timing"), statistics.timing().figures().toJson()},
        {QStringLiteral("troubles"), troubles},
        {QStringLiteral("troubles_left_out"), troublesLeftOut},
        {QStringLiteral("error"), ending.error.isEmpty() ? QJsonValue() : QJsonValue(ending.error)},
    };
}

namespace {
QString cannotWrite(const QString &path, const QSaveFile &file)
{
    return QStringLiteral("cannot write the summary %1: %2").arg(path, file.errorString());
}
} // namespace

bool RecordingSummary::canWrite(const QString &path, QString &problem)
{
    QSaveFile file(path); // its temporary file goes with it, never committed
    if (file.open(QIODevice::WriteOnly))
        return true;
    problem = cannotWrite(path, file);
    return false;
}

bool RecordingSummary::write(const QString &path, const QJsonObject &document, QString &problem)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(document).toJson());
        if (file.commit())
            return true;
    }
    problem = cannotWrite(path, file);
    return false;
}
