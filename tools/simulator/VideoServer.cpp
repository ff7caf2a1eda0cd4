#include "VideoServer.h"

#include "BoardProtocol.h"
#include "WireReplay.h"

#include <QDebug>
#include <QTcpSocket>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

namespace {

// Garbage never holds it, so no magic can appear inside garbage.
constexpr uchar MagicFirstByte = uchar(BoardProtocol::FrameMagic >> 24);

constexpr qint64 NanosPerSecond = 1000000000;
constexpr qint64 NanosPerMilli = 1000000;
constexpr qint64 NanosPerMicro = 1000;

constexpr qint32 BadSizes[] = {std::numeric_limits<qint32>::max(), -1, 0x10000000,
                               std::numeric_limits<qint32>::min()};

QString describePeer(const QTcpSocket *socket)
{
    return socket->peerAddress().toString() + QLatin1Char(':') + QString::number(socket->peerPort());
}

} // namespace

VideoServer::VideoServer(QObject *parent)
    : QObject(parent), random(QRandomGenerator::global()->generate())
{
    hostClock.start();
    frameTimer.setSingleShot(true);
    frameTimer.setTimerType(Qt::PreciseTimer);
    connect(&frameTimer, &QTimer::timeout, this, &VideoServer::frameDue);
    sendTimer.setSingleShot(true);
    sendTimer.setTimerType(Qt::PreciseTimer);
    connect(&sendTimer, &QTimer::timeout, this, &VideoServer::sendDueFrames);
    connect(&server, &QTcpServer::newConnection, this, &VideoServer::acceptConnections);
}

VideoServer::~VideoServer()
{
    // The sockets die with the server member, after this object's members: keep them from
    // calling back into it.
    const auto sockets = server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets) {
        socket->disconnect(this);
        socket->abort();
    }
}

bool VideoServer::listen(const QHostAddress &address, quint16 port)
{
    if (!server.listen(address, port))
        return false;
    restartClock();
    scheduleNextFrame();
    return true;
}

bool VideoServer::setConfiguration(int format, int width, int height, int fps)
{
    if (fps < 0 || fps > MaxSimulatedFps || !testPattern.canProduce(format)
        || !TestPattern::isValidSize(format, width, height))
        return false;
    const bool rateChanged = fps != currentFps;
    currentFormat = format;
    currentWidth = width;
    currentHeight = height;
    currentFps = fps;
    if (rateChanged) {
        restartClock();
        scheduleNextFrame();
    }
    return true;
}

void VideoServer::setFaults(const VideoFaults &faults)
{
    activeFaults = faults;
}

bool VideoServer::applyConfiguration(int format, int width, int height, int fps)
{
    if (!setConfiguration(format, width, height, fps))
        return false;
    // Frames still held belong to the stream that ends here.
    outgoing.clear();
    sendTimer.stop();
    closeConnections();
    frameNumber = 0;
    switchStep = 0;
    restartClock();
    scheduleNextFrame();
    emit streamRestarted(format, width, height, fps);
    return true;
}

void VideoServer::closeConnections()
{
    const auto sockets = clients.keys();
    for (QTcpSocket *socket : sockets)
        closeClient(socket);
}

void VideoServer::acceptConnections()
{
    while (QTcpSocket *socket = server.nextPendingConnection()) {
        if (finishing) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        const QString peer = describePeer(socket);
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket, peer] { forgetSocket(socket, peer); });
        // Viewers never write on this port; whatever one sends must not pile up.
        connect(socket, &QTcpSocket::readyRead, socket,
                [socket] { socket->skip(socket->bytesAvailable()); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this] {
            if (burstRemaining > 0)
                pumpBurst();
        });
        clients.insert(socket, 0);
        ++stats.connectionsAccepted;
        emit clientConnected(peer);
        if (replay)
            replay->addClient(socket);
    }
    if (burstRemaining > 0)
        pumpBurst();
}

void VideoServer::forgetSocket(QTcpSocket *socket, const QString &peer)
{
    clients.remove(socket);
    closingSockets.remove(socket);
    socket->deleteLater();
    emit clientDisconnected(peer);
    if (finishing && clients.isEmpty() && closingSockets.isEmpty())
        emitFinishedOnce();
}

void VideoServer::closeClient(QTcpSocket *socket)
{
    if (!clients.remove(socket))
        return;
    closingSockets.insert(socket);
    ++stats.connectionsClosed;
    // Lets the records already written reach the client before the close.
    socket->disconnectFromHost();
}

void VideoServer::restartClock()
{
    clock.start();
    ticksSinceClockStart = 0;
}

void VideoServer::scheduleNextFrame()
{
    if (currentFps <= 0 || replay || !server.isListening() || finishing || burstRemaining > 0) {
        frameTimer.stop();
        return;
    }
    const qint64 periodNs = hostPeriodNs();
    // Fell more than a period behind (busy machine): count afresh rather than send a burst.
    if (clock.nsecsElapsed() > (ticksSinceClockStart + 2) * periodNs)
        restartClock();
    ++ticksSinceClockStart;
    const qint64 waitNs = ticksSinceClockStart * periodNs - clock.nsecsElapsed();
    frameTimer.start(int(std::max<qint64>(0, waitNs / 1000000)));
}

