#pragma once

#include "VideoServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>

// Runs the recorder executable with --reconnect --raw against the simulator with faults on, and
// follows its index as it grows: every record sent intact must get a stored row whose file holds
// its payload byte for byte. Checked files are removed, so a long run needs little disk.
class RecorderSoak : public QObject
{
    Q_OBJECT

public:
    RecorderSoak(const QString &recorderPath, qint64 frames, quint32 seed, const VideoFaults &faults,
                 double maxRssGrowthMiB);

    // False when a check failed; the summary is printed either way.
    bool run();
    std::atomic<qint64> progress{0};

private:
    struct Expected
    {
        QByteArray payloadHash;
        int format;
    };

    void recordSent(const FrameRecord &record, bool intact);
    void readIndex();
    void checkRow(const QString &line);
    void allSent();
    void fail(const QString &message);
    void sampleRss();

    const QString recorderPath;
    const qint64 frames;
    const double maxRssGrowthMiB;
    QTemporaryDir folder;
    VideoServer server;
    QProcess recorder;
    QFile index;
    QByteArray partialLine;
    QTimer indexTimer;
    QElapsedTimer clock;
    QHash<QString, Expected> expected; // by board time and sensor blocks
    QStringList failures;
    bool sentAll = false;
    bool headerRead = false;

    qint64 sent = 0, sentIntact = 0, rows = 0, rowsStored = 0, rowsDamaged = 0, rowsFailed = 0;
    qint64 matched = 0, byteExact = 0, connections = 0;
    qint64 rssStartKiB = -1, rssEndKiB = -1;
};
