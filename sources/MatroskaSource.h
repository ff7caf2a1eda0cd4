#pragma once

#include "FrameSource.h"
#include "MatroskaReader.h"

// A Matroska recording of the recorder, read frame by frame.
class MatroskaSource : public FrameSource
{
public:
    explicit MatroskaSource(const QString &path) : path(path) {}

    bool open() override;
    qint64 count() const override { return reader.frameCount(); }
    bool frame(qint64 index, FrameSlot &slot) override { return reader.frame(index, slot); }
    // From where the file was scanned for its frames; the sensor blocks are not read.
    bool header(qint64 index, FrameSlot &slot) override { return reader.header(index, slot); }
    QString name() const override;
    QString kind() const override { return QStringLiteral("Matroska recording"); }
    QString errorString() const override { return reader.errorString(); }
    std::unique_ptr<FrameSource> reopened() const override;

private:
    QString path;
    MatroskaReader reader;
};
