#pragma once

#include "FrameParser.h"
#include "RecorderOptions.h"
#include "RecordingSession.h"
#include "RecordingSummary.h"
#include "StreamStatistics.h"
#include "TroubleCapture.h"
#include "WireTee.h"

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

// Records the board's video stream: configures the board when asked, connects (and connects
// again when asked), feeds the parser through the wire tee, and stores each frame with its
// index row. Ends by emitting finished() once; exitStatus() then tells how it went.
class Recorder : public QObject
{
    Q_OBJECT

public:
    enum ExitStatus { Success = 0, Trouble = 1, Usage = 2, FramesMissing = 3 };

    static constexpr int FirstBackoffMs = 500;
    static constexpr int MaxBackoffMs = 5000;
    // Bound of one connection attempt, so an unreachable host is retried or reported.
    static constexpr int ConnectTimeoutMs = 5000;
    // After configuring, how long the board may refuse while it restarts its stream, and how
    // often it is tried meanwhile.
    static constexpr int RestartWaitMs = 5000;
    static constexpr int RestartPollMs = 250;
    // Bytes parsed at most before the event loop has its turn, for its timers and signals.
    static constexpr qint64 ParseTurnBytes = 4 << 20;
    // With no frame for this long the recording file's gathered frames are written: a paused
    // stream is then safe on disk and its frames indexed.
    static constexpr int IdleFlushMs = 200;

    // judge: how JPEG frames are judged, by default as the window would show them.
    explicit Recorder(const RecorderOptions &options, RecordingSession::Judge judge = RecordingSession::judgeFrame,
                      QObject *parent = nullptr);

    // Opens the index, then configures and connects; false with errorText() if the summary
    // cannot be written where asked, or if the index could not be opened (the summary is then
    // written all the same).
    bool start();
    // A clean stop: the frame in hand is finished, the index is complete.
    void stop();

    int exitStatus() const;
    QString errorText() const { return error; }
    // The summary that could not be written, when something else had gone wrong before.
    QString summaryErrorText() const { return summaryError; }
    const StreamStatistics &statistics() const { return stats; }
    qint64 elapsedMs() const { return clock.elapsed(); }
    qint64 bytesReceived() const { return tee.bytesRead(); }

signals:
    // One line for the log on the trouble clips: each clip written, troubles not clipped.
    void troubleLine(const QString &description);
    void finished();

private:
    void configureAndConnect();
    bool sendConfiguration();
    void connectVideo();
    void connected();
    void connectFailed();
    void disconnected();
    void retryLater();
    void recordFrame();
    void pauseReading(bool pause);
    void parse();
    void judgementsIn();
    void keepIdleFlush();
    void openWireDump();
    void closeWireDump();
    void fail(const QString &text);
    void finish();
    void sessionFinished();
    void startTroubleCapture();
    void writeSummary();
    QString videoAddress() const;

    const RecorderOptions options;
    QElapsedTimer clock;
    QTcpSocket socket;
    WireTee tee;
    FrameParser parser;
    StreamStatistics stats;
    RecordingSession session;
    RecordingSummary summary;
    std::unique_ptr<TroubleCapture> troubleCapture; // with --keep-trouble
    bool clipsWritten = false; // every clip written, at the end
    QFile wireDump;
    int connectionsMade = 0;
    QString lastConnectError;
    QTimer connectTimer;
    QTimer retryTimer;
    QTimer timeLimit;
    QTimer idleFlush;
    int backoffMs = FirstBackoffMs;
    qint64 restartWaitUntilMs = -1;
    qint64 lastFrameMs = 0; // when the last frame came, by the clock
    bool isConnected = false;
    bool readingPaused = false; // frames in hand, waiting for their judgement
    bool stopping = false;
    bool failed = false;
    QString error;
    QString summaryError;
};