qint64 VideoServer::hostPeriodNs() const
{
    const qint64 boardPeriodNs = NanosPerSecond / currentFps;
    if (activeFaults.driftPpm == 0)
        return boardPeriodNs;
    // The board makes its frames by its own clock.
    return std::llround(double(boardPeriodNs) / (1.0 + double(activeFaults.driftPpm) * 1e-6));
}

void VideoServer::frameDue()
{
    sendFrame();
    scheduleNextFrame();
}

void VideoServer::sendFrames(int count)
{
    if (count <= 0 || finishing)
        return;
    burstRemaining += count;
    frameTimer.stop();
    pumpBurst();
}

void VideoServer::pumpBurst()
{
    const qint64 watermark = std::min(BurstWatermarkBytes, MaxPendingBytes);
    while (burstRemaining > 0 && !finishing) {
        if (clients.isEmpty())
            return;
        for (auto it = clients.cbegin(); it != clients.cend(); ++it) {
            if (it.key()->bytesToWrite() > watermark)
                return;
        }
        --burstRemaining;
        sendFrame();
    }
    if (!finishing) {
        emit framesSent();
        scheduleNextFrame();
    }
}

bool VideoServer::isDue(int every) const
{
    return every > 0 && stats.framesProduced % every == 0;
}

void VideoServer::sendFrame()
{
    if (finishing || clients.isEmpty() || replay)
        return;
    // Past the limit only the frames still held go out.
    if (frameLimitReached() && !outgoing.empty())
        return;
    if (activeFaults.switchEvery > 0 && stats.framesProduced > 0
        && stats.framesProduced % activeFaults.switchEvery == 0)
        switchConfiguration();

    const FrameTimes times = timesOfFrame(stats.framesProduced + 1);
    FrameRecord record = makeRecord(times.boardUs);
    if (record.payload.isEmpty()) {
        qWarning("The JPEG encoder produced nothing for frame %u", frameNumber);
        return;
    }
    ++stats.framesProduced;
    ++frameNumber;
    if (isDue(activeFaults.skipEvery)) {
        sendDueFrames(); // those held still go, and a limit reached ends the stream
        return;
    }

    Damage damage = Damage::None;
    if (isDue(activeFaults.badSizeEvery))
        damage = Damage::BadSize;
    else if (isDue(activeFaults.truncateEvery))
        damage = Damage::Truncated;
    else if (currentFormat == TestPattern::Jpeg && isDue(activeFaults.corruptJpegEvery))
        damage = Damage::CorruptJpeg;

    switch (damage) {
    case Damage::None:
        break;
    case Damage::BadSize:
        record.size = BadSizes[badSizeCount++ % std::size(BadSizes)];
        record.payload.clear();
        break;
    case Damage::Truncated: {
        const qsizetype length = record.payload.size();
        qsizetype kept = length / 2;
        kept = std::max<qsizetype>(0, kept - (length - kept) % 4);
        record.size = qint32(length);
        record.payload.truncate(kept);
        break;
    }
    case Damage::CorruptJpeg:
        corruptJpeg(record.payload);
        break;
    }

    QByteArray garbage = isDue(activeFaults.garbageEvery) ? makeGarbage() : QByteArray();
    outgoing.push_back({std::move(record), damage, std::move(garbage), times.sendAtNs});
    sendDueFrames();
}

// The one place a frame's times are decided. count: the frame's 1-based number among those made.
VideoServer::FrameTimes VideoServer::timesOfFrame(qint64 count)
{
    using namespace std::chrono;
    const qint64 wallUs = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
    const qint64 hostNs = hostClock.nsecsElapsed();
    qint64 boardUs = wallUs;
    if (activeFaults.driftPpm != 0)
        boardUs += std::llround(double(activeFaults.driftPpm) * 1e-6 * double(hostNs / NanosPerMicro));
    if (activeFaults.jitterUs > 0)
        boardUs += random.bounded(-activeFaults.jitterUs, activeFaults.jitterUs + 1);
    const bool late = activeFaults.lateEvery > 0 && count % activeFaults.lateEvery == 0;
    return {boardUs, hostNs + (late ? activeFaults.lateMs * NanosPerMilli : 0)};
}

// Frames go out in the order made, none before its time: those after a held frame wait for it.
void VideoServer::sendDueFrames()
{
    sendTimer.stop();
    while (!outgoing.empty()) {
        const qint64 waitNs = outgoing.front().sendAtNs - hostClock.nsecsElapsed();
        if (waitNs > 0) {
            // Rounded up, so the timer never fires before the frame is due.
            sendTimer.start(int((waitNs + NanosPerMilli - 1) / NanosPerMilli));
            return;
        }
        const OutgoingFrame frame = std::move(outgoing.front());
        outgoing.pop_front();
        writeToClients(frame);
    }
    if (frameLimitReached() && !finishing)
        finish();
}

