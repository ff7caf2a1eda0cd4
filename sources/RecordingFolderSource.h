#pragma once

#include "FrameSource.h"
#include "RecordIndex.h"

#include <QDir>
#include <QList>

#include <map>
#include <memory>

class MatroskaReader;
class QFileInfo;

// The frames of a recording's folder, as the recorder or the inspector's export left them: one
// file per frame (.jpg, .bmp, raw .bvt) or Matroska files of many frames, with an index beside
// them (<prefix>index.csv of the recorder, <name>.csv of an export). Through the index every
// frame has its row's header fields, status, board time, sensor blocks and arrival time; a
// frame in a Matroska file is read from it at its number there. Without an index, .jpg and .bmp
// files stand on their own and .bvt files cannot be read. The path names the folder, the index,
// or one file of the recording (the frames are then those of the index beside it that names the
// file, starting at that file's first frame).
class RecordingFolderSource : public FrameSource
{
public:
    explicit RecordingFolderSource(const QString &path);
    ~RecordingFolderSource() override;

    // The index beside a recording's file whose rows name it; empty when there is none.
    static QString indexNaming(const QString &filePath);

    bool open() override;
    qint64 count() const override { return frames.size(); }
    bool frame(qint64 index, FrameSlot &slot) override;
    bool header(qint64 index, FrameSlot &slot) override;
    bool hasBoardTime() const override { return withBoardTime; }
    QString name() const override;
    QString kind() const override;
    QString errorString() const override { return error; }
    QImage picture(qint64 index) override;
    QString recordedStatus(qint64 index) const override;
    QDateTime arrival(qint64 index) const override;
    qint64 startFrame() const override { return start; }
    QString notice() const override { return indexNotice; }
    std::unique_ptr<FrameSource> reopened() const override;

private:
    struct Entry
    {
        FrameSlot header; // payload left empty; size as the index gives it
        QString file;     // in the folder; empty when nothing was stored
        QString status;
        QDateTime arrival; // null when the index has none
        qint64 frameInFile = -1; // its number in a Matroska file
    };
    bool openFolder();
    bool openFile(const QFileInfo &info);
    bool readIndex(const QString &indexPath);
    bool takeIndex(const QString &indexPath, const RecordIndex::Contents &contents);
    bool listFiles();
    void startAt(const QString &fileName);
    MatroskaReader *readerOf(const QString &fileName);
    bool fail(const QString &what);

    QString path;
    QDir folder;
    QString prefix; // the recording's files start with it
    bool withBoardTime = false;
    qint64 start = 0;
    QString indexNotice;
    QString error;
    QList<Entry> frames; // shared, never changed, with the sources reopened
    std::map<QString, std::unique_ptr<MatroskaReader>> readers; // opened on first use
};
