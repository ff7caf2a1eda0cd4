#include "TroubleSoak.h"

#include "BoardProtocol.h"
#include "JpegEncoder.h"
#include "RecordIndex.h"
#include "RecorderOptions.h"
#include "ResidentMemory.h"
#include "TroubleCapture.h"

#include <QDir>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QThreadPool>
#include <QtEndian>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int SampleMs = 1000;
// The recorder runs this long past the last trouble's kept seconds, so that its clip ends by itself.
constexpr int EndSlackSeconds = 5;
constexpr double MiB = 1024.0 * 1024.0;
const QString ClipPattern = QStringLiteral("bvtgrab_trouble-*");

double mib(qint64 kib)
{
    return double(kib) / 1024.0;
}

QJsonObject readSummary(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll()).object() : QJsonObject();
}

// "2 late_on_arrival, 1 lost" of a recorder's summary.
QString troubleCounts(const QJsonObject &summary)
{
    QMap<QString, int> counts;
    for (const QJsonValue &trouble : summary.value(QStringLiteral("troubles")).toArray())
        ++counts[trouble.toObject().value(QStringLiteral("kind")).toString()];
    QStringList parts;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        parts << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

} // namespace

TroubleSoak::TroubleSoak(const Settings &settings)
    : settings(settings)
    , troubleKind(settings.format == BoardProtocol::FormatJpg ? QStringLiteral("damaged") : QStringLiteral("dropped"))
{
    connect(&recorder, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            fail(QStringLiteral("cannot start %1").arg(this->settings.recorderPath));
    });
}

void TroubleSoak::fail(const QString &message)
{
    if (failures.size() < 20)
        failures << message;
}

// The recorder's run against a fresh board, with RSS sampled and clips followed as it goes.
bool TroubleSoak::record(const VideoFaults &faults, const QStringList &arguments, Memory &memory)
{
    server = std::make_unique<VideoServer>();
    server->pattern().setJpegEncoder(encodeJpeg);
    server->setFaults(faults);
    if (!server->setConfiguration(settings.format, settings.width, settings.height, settings.fps)
        || !server->listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        fail(QStringLiteral("cannot stream that format, size and rate, or listen: %1").arg(server->errorString()));
        return false;
    }
    connect(server.get(), &VideoServer::recordSent, this, [this](const FrameRecord &record, bool intact) {
        ++progress;
        if (intact)
            return;
        const QString at = RecordIndex::boardTime(record.timestamp_s, record.timestamp_us);
        sentAt.insert(at, 0);
        sentOrder << at;
    });
    QEventLoop loop;
    connect(&recorder, &QProcess::finished, &loop, &QEventLoop::quit);
    const QMetaObject::Connection sampling = connect(&sampler, &QTimer::timeout, this, [this, &memory] {
        sample(memory);
        followClips();
    });
    clock.start();
    started = QDateTime::currentDateTimeUtc();
    recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    recorder.start(settings.recorderPath, QStringList{QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                                      QStringLiteral("--video-port"), QString::number(server->serverPort()),
                                                      QStringLiteral("--quiet")}
                                              + arguments);
    if (!recorder.waitForStarted())
        return false;
    sampler.start(SampleMs);
    loop.exec();
    sampler.stop();
    disconnect(sampling);
    server.reset();
    if (recorder.exitStatus() != QProcess::NormalExit) {
        fail(QStringLiteral("the recorder crashed"));
        return false;
    }
    return true;
}

void TroubleSoak::sample(Memory &memory)
{
    const qint64 kib = residentKiB(recorder.processId());
    if (kib < 0)
        return;
    ++memory.samples;
    memory.lastKiB = kib;
    if (kib > memory.peakKiB) {
        memory.peakKiB = kib;
        memory.peakAtMs = clock.elapsed();
    }
    if (rssLog.isOpen())
        rssLog.write(QStringLiteral("%1,%2,%3\n")
                         .arg(clipFolder.isEmpty() ? QStringLiteral("without") : QStringLiteral("keep"))
                         .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1)
                         .arg(kib)
                         .toLatin1());
}

