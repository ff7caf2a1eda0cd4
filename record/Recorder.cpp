#include "Recorder.h"

#include "CameraController.h"
#include "CommandController.h"
#include "RecordingNames.h"

#include <QDateTime>
#include <QDir>

#include <limits>

namespace {
// Values that store_config() leaves as they are, for what was not given.
constexpr int KeepFps = 0;
constexpr int KeepFormat = BoardProtocol::KeepFormatCode;
constexpr int KeepSize = 0;

std::unique_ptr<FrameStorage> storageFor(const RecorderOptions &options)
{
    const FrameStorage::Kind kind = !options.storesFrames() ? FrameStorage::Kind::Nothing
        : options.matroska                                  ? FrameStorage::Kind::Matroska
        : options.raw                                       ? FrameStorage::Kind::Payloads
                                                            : FrameStorage::Kind::Pictures;
    return FrameStorage::make(kind, RecordingNames::recorder(options.folder, options.prefix));
}

// Trouble clips only: no index either.
QString indexFor(const RecorderOptions &options)
{
    return options.storesFrames() ? RecordingNames::recorder(options.folder, options.prefix).indexFile() : QString();
}
} // namespace

Recorder::Recorder(const RecorderOptions &options, RecordingSession::Judge judge, QObject *parent)
    : QObject(parent)
    , options(options)
    , tee(&socket)
    , stats(0)
    , session(storageFor(options), indexFor(options), stats, std::move(judge))
    , summary(this->options, stats)
{
    clock.start();
    if (options.configuration && options.configuration->fps)
        stats.setFrameRate(*options.configuration->fps);
    parser.setDevice(&tee);
    parser.setStatistics(&stats);
    parser.onFrameReady = [this] { recordFrame(); };
    // Queued also when a judgement was in before take() returned: never inside the parser's call.
    connect(&session, &RecordingSession::judged, this, &Recorder::judgementsIn, Qt::QueuedConnection);
    connect(&session, &RecordingSession::failed, this, &Recorder::fail);
    connect(&session, &RecordingSession::finished, this, &Recorder::sessionFinished);
    connect(&session, &RecordingSession::frameGivenBack, this, [this](const RecordIndex::Row &row) {
        summary.frameGivenBack(row);
        if (troubleCapture && row.status == RecordIndex::statusWord(RecordIndex::FrameStatus::Damaged))
            troubleCapture->frameDamaged(row.record);
    });
    if (options.keepTroubleUs > 0)
        startTroubleCapture();

    connect(&socket, &QTcpSocket::connected, this, &Recorder::connected);
    connect(&socket, &QTcpSocket::readyRead, this, &Recorder::parse);
    connect(&socket, &QTcpSocket::disconnected, this, &Recorder::disconnected);
    connect(&socket, &QTcpSocket::errorOccurred, this, [this] {
        if (!isConnected)
            connectFailed();
    });

    connectTimer.setSingleShot(true);
    connect(&connectTimer, &QTimer::timeout, this, &Recorder::connectFailed);
    retryTimer.setSingleShot(true);
    connect(&retryTimer, &QTimer::timeout, this, &Recorder::configureAndConnect);
    timeLimit.setSingleShot(true);
    connect(&timeLimit, &QTimer::timeout, this, &Recorder::stop);
    idleFlush.setSingleShot(true);
    // Not restarted at every frame, which would cost more than writing some frames: at its time
    // the timer waits again for whatever is left of the pause since the last frame.
    connect(&idleFlush, &QTimer::timeout, this, [this] {
        const qint64 idleMs = clock.elapsed() - lastFrameMs;
        if (idleMs < IdleFlushMs) {
            idleFlush.start(int(IdleFlushMs - idleMs));
            return;
        }
        session.flush();
        keepIdleFlush();
    });
}

// Every byte the parser takes, and each record it completes or refuses, as they come.
void Recorder::startTroubleCapture()
{
    TroubleCapture::Settings settings;
    settings.folder = options.folder;
    settings.prefix = options.prefix;
    settings.keptUs = options.keepTroubleUs;
    settings.memoryBytes = options.keepMemoryBytes;
    settings.describeProgram(options.commandLine);
    troubleCapture = std::make_unique<TroubleCapture>(settings);
    TroubleCapture *capture = troubleCapture.get();
    if (options.configuration && options.configuration->fps)
        capture->setFrameRate(*options.configuration->fps);
    // A payload is read straight into the parser's buffer; the capture then shares that buffer
    // rather than copy every byte of the stream once more.
    tee.setSink([this, capture](const char *data, qint64 size) {
        if (parser.isPayloadBuffer(data))
            capture->payloadBytes(size);
        else
            capture->wireBytes(data, size);
    });
    parser.onRecordDropped = [this, capture](const FrameSlot &header) {
        capture->recordDropped(header, stats.timing().sample(stats.timing().size() - 1).arrivalUs);
    };
    connect(capture, &TroubleCapture::clipWritten, this, &Recorder::troubleLine);
    connect(capture, &TroubleCapture::troublesNotClipped, this, &Recorder::troubleLine);
    connect(capture, &TroubleCapture::failed, this, &Recorder::fail);
    connect(capture, &TroubleCapture::finished, this, [this] {
        clipsWritten = true;
        sessionFinished();
    });
}

