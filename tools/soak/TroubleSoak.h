#pragma once

#include "VideoServer.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QObject>
#include <QProcess>
#include <QSet>
#include <QStringList>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <memory>

// Runs the recorder executable with --keep-trouble against the simulated board streaming at a
// full rate with one trouble a minute (a record of a bad size, or corrupt JPEG), sampling the
// recorder's RSS every second. Each clip is checked once its trouble.json says how it ended (its
// stream.wire starts with a record, its trouble.json parses and names the trouble sent) and then
// removed, so that a long run needs little disk. At the end: each trouble sent in a clip of its
// own, and the peak RSS within that of the same recorder without --keep-trouble (a short run
// first, storing into one Matroska file) plus the bound its --help states, worked out from the
// bytes and records per second the recorder read. Clips of frames late or lost alone, which this
// machine makes too at such a rate (the run without --keep-trouble counts them), are told apart.
class TroubleSoak : public QObject
{
    Q_OBJECT

public:
    struct Settings
    {
        QString recorderPath;
        int format = 0;
        int width = 0;
        int height = 0;
        int fps = 0;
        int keptSeconds = 10;
        qint64 seconds = 1800; // of troubles, one at the end of each minute
        int baselineSeconds = 20;
        QString folder; // where the clips go; empty: the temporary folder
        QString rssLog; // every sample as "seconds,KiB"; empty: none
    };

    explicit TroubleSoak(const Settings &settings);

    // False when a check failed; the figures are printed either way.
    bool run();
    std::atomic<qint64> progress{0};

private:
    struct Memory
    {
        qint64 peakKiB = -1;
        qint64 peakAtMs = 0;
        qint64 lastKiB = -1;
        qint64 samples = 0;
    };
    struct Clip
    {
        QString name;
        qint64 frames = 0;
        qint64 bytes = 0;
        double secondsBefore = 0;
        bool memoryLimited = false;
        QString ended;
        qint64 latencyMaxUs = 0; // relative to the clip's least: how long the stream stood still in it
        QString first; // the first trouble's kind
        double firstAtS = 0; // and when it came, from the start of the run
        QHash<QString, qint64> kinds; // troubles by kind
        qint64 sentTroubles = 0;
    };

    bool record(const VideoFaults &faults, const QStringList &arguments, Memory &memory);
    void sample(Memory &memory);
    void followClips();
    void checkClip(const QString &name);
    void removeLater(const QString &path);
    QString clipLine(const Clip &clip) const;
    void fail(const QString &message);

    const Settings settings;
    const QString troubleKind; // the word trouble.json names the troubles sent by
    QTemporaryDir work;
    QString clipFolder;
    std::unique_ptr<VideoServer> server;
    QProcess recorder;
    QElapsedTimer clock;
    QDateTime started; // the run's, for the troubles' arrival times
    QTimer sampler;
    QFile rssLog;
    QHash<QString, qint64> sentAt; // board time of each trouble sent, and the clips that name it
    QStringList sentOrder;
    QSet<QString> clipsSeen;
    std::vector<Clip> clips;
    QStringList failures;
};
