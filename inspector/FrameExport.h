#pragma once

#include "FrameSource.h"
#include "FrameStorage.h"
#include "RecordingNames.h"

#include <QObject>
#include <QStringList>
#include <QThread>

#include <memory>

class RecordingSession;
class StreamStatistics;

// Writes a stretch of a source's frames as the recorder writes what it receives, through a
// recording session on a thread of its own: Matroska files, a new one where format or size
// change, or one file per frame (JPEG and raw payloads as received, or BMP pictures), with the
// index beside them. Named after the name typed, "cut.mkv": cut.mkv, cut-2.mkv, ... or cut-0.jpg,
// cut-1.bmp, ..., and cut.csv. Arrival times are the source's where it keeps them. One export;
// deletes nothing it does not own.
class FrameExport : public QObject
{
    Q_OBJECT

public:
    using Storage = FrameStorage::Kind;
    struct Result
    {
        QString error; // empty when every frame went where it should
        bool cancelled = false; // stopped before the last frame
        qint64 frames = 0; // indexed
        QStringList files; // written, in order, the index last
        qint64 bytes = 0; // of those files
    };

    // source: opened, owned, used only on the export's thread. path: the name the user typed.
    FrameExport(std::unique_ptr<FrameSource> source, qint64 first, qint64 last, const QString &path, Storage storage);
    // Cancels a running export and waits for it to stop, its index complete.
    ~FrameExport() override;

    // Returns at once; progressed() and finished() come on this object's thread.
    void start();
    // Any thread; the export stops after the frame in hand, its index complete.
    void cancel();
    qint64 firstFrame() const { return first; }
    qint64 lastFrame() const { return last; }
    qint64 total() const { return last - first + 1; }
    QString folder() const { return names.folder(); }

signals:
    void progressed(qint64 done, qint64 total);
    void finished(const FrameExport::Result &result);

private:
    // On the export's thread.
    void begin();
    void scheduleFeed();
    void feed();
    void report(qint64 done);
    void end();

    std::unique_ptr<FrameSource> source;
    const qint64 first;
    const qint64 last;
    const RecordingNames names;
    const Storage storage;
    QThread thread;
    std::unique_ptr<QObject> worker; // lives on the export's thread: the context of its work
    std::unique_ptr<StreamStatistics> statistics;
    std::unique_ptr<RecordingSession> session;
    Result result;
    qint64 next = 0;
    qint64 reported = 0;
    bool feedPosted = false;
    bool cancelRequested = false;
};
