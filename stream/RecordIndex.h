#pragma once

#include <QFile>
#include <QString>

class QDateTime;
struct FrameSlot;

// FOLDER/<prefix>index.csv: one header line, then one row per frame record received. Rows are
// written whole and at once, so that a recording cut short leaves a readable index; the rows of
// many frames can be gathered and written together, in one call to the system.
class RecordIndex
{
public:
    static constexpr const char *HeaderLine =
        "record,file,status,format,width,height,payload_bytes,board_time,arrival_time,clum,cpos";
    // The last column of a recording file's index: the frame's number in its file.
    static constexpr const char *PlaceColumn = ",frame_in_file";

    // Replaces an index left by an earlier recording, as the files are. With places, each row
    // ends with the frame's number in its file.
    bool open(const QString &path, bool places = false);
    // A row, written with the next writePending(). place: -1 when the frame is in no file.
    void addRow(qint64 record, const QString &file, const QString &status, const FrameSlot &frame,
                const QDateTime &arrival, qint64 place = -1);
    // The rows added since the last call; false when they could not be written whole.
    bool writePending();
    // A row added and written at once.
    bool append(qint64 record, const QString &file, const QString &status, const FrameSlot &frame,
                const QDateTime &arrival, qint64 place = -1)
    {
        addRow(record, file, status, frame, arrival, place);
        return writePending();
    }
    QString fileName() const { return file.fileName(); }
    QString errorString() const { return file.errorString(); }

    // The board's timestamp as seconds with six decimals.
    static QString boardTime(qint32 timestampS, qint32 timestampUs);
    // The arrival time in UTC, ISO 8601 with milliseconds.
    static QString arrivalTime(const QDateTime &arrival);
    static QString formatName(qint32 format);

private:
    QFile file;
    QByteArray pending; // rows added, not yet written
    bool places = false;
};
