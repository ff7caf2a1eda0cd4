#pragma once

#include "FrameStore.h"

#include <QStringList>

#include <functional>

class FrameSource;

// Writes a stretch of a source's frames as the recorder writes what it receives, through its
// frame store and index: one Matroska file per run of one format and size (<prefix>0.mkv, ...),
// or one file per frame (JPEG and raw payloads as received, or BMP pictures), with
// <prefix>index.csv beside them. Arrival times are the source's where it keeps them.
class FrameExport
{
public:
    struct Result
    {
        QString error; // empty when every frame went where it should
        qint64 frames = 0; // indexed
        QStringList files; // written, in order, the index last
    };
    // Told how many frames are done; false cancels.
    using Progress = std::function<bool(qint64 done)>;

    static Result run(FrameSource &source, qint64 first, qint64 last, const QString &folder, const QString &prefix,
                      FrameStore::Storage storage, const Progress &progress = {});
};
