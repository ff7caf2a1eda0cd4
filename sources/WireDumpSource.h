#pragma once

#include "FrameSource.h"
#include "WireDumpRecords.h"

#include <QFile>

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
    QString kind() const override { return QStringLiteral("wire dump"); }
    QString errorString() const override { return error; }
    std::unique_ptr<FrameSource> reopened() const override;

private:
    bool fail(const QString &what);

    QFile file;
    QString error;
    QList<WireDumpRecords::Record> frames; // shared, never changed, with the sources reopened
};
