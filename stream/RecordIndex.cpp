#include "RecordIndex.h"

#include "BoardProtocol.h"
#include "FrameSlot.h"

#include <QDateTime>

bool RecordIndex::open(const QString &path, bool places)
{
    this->places = places;
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    pending = QByteArray(HeaderLine) + (places ? PlaceColumn : "") + '\n';
    return writePending();
}

bool RecordIndex::writePending()
{
    if (pending.isEmpty())
        return true;
    const bool written = file.write(pending) == pending.size() && file.flush();
    pending.resize(0); // keeps its room for the next rows
    return written;
}

QString RecordIndex::boardTime(qint32 timestampS, qint32 timestampUs)
{
    // Both fields read unsigned, as the parser reads them; a microseconds field of a million or
    // more carries into the seconds, so the text always has six decimals that mean microseconds.
    const qint64 us = FrameSlot::boardTimeUs(timestampS, timestampUs);
    return QString::number(us / FrameSlot::MicrosPerSecond) + QLatin1Char('.')
           + QString::number(us % FrameSlot::MicrosPerSecond).rightJustified(6, QLatin1Char('0'));
}

// As QDateTime::toString(Qt::ISODateWithMs) writes a UTC time, at a fraction of its cost.
QString RecordIndex::arrivalTime(const QDateTime &arrival)
{
    constexpr qint64 MsPerDay = 24 * 60 * 60 * 1000;
    const qint64 ms = arrival.isValid() ? arrival.toMSecsSinceEpoch() : 0;
    const qint64 msOfDay = (ms % MsPerDay + MsPerDay) % MsPerDay;
    const QDate date = QDate(1970, 1, 1).addDays((ms - msOfDay) / MsPerDay);
    // Years before 1000 or after 9999 are left to Qt, whose writing of them varies; an invalid
    // time is written as nothing.
    if (!arrival.isValid() || date.year() < 1000 || date.year() > 9999)
        return arrival.toUTC().toString(Qt::ISODateWithMs);
    char text[] = "yyyy-MM-ddTHH:mm:ss.zzzZ";
    const auto put = [&text](int at, qint64 value, int digits) {
        for (int i = at + digits - 1; i >= at; --i, value /= 10)
            text[i] = char('0' + value % 10);
    };
    put(0, date.year(), 4);
    put(5, date.month(), 2);
    put(8, date.day(), 2);
    put(11, msOfDay / 3600000, 2);
    put(14, msOfDay / 60000 % 60, 2);
    put(17, msOfDay / 1000 % 60, 2);
    put(20, msOfDay % 1000, 3);
    return QString::fromLatin1(text, sizeof text - 1);
}

QString RecordIndex::formatName(qint32 format)
{
    if (format >= 0 && format < BoardProtocol::FormatCount)
        return QLatin1String(BoardProtocol::FormatNames[format]);
    return QString::number(format); // codes 5 to 9 have no name
}

void RecordIndex::addRow(qint64 record, const QString &fileName, const QString &status,
                         const FrameSlot &frame, const QDateTime &arrival, qint64 place)
{
    // Built as bytes, not through a list of strings: a row is written for every frame, and at
    // thousands of frames a second its formatting was half the recorder's own work. Numbers
    // through QByteArray::number, which never follows the locale.
    QByteArray &row = pending;
    row += QByteArray::number(record);
    const auto field = [&row](const QByteArray &text) {
        row += ',';
        row += text;
    };
    field(fileName.toUtf8());
    field(status.toUtf8());
    field(formatName(frame.format).toUtf8());
    field(QByteArray::number(frame.width));
    field(QByteArray::number(frame.height));
    field(QByteArray::number(frame.payload.size()));
    field(boardTime(frame.timestamp_s, frame.timestamp_us).toLatin1());
    field(arrivalTime(arrival).toLatin1());
    field(QByteArray::fromRawData(frame.CLum, BoardProtocol::SensorBlockBytes).toHex());
    field(QByteArray::fromRawData(frame.CPos, BoardProtocol::SensorBlockBytes).toHex());
    if (places)
        field(place >= 0 ? QByteArray::number(place) : QByteArray());
    row += '\n';
}
