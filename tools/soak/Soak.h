#pragma once

#include "FrameDecoder.h"
#include "StreamModel.h"
#include "VideoFaults.h"
#include "VideoServer.h"
#include "imageStream.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <memory>

struct SoakOptions
{
    qint64 frames = 3000;
    quint32 seed = 1;
    VideoFaults faults;
    int reconnectDelayMs = 5;
    int captureCycle = 200;   // completed frames per capture mode, payload files and pictures in turn
    qint64 warmupFrames = -1; // -1: a tenth of the frames, at least 1000
    double maxRssGrowthMiB = 32;
};

// Drives the real stream client against the simulator with faults on, as the window does: every
// completed frame is converted and, with capture on, stored; each lost connection is reconnected
// after a short delay. Checks every frame against what the simulator sent.
class Soak : public QObject
{
    Q_OBJECT

public:
    explicit Soak(const SoakOptions &options);

    // False when a check failed; the summary is printed either way.
    bool run();
    // Goes up with every record sent and every frame completed; the watchdog reads it.
    std::atomic<qint64> progress{0};

private:
    void recordSent(const FrameRecord &record, bool intact);
    void frameReady();
    void checkCapture(const StreamModel::Frame &expected, const FrameSlot &frame);
    void startCaptureMode();
    void connectionLost();
    void sampleRss();
    void fail(const QString &message, bool stop = false);
    void printSummary(double seconds) const;

    SoakOptions options;
    QTemporaryDir folder;
    VideoServer server;
    std::unique_ptr<imageStream> stream;
    FrameDecoder jpegReference; // a decoder apart from the stream's, for the pictures expected
    StreamModel model;
    QTimer reconnectTimer;
    QElapsedTimer clock;
    QStringList failures;
    bool serverDone = false;
    bool stopped = false; // the client left the expected sequence: nothing after is comparable

    qint64 sent = 0, sentIntact = 0, sentCorruptJpeg = 0, sentBadSize = 0, sentCut = 0;
    qint64 garbageSeen = 0, garbageRuns = 0;
    qint64 connections = 0, reconnects = 0;
    qint64 completed = 0, completedIntact = 0, completedCorruptJpeg = 0, shownIntact = 0;

    bool rawCapture = true;
    int captureNumber = 0; // the number the next file must carry
    int reportedNumber = -1;
    qint64 filesReported = 0, filesWritten = 0, byteExact = 0;
    qint64 picturesChecked = 0;
    qint64 capturedWellFormed = 0;

    qint64 warmup = 0;
    qint64 rssStartKiB = -1, rssPeakKiB = 0, rssEndKiB = 0, rssFirstKiB = 0;
};
