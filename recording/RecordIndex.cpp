#include "RecordIndex.h"

#include "BoardProtocol.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cstring>

const char *const RecordIndex::ColumnNames[ColumnCount] = {
    "record", "file",       "status",       "format", "width", "height", "payload_bytes",
    "board_time", "arrival_time", "clum", "cpos", "frame_in_file"};

namespace {
constexpr int MicrosDigits = 6;
// Written by every recorder; the last one only by those that record into files of many frames.
constexpr int AlwaysWrittenColumns = RecordIndex::FrameInFile;

// QByteArray::fromHex() passes over what is not a hex digit, so the text is checked first.
bool parseSensorBlock(const QString &hex, char *block)
{
    static const QRegularExpression pattern(
        QStringLiteral("^[0-9a-fA-F]{%1}$").arg(2 * BoardProtocol::SensorBlockBytes));
    if (!pattern.match(hex).hasMatch())
        return false;
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    std::memcpy(block, bytes.constData(), size_t(bytes.size()));
    return true;
}

// A header line is short; a file of another kind may hold no line end for gigabytes.
constexpr qint64 LongestHeaderBytes = 4096;

QStringList headerFields(QFile &index)
{
    return QString::fromUtf8(index.readLine(LongestHeaderBytes)).trimmed().split(QLatin1Char(','));
}

// Where each known column stands in the index's header, -1 where it has none.
struct ColumnPlaces
{
    int at[RecordIndex::ColumnCount];
    int known = 0;
    QStringList unknown;

    explicit ColumnPlaces(const QStringList &header)
    {
        std::fill(std::begin(at), std::end(at), -1);
        for (int i = 0; i < header.size(); ++i) {
            int column = 0;
            while (column < RecordIndex::ColumnCount && header[i] != QLatin1String(RecordIndex::ColumnNames[column]))
                ++column;
            if (column == RecordIndex::ColumnCount || at[column] >= 0) {
                unknown << header[i];
                continue;
            }
            at[column] = i;
            ++known;
        }
    }
    bool has(RecordIndex::Column column) const { return at[column] >= 0; }
};
} // namespace

QString RecordIndex::statusWord(FrameStatus status)
{
    switch (status) {
    case FrameStatus::Stored:
        return QStringLiteral("stored");
    case FrameStatus::Damaged:
        return QStringLiteral("damaged");
    case FrameStatus::Hidden:
        return QStringLiteral("hidden");
    case FrameStatus::Failed:
        break;
    }
    return QStringLiteral("failed");
}

bool RecordIndex::isTroubleStatus(const QString &word)
{
    return word == statusWord(FrameStatus::Damaged) || word == statusWord(FrameStatus::Failed);
}

bool RecordIndex::open(const QString &path, bool frameInFile)
{
    withFrameInFile = frameInFile;
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const int columns = frameInFile ? ColumnCount : AlwaysWrittenColumns;
    pending.clear();
    for (int column = 0; column < columns; ++column) {
        if (column > 0)
            pending += ',';
        pending += ColumnNames[column];
    }
    pending += '\n';
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

QString RecordIndex::boardTime(qint64 boardTimeUs)
{
    // Both fields read unsigned, as the parser reads them; a microseconds field of a million or
    // more carries into the seconds, so the text always has six decimals that mean microseconds.
    return QString::number(boardTimeUs / FrameSlot::MicrosPerSecond) + QLatin1Char('.')
           + QString::number(boardTimeUs % FrameSlot::MicrosPerSecond).rightJustified(MicrosDigits, QLatin1Char('0'));
}

bool RecordIndex::parseBoardTime(const QString &text, FrameSlot &frame)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d+)\\.(\\d{1,%1})$").arg(MicrosDigits));
    const QRegularExpressionMatch match = pattern.match(text);
    bool secondsOk = false;
    const quint64 seconds = match.captured(1).toULongLong(&secondsOk);
    if (!match.hasMatch() || !secondsOk)
        return false;
    frame.timestamp_s = qint32(quint32(seconds));
    frame.timestamp_us = qint32(match.captured(2).leftJustified(MicrosDigits, QLatin1Char('0')).toUInt());
    return true;
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

bool RecordIndex::parseFormat(const QString &text, qint32 &format)
{
    for (int code = 0; code < BoardProtocol::FormatCount; ++code) {
        if (text == QLatin1String(BoardProtocol::FormatNames[code])) {
            format = code;
            return true;
        }
    }
    bool ok = false;
    format = text.toInt(&ok);
    return ok;
}