QString Recorder::videoAddress() const
{
    return options.host + QLatin1Char(':') + QString::number(options.videoPort);
}

bool Recorder::start()
{
    if (!options.summaryFile.isEmpty() && !RecordingSummary::canWrite(options.summaryFile, error))
        return false;
    if (!session.open()) {
        error = session.errorString();
        writeSummary();
        return false;
    }
    if (options.timeLimitMs > 0)
        timeLimit.start(int(qMin<qint64>(options.timeLimitMs, std::numeric_limits<int>::max())));
    QTimer::singleShot(0, this, &Recorder::configureAndConnect);
    return true;
}

void Recorder::configureAndConnect()
{
    if (stopping)
        return;
    if (options.configuration) {
        if (!sendConfiguration()) {
            if (options.reconnect)
                retryLater();
            return;
        }
        restartWaitUntilMs = clock.elapsed() + RestartWaitMs;
    }
    connectVideo();
}

// The exchanges of "Send Values", through the camera controller.
bool Recorder::sendConfiguration()
{
    CommandController command(options.host, options.commandPort);
    bool exchangesFailed = false;
    connect(&command, &CommandController::connection_state, this, [&exchangesFailed](int state) {
        if (state < 1)
            exchangesFailed = true;
    });
    CameraController camera(&command);
    const BoardConfiguration &board = *options.configuration;
    camera.store_config(board.fps.value_or(KeepFps), board.format.value_or(KeepFormat),
                        board.width.value_or(KeepSize), board.height.value_or(KeepSize));
    camera.send_camera_config();
    if (!exchangesFailed)
        return true;
    lastConnectError = QStringLiteral("cannot configure the board at %1:%2: %3")
                           .arg(options.host)
                           .arg(options.commandPort)
                           .arg(command.status_text());
    if (!options.reconnect)
        fail(lastConnectError);
    return false;
}

void Recorder::connectVideo()
{
    if (stopping)
        return;
    socket.abort();
    socket.connectToHost(options.host, options.videoPort);
    connectTimer.start(ConnectTimeoutMs);
}

void Recorder::connected()
{
    connectTimer.stop();
    restartWaitUntilMs = -1;
    backoffMs = FirstBackoffMs;
    isConnected = true;
    ++connectionsMade;
    // The loss estimate runs on across connections: frames the board sent while none was open
    // are missing by its clock. A board that restarted its clock starts the estimate afresh.
    parser.restartRecord();
    tee.restart();
    if (troubleCapture)
        troubleCapture->connectionStarted();
    openWireDump();
}

void Recorder::connectFailed()
{
    if (stopping || isConnected)
        return;
    connectTimer.stop();
    const QString reason = socket.state() == QAbstractSocket::UnconnectedState
                               ? socket.errorString()
                               : QStringLiteral("no answer");
    socket.abort();
    lastConnectError = reason;
    if (restartWaitUntilMs >= 0 && clock.elapsed() < restartWaitUntilMs) {
        QTimer::singleShot(RestartPollMs, this, &Recorder::connectVideo);
        return;
    }
    restartWaitUntilMs = -1;
    if (options.reconnect)
        retryLater();
    else
        fail(QStringLiteral("cannot connect to %1: %2").arg(videoAddress(), reason));
}

void Recorder::disconnected()
{
    if (!isConnected || stopping)
        return;
    // Never while reading is paused: the socket then reads nothing, so the end of the stream
    // is seen only once every byte before it was parsed.
    isConnected = false;
    if (troubleCapture) // before the bytes after it, which the drain hands over
        troubleCapture->payloadCutOff(parser.payloadSoFar());
    tee.drainToDump();
    closeWireDump();
    if (troubleCapture)
        troubleCapture->connectionLost(StreamStatistics::clockUs());
    if (failed)
        return;
    stats.connectionLost();
    summary.connectionLost();
    if (options.reconnect)
        retryLater();
    else
        fail(QStringLiteral("lost the connection to %1").arg(videoAddress()));
}

void Recorder::retryLater()
{
    retryTimer.start(backoffMs);
    backoffMs = qMin(backoffMs * 2, MaxBackoffMs);
}

void Recorder::openWireDump()
{
    if (options.wireFile.isEmpty())
        return;
    const QString path = connectionsMade == 1
                             ? options.wireFile
                             : options.wireFile + QLatin1Char('.') + QString::number(connectionsMade - 1);
    wireDump.setFileName(path);
    if (!wireDump.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(QStringLiteral("cannot write the wire dump %1: %2").arg(path, wireDump.errorString()));
        return;
    }
    tee.setDump(&wireDump);
}

