#pragma once

#include "FrameSource.h"

#include <QDir>

#include <vector>

// The files of a capture, prefix + running number + extension, in one folder. With the
// recorder's index (prefix + "index.csv") every frame gets its format, size, board time and
// sensor blocks from its row, so raw .bvt payloads can be shown; without one, .jpg and .bmp files
// stand on their own and .bvt files cannot be read. The path names the folder (the prefix with
// the most files, an index first), or one of its files or its index (that file's prefix).
class CaptureFolderSource : public FrameSource
{
public:
    explicit CaptureFolderSource(const QString &path) : path(path) {}

    bool open() override;
    qint64 count() const override { return qint64(frames.size()); }
    bool frame(qint64 index, FrameSlot &slot) override;
    bool header(qint64 index, FrameSlot &slot) override;
    bool hasBoardTime() const override { return indexed; }
    QString name() const override;
    QString errorString() const override { return error; }
    QImage picture(qint64 index) override;
    QString recordedStatus(qint64 index) const override;
    QDateTime arrival(qint64 index) const override;

private:
    struct Entry
    {
        FrameSlot header; // payload left empty; size as the index gives it
        QString file;     // in the folder; empty when nothing was stored
        QString status;
        QDateTime arrival; // null when the index has none
    };
    bool choosePrefix();
    bool readIndex(const QString &indexPath);
    bool listFiles();
    bool fail(const QString &what);

    QString path;
    QDir folder;
    QString prefix;
    bool indexed = false;
    QString error;
    std::vector<Entry> frames;
};