void RecordIndex::addRow(const Row &row)
{
    // Built as bytes, not through a list of strings: a row is written for every frame, and at
    // thousands of frames a second its formatting was half the recorder's own work. Numbers
    // through QByteArray::number, which never follows the locale.
    const FrameSlot &frame = row.frame;
    QByteArray &line = pending;
    line += QByteArray::number(row.record);
    const auto field = [&line](const QByteArray &text) {
        line += ',';
        line += text;
    };
    field(row.file.toUtf8());
    field(row.status.toUtf8());
    field(formatName(frame.format).toUtf8());
    field(QByteArray::number(frame.width));
    field(QByteArray::number(frame.height));
    field(QByteArray::number(frame.payload.isEmpty() ? frame.size : frame.payload.size()));
    field(boardTime(frame.boardTimeUs()).toLatin1());
    field(arrivalTime(row.arrival).toLatin1());
    field(QByteArray::fromRawData(frame.CLum, BoardProtocol::SensorBlockBytes).toHex());
    field(QByteArray::fromRawData(frame.CPos, BoardProtocol::SensorBlockBytes).toHex());
    if (withFrameInFile)
        field(row.frameInFile >= 0 ? QByteArray::number(row.frameInFile) : QByteArray());
    line += '\n';
}

bool RecordIndex::isIndex(const QString &path)
{
    QFile index(path);
    if (!index.open(QIODevice::ReadOnly | QIODevice::Text))
        return false;
    const ColumnPlaces places(headerFields(index));
    return places.has(File);
}

RecordIndex::Contents RecordIndex::read(const QString &path)
{
    Contents contents;
    const QString name = QFileInfo(path).fileName();
    QFile index(path);
    if (!index.open(QIODevice::ReadOnly | QIODevice::Text)) {
        contents.error = index.errorString();
        return contents;
    }
    const QStringList header = headerFields(index);
    const ColumnPlaces places(header);
    // Without the file a row names, nothing of a frame can be found.
    if (!places.has(File)) {
        contents.error = QStringLiteral("%1 is not a recorder's index: its first line names no file column").arg(name);
        return contents;
    }
    contents.unknownColumns = places.unknown;
    for (int column = 0; column < ColumnCount; ++column) {
        if (!places.has(Column(column)) && column != FrameInFile)
            contents.missingColumns << QLatin1String(ColumnNames[column]);
    }

    qint64 line = 1;
    while (!index.atEnd()) {
        ++line;
        const QStringList fields = QString::fromUtf8(index.readLine()).trimmed().split(QLatin1Char(','));
        if (fields.size() != header.size()) {
            // A last row cut short by a crash names no frame that can be trusted; elsewhere the
            // index itself is wrong.
            if (index.atEnd())
                break;
            contents.error = QStringLiteral("line %1 of %2 has %3 fields, not %4")
                                 .arg(line).arg(name).arg(fields.size()).arg(header.size());
            contents.rows.clear();
            return contents;
        }
        const auto text = [&](Column column) { return places.has(column) ? fields[places.at[column]] : QString(); };
        Row row;
        FrameSlot &frame = row.frame;
        frame.format = -1;
        bool ok = true;
        const auto number = [&](Column column, qint64 fallback) {
            if (!places.has(column))
                return fallback;
            bool read = false;
            const qint64 value = text(column).toLongLong(&read);
            ok = ok && read;
            return value;
        };
        row.record = number(Record, line - 2);
        row.file = text(File);
        row.status = text(Status);
        if (places.has(Format))
            ok = ok && parseFormat(text(Format), frame.format);
        frame.width = qint32(number(Width, 0));
        frame.height = qint32(number(Height, 0));
        const qint64 payloadBytes = number(PayloadBytes, 0);
        ok = ok && payloadBytes >= 0 && payloadBytes <= BoardProtocol::MaxPayloadBytes
             && frame.width == number(Width, 0) && frame.height == number(Height, 0);
        frame.size = qint32(payloadBytes);
        row.hasBoardTime = places.has(BoardTime);
        if (row.hasBoardTime)
            ok = ok && parseBoardTime(text(BoardTime), frame);
        if (places.has(Clum))
            ok = ok && parseSensorBlock(text(Clum), frame.CLum);
        if (places.has(Cpos))
            ok = ok && parseSensorBlock(text(Cpos), frame.CPos);
        if (places.has(ArrivalTime))
            row.arrival = QDateTime::fromString(text(ArrivalTime), Qt::ISODateWithMs);
        if (places.has(FrameInFile) && !text(FrameInFile).isEmpty())
            row.frameInFile = number(FrameInFile, -1);
        if (!ok || row.frameInFile < -1) {
            contents.error = QStringLiteral("line %1 of %2 cannot be read").arg(line).arg(name);
            contents.rows.clear();
            return contents;
        }
        // Only a plain name in this folder: the index must not lead anywhere else.
        if (row.file.contains(QLatin1Char('/')) || row.file.contains(QLatin1Char('\\')) || row.file == QLatin1String("..")) {
            contents.error = QStringLiteral("line %1 of %2 names a file outside the folder").arg(line).arg(name);
            contents.rows.clear();
            return contents;
        }
        contents.rows.push_back(std::move(row));
    }
    if (contents.rows.empty())
        contents.error = QStringLiteral("the index %1 lists no frames").arg(name);
    return contents;
}
