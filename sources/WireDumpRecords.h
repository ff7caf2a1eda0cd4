#pragma once

#include "FrameSlot.h"

#include <QList>

class QIODevice;

// The whole frame records of a wire dump, found by the stream client's own parser, so that a
// dump splits exactly as the viewer or a recorder would read it. Payloads are stepped over, not
// read: finding the records of a file of gigabytes costs a pass over their headers.
class WireDumpRecords
{
public:
    struct Record
    {
        FrameSlot header; // payload left empty; `size` its bytes
        qint64 start = 0; // offset of its magic
        qint64 payloadOffset = 0;
        qint64 end() const { return payloadOffset + header.size; }
    };

    // Reads a random-access device, open for reading, from its first byte.
    static WireDumpRecords find(QIODevice &dump);

    // In order; bytes before each one (garbage, dropped records) belong to it.
    QList<Record> records;
    // Whether the parser ends waiting for a new record with nothing left over, so that a second
    // pass over the same bytes would read as the first.
    bool endsClean = false;
};
