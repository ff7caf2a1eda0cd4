#include "RecorderSoak.h"

#include "JpegEncoder.h"
#include "RecordIndex.h"
#include "ResidentMemory.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>

#include <csignal>
#include <cstdio>

namespace {

// How often the index is followed, and how long the recorder may take to end after SIGTERM.
constexpr int IndexPollMs = 100;
constexpr int StopTimeoutMs = 30000;
// Frames after which the recorder's RSS is first taken, once its buffers have grown.
constexpr qint64 RssBaselineFrames = 1000;

QByteArray payloadHash(const QByteArray &payload)
{
    return QCryptographicHash::hash(payload, QCryptographicHash::Sha1);
}

QString rowKey(const QString &boardTime, const QString &clum, const QString &cpos)
{
    return boardTime + QLatin1Char(',') + clum + QLatin1Char(',') + cpos;
}

QString hex16(const QByteArray &block)
{
    QByteArray padded = block.left(16);
    padded.append(16 - padded.size(), '\0');
    return QString::fromLatin1(padded.toHex());
}

} // namespace

RecorderSoak::RecorderSoak(const QString &recorderPath, qint64 frames, quint32 seed,
                           const VideoFaults &faults, double maxRssGrowthMiB)
    : recorderPath(recorderPath)
    , frames(frames)
    , maxRssGrowthMiB(maxRssGrowthMiB)
{
    server.pattern().setJpegEncoder(encodeJpeg);
    server.setRandomSeed(seed);
    server.setFaults(faults);
    server.setConfiguration(TestPattern::Gray, BoardProtocol::VgaSize.width, BoardProtocol::VgaSize.height, 0);
    connect(&server, &VideoServer::recordSent, this, &RecorderSoak::recordSent);
    connect(&server, &VideoServer::framesSent, this, &RecorderSoak::allSent);
    connect(&server, &VideoServer::clientConnected, this, [this] {
        ++connections;
        // The recorder connects again only once it has taken all the last connection gave it.
        if (sentAll)
            ::kill(pid_t(recorder.processId()), SIGTERM);
    });
    indexTimer.setInterval(IndexPollMs);
    connect(&indexTimer, &QTimer::timeout, this, &RecorderSoak::readIndex);
    connect(&recorder, &QProcess::finished, this, [] { QCoreApplication::exit(0); });
}

void RecorderSoak::fail(const QString &message)
{
    if (failures.size() < 20)
        failures << message;
}

void RecorderSoak::recordSent(const FrameRecord &record, bool intact)
{
    ++sent;
    ++progress;
    if (!intact)
        return;
    ++sentIntact;
    expected.insert(rowKey(RecordIndex::boardTime(record.timestamp_s, record.timestamp_us),
                           hex16(record.CLum), hex16(record.CPos)),
                    {payloadHash(record.payload), record.format});
}

void RecorderSoak::allSent()
{
    sentAll = true;
    server.closeConnections();
}

void RecorderSoak::sampleRss()
{
    const qint64 rss = residentKiB(recorder.processId());
    if (rss < 0)
        return;
    if (rssStartKiB < 0 && rows >= RssBaselineFrames)
        rssStartKiB = rss;
    rssEndKiB = rss;
}

void RecorderSoak::readIndex()
{
    if (!index.isOpen()) {
        index.setFileName(QDir(folder.path()).filePath(RecordIndex::recorderIndexName(QStringLiteral("bvtgrab_"))));
        if (!index.open(QIODevice::ReadOnly))
            return;
    }
    for (;;) {
        const QByteArray chunk = index.readLine();
        if (chunk.isEmpty())
            break;
        partialLine += chunk;
        if (!partialLine.endsWith('\n'))
            break;
        if (headerRead)
            checkRow(QString::fromUtf8(partialLine.chopped(1)));
        headerRead = true;
        partialLine.clear();
    }
    sampleRss();
}

