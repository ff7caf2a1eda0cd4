#pragma once

#include "FrameSource.h"

#include <QFile>

#include <vector>

// A file of frame records as they came over the wire. open() runs the stream's own parser over
// the file once, so a damaged stretch is skipped exactly as the viewer would skip it, and keeps
// each frame's header, sensor blocks and payload offset; frame(i) reads that one payload.
class WireDumpSource : public FrameSource
{
public:
    explicit WireDumpSource(const QString &path);

    bool open() override;
    qint64 count() const override { return qint64(frames.size()); }
    bool frame(qint64 index, FrameSlot &slot) override;
    bool header(qint64 index, FrameSlot &slot) override;
    QString name() const override;
    QString errorString() const override { return error; }

private:
    struct Place
    {
        FrameSlot header; // payload left empty
        qint64 payloadOffset = 0;
    };
    bool fail(const QString &what);

    QFile file;
    QString error;
    std::vector<Place> frames;
};
