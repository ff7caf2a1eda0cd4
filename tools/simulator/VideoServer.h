#pragma once

#include <deque>
#include <functional>

#include "FrameRecord.h"
#include "TestPattern.h"
#include "VideoFaults.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QHash>
#include <QObject>
#include <QRandomGenerator>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;
class WireReplay;

// The board's video port: streams frame records of the test pattern to every connected client
// at the configured rate, with wall-clock capture times and plausible sensor blocks. A client
// that falls behind misses frames instead of making the server buffer without limit. The timing
// faults make the board's clock jitter or drift and hold frames back on the way.
class VideoServer : public QObject
{
    Q_OBJECT

public:
    // Far above the board's own rates, for benchmarks.
    static constexpr int MaxSimulatedFps = 1000;
    // A client with more than this many bytes still queued misses the next frame.
    static constexpr qint64 MaxPendingBytes = 8 * 1024 * 1024;
    // sendFrames() writes the next frame once every client has at most this much queued.
    static constexpr qint64 BurstWatermarkBytes = 1024 * 1024;
    // How long finish() lets clients take what was written before it drops them.
    static constexpr int FinishTimeoutMs = 5000;

    struct Statistics
    {
        qint64 framesProduced = 0; // frames made while at least one client was connected
        qint64 recordsIntact = 0;  // counted per connection a record was written to
        qint64 recordsDamaged = 0;
        qint64 framesSkipped = 0; // frames not written to a connection that was behind
        qint64 garbageBytes = 0;
        qint64 connectionsAccepted = 0;
        qint64 connectionsClosed = 0; // closed by this side
    };

    explicit VideoServer(QObject *parent = nullptr);
    ~VideoServer() override;

    bool listen(const QHostAddress &address = QHostAddress(QHostAddress::LocalHost),
                quint16 port = BoardProtocol::DefaultVideoPort);
    QString errorString() const { return server.errorString(); }
    QHostAddress serverAddress() const { return server.serverAddress(); }
    quint16 serverPort() const { return server.serverPort(); }

    // Changes format, size and rate for the frames to come without closing connections. Refuses
    // (false, nothing changed) a format that cannot be produced at that size, or fps outside
    // 0..MaxSimulatedFps. With fps 0 frames go out only through sendFrame() and sendFrames().
    bool setConfiguration(int format, int width, int height, int fps);
    int format() const { return currentFormat; }
    int width() const { return currentWidth; }
    int height() const { return currentHeight; }
    int fps() const { return currentFps; }

    void setFaults(const VideoFaults &faults);
    const VideoFaults &faults() const { return activeFaults; }
    void setRandomSeed(quint32 seed) { random.seed(seed); }
    // After this many frames the server stops producing, lets the clients take what was written,
    // closes them and emits finished(). 0: no limit.
    void setFrameLimit(qint64 frames) { frameLimit = frames; }

    // The pattern generator; set its JPEG encoder here.
    TestPattern &pattern() { return testPattern; }
    // Runs on every payload before it is sent, as the board's on-board processing would.
    using FrameProcessor = std::function<void(int format, int width, int height, QByteArray &payload)>;
    void setFrameProcessor(FrameProcessor processor) { frameProcessor = std::move(processor); }
    // Every client gets this replay instead of the test pattern, which then stays off. Set it
    // before listen(); it must outlive the server.
    void setReplay(WireReplay *wireReplay) { replay = wireReplay; }
    int clientCount() const { return int(clients.size()); }
    const Statistics &statistics() const { return stats; }

public slots:
    // Like a board restarting with a new configuration: closes every video connection, then
    // streams the new format, size and rate from frame 0. Refused as setConfiguration() refuses.
    bool applyConfiguration(int format, int width, int height, int fps);
    // Produces one frame now and writes it to every client that is not behind; a frame the late
    // fault holds, and the frames made after it, are written when it is due.
    void sendFrame();
    // Produces count frames as fast as the clients take them, pausing the timed stream; emits
    // framesSent() when the last is written. Waits while no client is connected.
    void sendFrames(int count);
    void closeConnections();

signals:
    void clientConnected(const QString &peer);
    void clientDisconnected(const QString &peer);
    void streamRestarted(int format, int width, int height, int fps);
    // The switching fault moved the stream to another format or size.
    void configurationSwitched(int format, int width, int height);
    // One per record and connection: record.toBytes() is exactly what was written after any
    // garbage; intact is false for a damaged record.
    void recordSent(const FrameRecord &record, bool intact);
    void framesSent();
    void finished();

private:
    enum class Damage { None, BadSize, Truncated, CorruptJpeg };
    struct FrameTimes
    {
        qint64 boardUs;   // the board's clock, wall time as sent
        qint64 sendAtNs;  // on hostClock
    };
    struct OutgoingFrame
    {
        FrameRecord record;
        Damage damage;
        QByteArray garbage;
        qint64 sendAtNs;
    };

    void acceptConnections();
    void forgetSocket(QTcpSocket *socket, const QString &peer);
    void closeClient(QTcpSocket *socket);
    void scheduleNextFrame();
    void restartClock();
    void frameDue();
    void pumpBurst();
    void finish();
    void emitFinishedOnce();
    void switchConfiguration();
    bool isDue(int every) const;
    bool frameLimitReached() const { return frameLimit > 0 && stats.framesProduced >= frameLimit; }
    FrameTimes timesOfFrame(qint64 count);
    qint64 hostPeriodNs() const;
    void sendDueFrames();
    void writeToClients(const OutgoingFrame &frame);
    FrameRecord makeRecord(qint64 boardUs);
    QByteArray makeGarbage();
    void corruptJpeg(QByteArray &jpeg);

    QTcpServer server;
    QTimer frameTimer;
    QElapsedTimer clock;
    qint64 ticksSinceClockStart = 0;
    // Runs from construction: what the board's clock drifts against and frames are held by.
    QElapsedTimer hostClock;
    std::deque<OutgoingFrame> outgoing; // in the order made; the first may be held
    QTimer sendTimer;

    TestPattern testPattern;
    FrameProcessor frameProcessor;
    WireReplay *replay = nullptr;
    int currentFormat = TestPattern::Gray;
    int currentWidth = BoardProtocol::VgaSize.width;
    int currentHeight = BoardProtocol::VgaSize.height;
    int currentFps = BoardProtocol::MaxFrameRate;
    quint32 frameNumber = 0;
    int switchStep = 0;

    VideoFaults activeFaults;
    QRandomGenerator random;
    int badSizeCount = 0;
    int corruptJpegCount = 0;
    qint32 gyro[4] = {12, -7, 3, 3650};

    QHash<QTcpSocket *, qint64> clients; // records written to each connection
    QSet<QTcpSocket *> closingSockets;
    qint64 frameLimit = 0;
    int burstRemaining = 0;
    bool finishing = false;
    bool finishedEmitted = false;
    Statistics stats;
};
