#pragma once

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// A wire dump: the plain bytes a client received on the video port. The file is mapped (read
// once when it cannot be), never copied per client; its records are found by the stream
// client's own parser, so a dump splits exactly as a recorder or the viewer would read it.
class WireDump
{
public:
    struct Record
    {
        qint64 end;         // offset just past the record's last byte
        qint64 boardTimeUs; // timestamp_s and timestamp_us, read unsigned as the parser does
        qint64 timeAt;      // offset of its timestamp fields
    };

    WireDump() = default;
    WireDump(const WireDump &) = delete;
    WireDump &operator=(const WireDump &) = delete;
    ~WireDump();

    // False for a file that cannot be read, is empty or holds no whole frame record;
    // errorString() then says so in one line.
    bool load(const QString &path);
    QString errorString() const { return error; }

    const char *data() const { return bytes; }
    qint64 size() const { return byteCount; }
    // The whole records in order; bytes before each one (garbage, dropped records) belong to it.
    const QList<Record> &records() const { return wholeRecords; }
    // Where a loop starts over: the end of the dump, or the end of its last whole record when
    // the parser would still be inside a record (or hold leftover bytes) there, so that every
    // round reads as the first one does.
    qint64 loopEnd() const { return cleanEnd; }

private:
    bool refuse(const QString &reason);
    void findRecords();

    QFile file;
    uchar *mapped = nullptr;
    QByteArray readBytes; // only when the file cannot be mapped
    const char *bytes = nullptr;
    qint64 byteCount = 0;
    QList<Record> wholeRecords;
    qint64 cleanEnd = 0;
    QString error;
};