void Recorder::closeWireDump()
{
    if (!wireDump.isOpen())
        return;
    tee.setDump(nullptr);
    const bool flushed = wireDump.flush();
    wireDump.close();
    if ((!flushed || tee.dumpFailed()) && !failed)
        fail(QStringLiteral("cannot write the wire dump %1: %2").arg(wireDump.fileName(), wireDump.errorString()));
}

void Recorder::recordFrame()
{
    summary.frameTaken(parser.completedSlot());
    if (troubleCapture)
        troubleCapture->frameCompleted(parser.completedSlot(), stats.timing().sample(stats.timing().size() - 1).arrivalUs);
    session.take(parser.completedSlot(), QDateTime::currentDateTimeUtc());
    lastFrameMs = clock.elapsed();
    if (options.matroska && !idleFlush.isActive())
        idleFlush.start(IdleFlushMs);
    // The kernel's buffer then fills and slows the board.
    if (session.unstored() >= RecordingSession::MaxFramesInHand)
        pauseReading(true);
    if (options.frameLimit > 0 && session.framesTaken() >= options.frameLimit)
        stop();
}

// While the kernel has more, the parser goes on, up to a bound: a turn of the event loop for a
// frame or two would cost a poll and the socket's own look and read. The index rows of the frames
// parsed in one go are written together, after them.
void Recorder::parse()
{
    session.holdRows(true);
    const qint64 turnStart = tee.bytesRead();
    qint64 before = 0;
    do {
        before = tee.bytesRead();
        tee.takeStock();
        parser.process();
    } while (tee.bytesRead() > before && tee.bytesRead() - turnStart < ParseTurnBytes && !readingPaused
             && !stopping);
    session.holdRows(false);
}

// Paused, the parser returns at its next step, and the socket takes no more than it holds: the
// rest waits in the kernel, whose full buffer then holds the board back.
void Recorder::pauseReading(bool pause)
{
    readingPaused = pause;
    tee.setPaused(pause);
}

// From the event loop, never inside the parser's call.
void Recorder::judgementsIn()
{
    keepIdleFlush();
    if (readingPaused && session.unstored() < RecordingSession::MaxFramesInHand && !stopping) {
        pauseReading(false);
        parse();
    }
}

// Frames judged after the stream paused are written a while after, too.
void Recorder::keepIdleFlush()
{
    if (options.matroska && session.errorString().isEmpty() && session.inHand() > 0 && !idleFlush.isActive())
        idleFlush.start(IdleFlushMs);
}

void Recorder::fail(const QString &text)
{
    if (failed)
        return;
    failed = true;
    error = text;
    stop();
}

void Recorder::stop()
{
    if (stopping)
        return;
    stopping = true;
    // The parser returns at its next step: no record past this one is taken.
    tee.setPaused(true);
    connectTimer.stop();
    retryTimer.stop();
    timeLimit.stop();
    // Finished from the event loop, never from inside the parser's call.
    QTimer::singleShot(0, this, &Recorder::finish);
}

// Ends once every frame in hand is stored.
void Recorder::finish()
{
    session.finish();
}

// Clips are ended once every frame is judged, so that the last damage is in them.
void Recorder::sessionFinished()
{
    if (troubleCapture && !clipsWritten) {
        troubleCapture->finish();
        return;
    }
    idleFlush.stop();
    // Retrying all along is no recording: a rig must not read it as success.
    if (options.reconnect && connectionsMade == 0 && !failed) {
        failed = true;
        error = QStringLiteral("could not connect to %1 at all: %2").arg(videoAddress(), lastConnectError);
    }
    isConnected = false;
    socket.abort();
    closeWireDump();
    writeSummary();
    emit finished();
}

// A summary that cannot be written fails the recording, as a file of frames would; reported after
// whatever else went wrong first.
void Recorder::writeSummary()
{
    if (options.summaryFile.isEmpty())
        return;
    QString problem;
    if (RecordingSummary::write(options.summaryFile, summary.document({tee.bytesRead(), clock.elapsed(), error}),
                                problem))
        return;
    (error.isEmpty() ? error : summaryError) = problem;
    failed = true;
}

int Recorder::exitStatus() const
{
    if (failed)
        return Trouble;
    const StreamCounters &c = stats.counters();
    // A lost connection alone is no loss: the board's clock tells whether frames went missing.
    // Without --reconnect, a lost connection ends the recording as a failure.
    const bool allStored = c.framesDamaged == 0 && c.captureFailures == 0 && c.framesLostAtBoard == 0
                           && c.recordsDropped == 0;
    return allStored ? Success : FramesMissing;
}