// A clip is whole once its trouble.json says how it ended: the recorder writes that file whole or
// not at all, with no ending while the clip is being written.
void TroubleSoak::followClips()
{
    if (clipFolder.isEmpty())
        return;
    const QDir folder(clipFolder);
    for (const QString &name : folder.entryList({ClipPattern}, QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (clipsSeen.contains(name))
            continue;
        QFile list(folder.filePath(name + QStringLiteral("/trouble.json")));
        if (!list.open(QIODevice::ReadOnly)
            || !QJsonDocument::fromJson(list.readAll()).object().value(QStringLiteral("ended")).isString())
            continue;
        clipsSeen.insert(name);
        checkClip(name);
    }
}

void TroubleSoak::checkClip(const QString &name)
{
    const QDir dir(QDir(clipFolder).filePath(name));
    Clip clip;
    clip.name = name;
    QFile wire(dir.filePath(QStringLiteral("stream.wire")));
    const QByteArray head = wire.open(QIODevice::ReadOnly) ? wire.read(BoardProtocol::MagicBytes) : QByteArray();
    if (head.size() < BoardProtocol::MagicBytes || qFromBigEndian<quint32>(head.constData()) != BoardProtocol::FrameMagic)
        fail(QStringLiteral("%1: stream.wire does not start with a record's magic: %2")
                 .arg(name, head.isEmpty() ? QStringLiteral("no bytes") : QString::fromLatin1(head.toHex(' '))));
    QFile file(dir.filePath(QStringLiteral("trouble.json")));
    QJsonParseError error{};
    const QJsonDocument document = file.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(file.readAll(), &error)
                                                                  : QJsonDocument();
    if (!document.isObject()) {
        fail(QStringLiteral("%1: trouble.json does not parse: %2")
                 .arg(name, file.isOpen() ? error.errorString() : file.errorString()));
    } else {
        const QJsonObject clipDocument = document.object();
        clip.frames = clipDocument.value(QStringLiteral("frames")).toInteger();
        clip.bytes = clipDocument.value(QStringLiteral("bytes")).toInteger();
        clip.secondsBefore = clipDocument.value(QStringLiteral("seconds_before")).toDouble();
        clip.memoryLimited = clipDocument.value(QStringLiteral("memory_limited")).toBool();
        clip.ended = clipDocument.value(QStringLiteral("ended")).toString();
        clip.latencyMaxUs = clipDocument.value(QStringLiteral("timing"))
                                .toObject()
                                .value(QStringLiteral("relative_latency"))
                                .toObject()
                                .value(QStringLiteral("max_us"))
                                .toInteger();
        for (const QJsonValue &value : clipDocument.value(QStringLiteral("troubles")).toArray()) {
            const QJsonObject trouble = value.toObject();
            const QString kind = trouble.value(QStringLiteral("kind")).toString();
            if (clip.first.isEmpty()) {
                clip.first = kind;
                const QDateTime arrival = QDateTime::fromString(trouble.value(QStringLiteral("arrival")).toString(),
                                                                Qt::ISODateWithMs);
                clip.firstAtS = double(started.msecsTo(arrival)) / 1000.0;
            }
            ++clip.kinds[kind];
            if (kind != troubleKind)
                continue;
            ++clip.sentTroubles;
            const QString at = trouble.value(QStringLiteral("board_time")).toString();
            if (const auto sent = sentAt.find(at); sent != sentAt.end())
                ++*sent;
            else
                fail(QStringLiteral("%1: a %2 frame at %3, which was sent whole").arg(name, kind, at));
        }
    }
    clips.push_back(clip);
    std::printf("  %s\n", qPrintable(clipLine(clip)));
    std::fflush(stdout);
    removeLater(dir.path());
}

// Off the event loop, which keeps the stream going: a clip at a gigabit is gigabytes.
void TroubleSoak::removeLater(const QString &path)
{
    QThreadPool::globalInstance()->start([path] { QDir(path).removeRecursively(); });
}

QString TroubleSoak::clipLine(const Clip &clip) const
{
    QStringList kinds;
    for (auto it = clip.kinds.cbegin(); it != clip.kinds.cend(); ++it)
        kinds << QStringLiteral("%1 %2").arg(it.value()).arg(it.key());
    kinds.sort();
    return QStringLiteral("%1: %2 (first %3 at %4 s); %5 frames, %6 MB, %7 s before%8, latency max %9 ms, ended: %10")
        .arg(clip.name, kinds.isEmpty() ? QStringLiteral("no troubles") : kinds.join(QStringLiteral(", ")), clip.first)
        .arg(clip.firstAtS, 0, 'f', 1)
        .arg(clip.frames)
        .arg(double(clip.bytes) / 1e6, 0, 'f', 0)
        .arg(clip.secondsBefore, 0, 'f', 1)
        .arg(clip.memoryLimited ? QStringLiteral(" (memory limited)") : QString())
        .arg(double(clip.latencyMaxUs) / 1000.0, 0, 'f', 0)
        .arg(clip.ended);
}

bool TroubleSoak::run()
{
    if (!work.isValid()) {
        std::printf("Trouble soak: cannot make a temporary folder\n");
        return false;
    }
    if (!settings.rssLog.isEmpty()) {
        rssLog.setFileName(settings.rssLog);
        if (!rssLog.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
            std::printf("Trouble soak: cannot write %s\n", qPrintable(settings.rssLog));
            return false;
        }
        rssLog.write("run,seconds,rss_kib\n");
    }
    const qint64 keepMemoryBytes = RecorderOptions().keepMemoryBytes;
    const int troubleEvery = settings.fps * 60;
    std::printf("Trouble soak: %s %dx%d at %d fps, brevant-record --keep-trouble %d, %lld s with one %s frame "
                "every %d frames\n",
                qPrintable(TestPattern::formatName(settings.format)), settings.width, settings.height, settings.fps,
                settings.keptSeconds, settings.seconds, qPrintable(troubleKind), troubleEvery);
    std::fflush(stdout);

    // The recorder's own memory, in the same stream, storing as little as a recording can.
    Memory without;
    const QString baselineFolder = work.filePath(QStringLiteral("without"));
    const QString baselineSummary = work.filePath(QStringLiteral("without.json"));
    if (!record(VideoFaults(), {QStringLiteral("--mkv"), QStringLiteral("--summary"), baselineSummary,
                                QStringLiteral("--seconds"), QString::number(settings.baselineSeconds), baselineFolder},
                without)) {
        fail(QStringLiteral("the run without --keep-trouble did not run"));
    }
    QDir(baselineFolder).removeRecursively();
    // What this machine makes of the stream alone: troubles here come back as clips of their own below.
    std::printf("  without --keep-trouble (--mkv, %d s): peak RSS %.1f MiB, %.1f MiB at the end; troubles: %s\n",
                settings.baselineSeconds, mib(without.peakKiB), mib(without.lastKiB),
                qPrintable(troubleCounts(readSummary(baselineSummary))));
    std::fflush(stdout);

    VideoFaults faults;
    (settings.format == BoardProtocol::FormatJpg ? faults.corruptJpegEvery : faults.badSizeEvery) = troubleEvery;
    clipFolder = settings.folder.isEmpty() ? work.filePath(QStringLiteral("clips"))
                                           : QDir(settings.folder).filePath(QStringLiteral("trouble-soak"));
    const QString summaryFile = work.filePath(QStringLiteral("summary.json"));
    Memory kept;
    const bool ran = failures.isEmpty()
                     && record(faults,
                               {QStringLiteral("--keep-trouble"), QString::number(settings.keptSeconds),
                                QStringLiteral("--summary"), summaryFile, QStringLiteral("--seconds"),
                                QString::number(settings.seconds + settings.keptSeconds + EndSlackSeconds), clipFolder},
                               kept);
    followClips();
    QThreadPool::globalInstance()->waitForDone();
    if (!settings.folder.isEmpty())
        QDir(clipFolder).removeRecursively();
    if (!ran) {
        fail(QStringLiteral("the run with --keep-trouble did not run"));
    } else if (recorder.exitCode() != 3 && (recorder.exitCode() != 0 || !sentOrder.isEmpty())) {
        // 3: frames missing, which every trouble sent is.
        fail(QStringLiteral("the recorder ended with status %1").arg(recorder.exitCode()));
    }

    // The stream as the recorder read it.
    const QJsonObject read = readSummary(summaryFile);
    const double seconds = read.value(QStringLiteral("duration_s")).toDouble();
    const double bytes = read.value(QStringLiteral("bytes")).toDouble();
    const QJsonObject frames = read.value(QStringLiteral("frames")).toObject();
    const double received = frames.value(QStringLiteral("received")).toDouble();
    const double dropped = read.value(QStringLiteral("records_dropped")).toDouble();
    const double bytesPerSecond = seconds > 0 ? bytes / seconds : 0;
    const double recordsPerSecond = seconds > 0 ? (received + dropped) / seconds : 0;
    if (ran && seconds <= 0)
        fail(QStringLiteral("the recorder's summary %1 gives no duration").arg(summaryFile));

    // The bound --help states, above the recorder's own memory.
    const double keptSeconds = settings.keptSeconds + double(TroubleCapture::JudgingMarginUs) / 1e6;
    const double ringBytes = std::min(keptSeconds * (bytesPerSecond + TroubleCapture::RecordMarkBytes * recordsPerSecond),
                                      double(keepMemoryBytes));
    const double boundMiB = mib(without.peakKiB) + (ringBytes + double(TroubleCapture::FixedMemoryBytes)) / MiB;
    if (without.peakKiB > 0 && kept.peakKiB > 0 && mib(kept.peakKiB) > boundMiB)
        fail(QStringLiteral("peak RSS %1 MiB above the bound %2 MiB").arg(mib(kept.peakKiB), 0, 'f', 1).arg(boundMiB, 0, 'f', 1));
    if (without.peakKiB <= 0 || kept.peakKiB <= 0)
        fail(QStringLiteral("no RSS sampled"));

    for (const QString &at : std::as_const(sentOrder)) {
        const qint64 in = sentAt.value(at);
        if (in != 1)
            fail(QStringLiteral("the %1 frame sent at %2 is in %3 clips").arg(troubleKind, at).arg(in));
    }
    // Frames late or lost come from this machine too (the run without --keep-trouble counts them):
    // their clips are real, and told apart from those of the troubles sent. Any other trouble no
    // trouble sent explains fails the run, and so do two troubles sent in one clip.
    qint64 machineClips = 0;
    for (const Clip &clip : clips) {
        if (clip.sentTroubles > 1)
            fail(QStringLiteral("%1 holds %2 of the troubles sent").arg(clip.name).arg(clip.sentTroubles));
        if (clip.sentTroubles > 0)
            continue;
        const QStringList kinds = clip.kinds.keys();
        const bool timingOnly = std::all_of(kinds.cbegin(), kinds.cend(), [](const QString &kind) {
            return kind == QLatin1String("late_at_board") || kind == QLatin1String("late_on_arrival")
                   || kind == QLatin1String("lost");
        });
        if (timingOnly && !kinds.isEmpty())
            ++machineClips;
        else
            fail(QStringLiteral("%1 holds none of the troubles sent").arg(clip.name));
    }
    if (qint64(clips.size()) - machineClips != sentOrder.size())
        fail(QStringLiteral("%1 clips for %2 troubles sent").arg(qint64(clips.size()) - machineClips).arg(sentOrder.size()));

    std::printf("  stream as the recorder read it: %.1f MB/s, %.1f records/s (%.0f MB, %.0f frames, %.0f dropped, "
                "%lld lost at the board, in %.1f s)\n"
                "  RSS with --keep-trouble: peak %.1f MiB at %.0f s, %.1f MiB at the end, %lld samples\n"
                "  bound: %.1f MiB + min(%.0f s x (%.1f MB/s + %lld B x %.1f records/s), %.0f MiB) + %.0f MiB = %.1f MiB\n"
                "  troubles sent: %lld; clips: %zu, %lld of them of frames late or lost alone (this machine's); "
                "troubles the recorder saw: %s\n",
                bytesPerSecond / 1e6, recordsPerSecond, bytes / 1e6, received, dropped,
                frames.value(QStringLiteral("lost_at_board")).toInteger(), seconds, mib(kept.peakKiB),
                double(kept.peakAtMs) / 1000.0, mib(kept.lastKiB), kept.samples, mib(without.peakKiB), keptSeconds,
                bytesPerSecond / 1e6, qint64(TroubleCapture::RecordMarkBytes), recordsPerSecond,
                double(keepMemoryBytes) / MiB, double(TroubleCapture::FixedMemoryBytes) / MiB, boundMiB,
                qint64(sentOrder.size()), clips.size(), machineClips, qPrintable(troubleCounts(read)));
    for (const QString &failure : std::as_const(failures))
        std::printf("FAIL: %s\n", qPrintable(failure));
    std::printf(failures.isEmpty() ? "PASS\n" : "FAIL\n");
    std::fflush(stdout);
    return failures.isEmpty();
}
