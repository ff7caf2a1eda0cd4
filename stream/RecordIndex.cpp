#include "RecordIndex.h"

#include "BoardProtocol.h"
#include "FrameSlot.h"

#include <QDateTime>

bool RecordIndex::open(const QString &path, bool places)
{
    this->places = places;
    file.setFileName(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && writeLine(QByteArray(HeaderLine) + (places ? PlaceColumn : ""));
}

bool RecordIndex::writeLine(const QByteArray &line)
{
    const QByteArray text = line + '\n';
    return file.write(text) == text.size() && file.flush();
}

QString RecordIndex::boardTime(qint32 timestampS, qint32 timestampUs)
{
    // Both fields read unsigned, as the parser reads them; a microseconds field of a million or
    // more carries into the seconds, so the text always has six decimals that mean microseconds.
    const quint64 us = quint64(quint32(timestampS)) * 1000000u + quint32(timestampUs);
    return QString::number(us / 1000000u) + QLatin1Char('.')
           + QString::number(us % 1000000u).rightJustified(6, QLatin1Char('0'));
}

QString RecordIndex::formatName(qint32 format)
{
    if (format >= 0 && format < BoardProtocol::FormatCount)
        return QLatin1String(BoardProtocol::FormatNames[format]);
    return QString::number(format); // codes 5 to 9 have no name
}

bool RecordIndex::append(qint64 record, const QString &fileName, const QString &status,
                         const FrameSlot &frame, const QDateTime &arrival, qint64 place)
{
    // Numbers through QString::number, which never follows the locale.
    QStringList row{
        QString::number(record),
        fileName,
        status,
        formatName(frame.format),
        QString::number(frame.width),
        QString::number(frame.height),
        QString::number(frame.payload.size()),
        boardTime(frame.timestamp_s, frame.timestamp_us),
        arrival.toUTC().toString(Qt::ISODateWithMs),
        QString::fromLatin1(QByteArray(frame.CLum, BoardProtocol::SensorBlockBytes).toHex()),
        QString::fromLatin1(QByteArray(frame.CPos, BoardProtocol::SensorBlockBytes).toHex()),
    };
    if (places)
        row << (place >= 0 ? QString::number(place) : QString());
    return writeLine(row.join(QLatin1Char(',')).toUtf8());
}
