#pragma once

#include "FrameSlot.h"

#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <vector>

// A recording's index: one header line naming the columns, then one row per frame record
// received, as the recorder writes it (<prefix>index.csv) and the inspector reads it back. Rows
// are written whole and at once, so that a recording cut short leaves a readable index; the rows
// of many frames can be gathered and written together, in one call to the system. The reader
// takes the columns by their names, so an index of an older or newer shape still opens, and says
// which columns it lacks or does not know.
class RecordIndex
{
public:
    enum Column {
        Record,
        File,
        Status,
        Format,
        Width,
        Height,
        PayloadBytes,
        BoardTime,
        ArrivalTime,
        Clum,
        Cpos,
        FrameInFile, // a recording file's index only: the frame's number in its file
        ColumnCount
    };
    static const char *const ColumnNames[ColumnCount];

    // The recorder's index beside its frames.
    static constexpr const char *RecorderSuffix = "index.csv";
    static QString recorderIndexName(const QString &prefix) { return prefix + QLatin1String(RecorderSuffix); }

    enum class FrameStatus { Stored, Damaged, Hidden, Failed };
    static QString statusWord(FrameStatus status);
    // Whether a status word tells of a frame that arrived but is not there as it should be.
    static bool isTroubleStatus(const QString &word);

    struct Row
    {
        qint64 record = 0;
        QString file; // in the index's folder; empty when nothing was stored
        QString status; // a status word; a newer recorder's words are kept as they are
        // Header fields and sensor blocks; `size` is the payload's bytes. A row written takes the
        // payload's own size where the frame carries its payload.
        FrameSlot frame;
        bool hasBoardTime = true;
        QDateTime arrival; // null when the index has none
        qint64 frameInFile = -1;
    };

    // Replaces an index left by an earlier recording, as the files are. With frameInFile, each
    // row ends with the frame's number in its file.
    bool open(const QString &path, bool frameInFile = false);
    // A row, written with the next writePending().
    void addRow(const Row &row);
    // The rows added since the last call; false when they could not be written whole.
    bool writePending();
    QString fileName() const { return file.fileName(); }
    QString errorString() const { return file.errorString(); }

    struct Contents
    {
        std::vector<Row> rows;
        QStringList missingColumns; // known columns the index lacks
        QStringList unknownColumns; // columns it has and this reader does not know
        QString error; // empty when it could be read
    };
    // A last row cut short (by a crash) is left out; any other bad row makes the index unreadable.
    static Contents read(const QString &path);
    // Whether a file's first line names the columns of an index.
    static bool isIndex(const QString &path);

    // The board's timestamp as seconds with six decimals, "seconds.micros".
    static QString boardTime(qint64 boardTimeUs);
    static QString boardTime(qint32 timestampS, qint32 timestampUs)
    {
        return boardTime(FrameSlot::boardTimeUs(timestampS, timestampUs));
    }
    // That text back into the header's two fields; fewer decimals, as an editor may leave them,
    // are still a fraction of a second: "5.25" is 5.250000.
    static bool parseBoardTime(const QString &text, FrameSlot &frame);
    // The arrival time in UTC, ISO 8601 with milliseconds.
    static QString arrivalTime(const QDateTime &arrival);
    static QString formatName(qint32 format);
    // A format's name, or its code as a number, back into the code.
    static bool parseFormat(const QString &text, qint32 &format);

private:
    QFile file;
    QByteArray pending; // rows added, not yet written
    bool withFrameInFile = false;
};