void VideoServer::writeToClients(const OutgoingFrame &frame)
{
    const FrameRecord &record = frame.record;
    const QByteArray header = record.header();
    const bool intact = frame.damage == Damage::None;
    const auto sockets = clients.keys();
    for (QTcpSocket *socket : sockets) {
        if (socket->state() != QAbstractSocket::ConnectedState)
            continue;
        if (socket->bytesToWrite() > MaxPendingBytes) {
            ++stats.framesSkipped;
            continue;
        }
        if (!frame.garbage.isEmpty()) {
            socket->write(frame.garbage);
            stats.garbageBytes += frame.garbage.size();
        }
        socket->write(header);
        if (record.hasPayload() && !record.payload.isEmpty())
            socket->write(record.payload);
        ++(intact ? stats.recordsIntact : stats.recordsDamaged);
        const qint64 written = ++clients[socket];
        emit recordSent(record, intact);

        if (frame.damage == Damage::Truncated
            || (activeFaults.closeEvery > 0 && written % activeFaults.closeEvery == 0)
            || (activeFaults.closeChance > 0.0 && random.generateDouble() < activeFaults.closeChance))
            closeClient(socket);
    }
}

FrameRecord VideoServer::makeRecord(qint64 boardUs)
{
    FrameRecord record;
    record.format = currentFormat;
    record.width = currentWidth;
    record.height = currentHeight;
    record.timestamp_s = qint32(boardUs / 1000000);
    record.timestamp_us = qint32(boardUs % 1000000);
    record.payload = testPattern.payload(currentFormat, currentWidth, currentHeight, frameNumber);
    if (frameProcessor)
        frameProcessor(currentFormat, currentWidth, currentHeight, record.payload);

    // Ambient light in lux with its red, green and blue parts, slowly changing.
    const int lux = 300 + int(std::lround(80.0 * std::sin(double(boardUs) / 5e6)));
    record.CLum = FrameRecord::sensorBlock(lux, lux * 2 / 5, lux / 2, lux / 4);
    // Angular rates in millidegrees per second and the sensor temperature in centidegrees,
    // drifting a little from frame to frame.
    for (int axis = 0; axis < 3; ++axis)
        gyro[axis] = std::clamp(gyro[axis] + int(random.bounded(-4, 5)), -2000, 2000);
    gyro[3] = std::clamp(gyro[3] + int(random.bounded(-1, 2)), 3000, 4500);
    record.CPos = FrameRecord::sensorBlock(gyro[0], gyro[1], gyro[2], gyro[3]);
    return record;
}

QByteArray VideoServer::makeGarbage()
{
    QByteArray garbage(4 * qsizetype(random.bounded(1, 65)), Qt::Uninitialized);
    for (char &byte : garbage) {
        auto value = uchar(random.bounded(256));
        // Without the magic's first byte no magic can appear anywhere in the garbage.
        if (value == MagicFirstByte)
            value = MagicFirstByte - 1;
        byte = char(value);
    }
    return garbage;
}

void VideoServer::corruptJpeg(QByteArray &jpeg)
{
    const int kind = corruptJpegCount++ % 3;
    if (jpeg.size() < 4 || kind == 2) {
        // Start-of-image marker gone.
        jpeg[0] = 0;
        if (jpeg.size() > 1)
            jpeg[1] = 0;
    } else if (kind == 0) {
        const qsizetype half = jpeg.size() / 2;
        for (int i = 0; i < 16; ++i)
            jpeg[half + qsizetype(random.bounded(quint64(jpeg.size() - half)))] =
                char(random.bounded(256));
    } else {
        jpeg.truncate(jpeg.size() / 2);
    }
}

void VideoServer::switchConfiguration()
{
    QList<int> formats = {TestPattern::Gray, TestPattern::Uyvy, TestPattern::Yuv420,
                          TestPattern::Nv12};
    if (testPattern.canProduce(TestPattern::Jpeg))
        formats.append(TestPattern::Jpeg);
    // The switching fault walks through the board's sizes in their order.
    const int sizeCount = int(std::size(BoardProtocol::ImageSizes));
    int format, width, height;
    do {
        ++switchStep;
        format = formats.at(switchStep % formats.size());
        width = BoardProtocol::ImageSizes[switchStep % sizeCount].width;
        height = BoardProtocol::ImageSizes[switchStep % sizeCount].height;
    } while (format == currentFormat && width == currentWidth && height == currentHeight);
    currentFormat = format;
    currentWidth = width;
    currentHeight = height;
    emit configurationSwitched(format, width, height);
}

void VideoServer::finish()
{
    finishing = true;
    burstRemaining = 0;
    frameTimer.stop();
    server.close();
    closeConnections();
    if (closingSockets.isEmpty()) {
        emitFinishedOnce();
        return;
    }
    QTimer::singleShot(FinishTimeoutMs, this, [this] {
        const auto stuck = closingSockets.values();
        for (QTcpSocket *socket : stuck)
            socket->abort();
        emitFinishedOnce();
    });
}

void VideoServer::emitFinishedOnce()
{
    if (finishedEmitted)
        return;
    finishedEmitted = true;
    emit finished();
}