void RecorderSoak::checkRow(const QString &line)
{
    ++rows;
    ++progress;
    const QStringList f = line.split(QLatin1Char(','));
    if (f.size() != RecordIndex::FrameInFile || f[RecordIndex::Record].toLongLong() != rows - 1) {
        fail(QStringLiteral("row %1 malformed: %2").arg(rows - 1).arg(line));
        return;
    }
    const QString file = f[RecordIndex::File], status = f[RecordIndex::Status];
    const QString stored = RecordIndex::statusWord(RecordIndex::FrameStatus::Stored);
    rowsStored += status == stored;
    rowsDamaged += status == RecordIndex::statusWord(RecordIndex::FrameStatus::Damaged);
    rowsFailed += status == RecordIndex::statusWord(RecordIndex::FrameStatus::Failed);
    const QString path = QDir(folder.path()).filePath(file);
    QByteArray contents;
    if (!file.isEmpty()) {
        QFile frameFile(path);
        if (!frameFile.open(QIODevice::ReadOnly))
            fail(QStringLiteral("row %1 names %2, which is not there").arg(f[0], file));
        contents = frameFile.readAll();
        frameFile.close();
        frameFile.remove();
    }
    const auto it = expected.constFind(rowKey(f[RecordIndex::BoardTime], f[RecordIndex::Clum], f[RecordIndex::Cpos]));
    if (it == expected.constEnd())
        return;
    ++matched;
    if (status != stored || file.isEmpty())
        fail(QStringLiteral("row %1: a record sent intact is %2").arg(f[0], status));
    else if (payloadHash(contents) != it->payloadHash)
        fail(QStringLiteral("row %1: %2 differs from the payload sent").arg(f[0], file));
    else
        ++byteExact;
    expected.erase(it);
}

bool RecorderSoak::run()
{
    if (!folder.isValid() || !server.listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        std::printf("Recorder soak: cannot set up: %s\n", qPrintable(server.errorString()));
        return false;
    }
    clock.start();
    recorder.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    recorder.start(recorderPath, {QStringLiteral("--host"), QStringLiteral("127.0.0.1"),
                                  QStringLiteral("--video-port"), QString::number(server.serverPort()),
                                  QStringLiteral("--reconnect"), QStringLiteral("--raw"),
                                  QStringLiteral("--quiet"), folder.path()});
    if (!recorder.waitForStarted()) {
        std::printf("Recorder soak: cannot start %s\n", qPrintable(recorderPath));
        return false;
    }
    indexTimer.start();
    server.sendFrames(int(frames));
    QCoreApplication::exec();
    if (recorder.state() != QProcess::NotRunning && !recorder.waitForFinished(StopTimeoutMs))
        fail(QStringLiteral("the recorder did not end after SIGTERM"));
    readIndex();

    if (recorder.exitStatus() != QProcess::NormalExit || recorder.exitCode() != 3)
        fail(QStringLiteral("the recorder ended with status %1, not 3").arg(recorder.exitCode()));
    if (rssStartKiB > 0 && double(rssEndKiB - rssStartKiB) / 1024.0 > maxRssGrowthMiB)
        fail(QStringLiteral("the recorder's RSS grew by more than %1 MiB").arg(maxRssGrowthMiB));
    for (auto it = expected.cbegin(); it != expected.cend() && failures.size() < 20; ++it)
        fail(QStringLiteral("record sent intact at %1 has no row").arg(it.key().section(QLatin1Char(','), 0, 0)));

    std::printf("Recorder soak: %lld records sent (%lld intact) over %lld connections in %.1f s\n"
                "  index: %lld rows, %lld stored, %lld damaged, %lld failed; %lld intact records "
                "found, %lld byte-exact, %lld missing\n"
                "  recorder RSS: %.1f MiB after %lld frames, %.1f MiB at the end\n",
                sent, sentIntact, connections, double(clock.elapsed()) / 1000.0, rows, rowsStored,
                rowsDamaged, rowsFailed, matched, byteExact, qint64(expected.size()),
                double(rssStartKiB) / 1024.0, RssBaselineFrames, double(rssEndKiB) / 1024.0);
    for (const QString &failure : failures)
        std::printf("FAIL: %s\n", qPrintable(failure));
    std::printf(failures.isEmpty() ? "PASS\n" : "FAIL\n");
    std::fflush(stdout);
    return failures.isEmpty();
}
