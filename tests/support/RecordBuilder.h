#pragma once

#include <QByteArray>
#include <QtEndian>

// Builds frame records byte by byte, independently of the code under test.
struct RecordBuilder
{
    qint32 format = 1;
    qint32 reserved = 0;
    qint32 width = 0;
    qint32 height = 0;
    qint32 timestampS = 0;
    qint32 timestampUs = 0;
    QByteArray payload;
    bool sizeOverridden = false;
    qint32 sizeField = 0;

    RecordBuilder &withSize(qint32 size)
    {
        sizeOverridden = true;
        sizeField = size;
        return *this;
    }

    QByteArray bytes() const
    {
        QByteArray out;
        auto put = [&out](quint32 v) {
            char b[4];
            qToBigEndian(v, b);
            out.append(b, 4);
        };
        put(0xAD1A15EE);
        put(quint32(format));
        put(quint32(reserved));
        put(quint32(width));
        put(quint32(height));
        put(quint32(sizeOverridden ? sizeField : qint32(payload.size())));
        put(quint32(timestampS));
        put(quint32(timestampUs));
        for (int i = 0; i < 16; ++i)
            out.append(char(0x10 + i)); // CLum
        for (int i = 0; i < 16; ++i)
            out.append(char(0x40 + i)); // CPos
        if (quint32(format) < 10)
            out.append(payload);
        return out;
    }
};

inline RecordBuilder grayRecord(int width, int height, qint32 seconds = 0, qint32 micros = 0)
{
    RecordBuilder r;
    r.format = 1;
    r.width = width;
    r.height = height;
    r.timestampS = seconds;
    r.timestampUs = micros;
    r.payload.resize(width * height);
    for (int i = 0; i < r.payload.size(); ++i)
        r.payload[i] = char(i * 7);
    return r;
}
