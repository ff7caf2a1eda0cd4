#pragma once

// The stream targets' input, so that they share their seeds: stream bytes, a table of piece
// lengths, one settings byte, then one byte giving the table's length. The pieces take their
// lengths from the table in turn; 0 delivers the rest at once; without a table the stream
// arrives in one piece.

#include <QtGlobal>

#include <cstddef>
#include <cstdint>

class StreamPieces
{
public:
    StreamPieces(const uint8_t *data, size_t size)
    {
        if (size < 2)
            return;
        tableLength = qMin<size_t>(data[size - 1], size - 2);
        streamLength = size - 2 - tableLength;
        table = data + streamLength;
        settings = data[size - 2];
        valid = true;
    }

    bool valid = false;
    uint8_t settings = 0;
    size_t streamLength = 0;

    // deliver(offset, length) for each piece in turn.
    template <typename Deliver>
    void forEach(Deliver deliver) const
    {
        size_t offset = 0;
        for (size_t piece = 0; offset < streamLength; ++piece) {
            size_t length = streamLength - offset;
            if (tableLength > 0 && table[piece % tableLength] != 0)
                length = qMin<size_t>(length, table[piece % tableLength]);
            deliver(offset, length);
            offset += length;
        }
    }

private:
    const uint8_t *table = nullptr;
    size_t tableLength = 0;
};
