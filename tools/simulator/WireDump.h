#pragma once

#include "WireDumpRecords.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

// A wire dump: the plain bytes a client received on the video port. The file is mapped (read
// once when it cannot be), never copied per client; its records are found as the inspector
// finds them, by the stream client's own parser, so a dump splits exactly as a recorder or the
// viewer would read it.
class WireDump
{
public:
    using Record = WireDumpRecords::Record;

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

    QFile file;
    uchar *mapped = nullptr;
    QByteArray readBytes; // only when the file cannot be mapped
    const char *bytes = nullptr;
    qint64 byteCount = 0;
    QList<Record> wholeRecords;
    qint64 cleanEnd = 0;
    QString error;
};
