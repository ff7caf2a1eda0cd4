#include "CaptureFolderSource.h"

#include "BoardProtocol.h"

#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>
#include <cstring>

namespace {

const QRegularExpression &captureName()
{
    static const QRegularExpression pattern(QStringLiteral("^(.*?)(\\d+)\\.(jpg|bmp|bvt)$"));
    return pattern;
}

const QStringList IndexColumns = {
    QStringLiteral("record"), QStringLiteral("file"), QStringLiteral("status"),
    QStringLiteral("format"), QStringLiteral("width"), QStringLiteral("height"),
    QStringLiteral("payload_bytes"), QStringLiteral("board_time"), QStringLiteral("arrival_time"),
    QStringLiteral("clum"), QStringLiteral("cpos")};
constexpr int MicrosDigits = 6;
enum Column { File = 1, Status, Format, Width, Height, PayloadBytes, BoardTime, ArrivalTime, Clum, Cpos };

qint32 formatCode(const QString &name, bool *ok)
{
    for (int code = 0; code < BoardProtocol::FormatCount; ++code) {
        if (name == QLatin1String(BoardProtocol::FormatNames[code])) {
            *ok = true;
            return code;
        }
    }
    return name.toInt(ok);
}

// "S.UUUUUU" as the recorder writes it, back into the header's two fields. Fewer decimals, as
// an editor may leave them, are still a fraction of a second: "5.25" is 5.250000.
bool parseBoardTime(const QString &text, FrameSlot &slot)
{
    static const QRegularExpression pattern(QStringLiteral("^(\\d+)\\.(\\d{1,%1})$").arg(MicrosDigits));
    const QRegularExpressionMatch match = pattern.match(text);
    bool secondsOk = false;
    const quint64 seconds = match.captured(1).toULongLong(&secondsOk);
    if (!match.hasMatch() || !secondsOk)
        return false;
    slot.timestamp_s = qint32(quint32(seconds));
    slot.timestamp_us = qint32(match.captured(2).leftJustified(MicrosDigits, QLatin1Char('0')).toUInt());
    return true;
}

// QByteArray::fromHex() passes over what is not a hex digit, so the text is checked first.
bool parseSensorBlock(const QString &hex, char *block)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-fA-F]{%1}$").arg(2 * BoardProtocol::SensorBlockBytes));
    if (!pattern.match(hex).hasMatch())
        return false;
    const QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    std::memcpy(block, bytes.constData(), size_t(bytes.size()));
    return true;
}

} // namespace

QString CaptureFolderSource::name() const
{
    return QDir::toNativeSeparators(folder.filePath(prefix)) + QStringLiteral("*");
}

bool CaptureFolderSource::fail(const QString &what)
{
    error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), what);
    frames.clear();
    return false;
}

bool CaptureFolderSource::choosePrefix()
{
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no such file or folder"));
    if (info.isFile()) {
        folder = info.absoluteDir();
        const QString fileName = info.fileName();
        const QRegularExpressionMatch match = captureName().match(fileName);
        if (fileName.endsWith(QLatin1String(IndexSuffix)))
            prefix = fileName.chopped(int(std::strlen(IndexSuffix)));
        else if (match.hasMatch())
            prefix = match.captured(1);
        else
            return fail(QStringLiteral("not a captured frame (prefix, number, .jpg, .bmp or .bvt) nor a recorder's index"));
        return true;
    }
    folder = QDir(info.absoluteFilePath());
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        if (name.endsWith(QLatin1String(IndexSuffix))) {
            prefix = name.chopped(int(std::strlen(IndexSuffix)));
            return true;
        }
    }
    QMap<QString, int> filesByPrefix;
    for (const QString &name : names) {
        const QRegularExpressionMatch match = captureName().match(name);
        if (match.hasMatch())
            ++filesByPrefix[match.captured(1)];
    }
    if (filesByPrefix.isEmpty())
        return fail(QStringLiteral("no captured frames (prefix, number, .jpg, .bmp or .bvt) and no recorder's index"));
    const auto most = std::max_element(filesByPrefix.cbegin(), filesByPrefix.cend());
    prefix = most.key();
    return true;
}

bool CaptureFolderSource::open()
{
    frames.clear();
    if (!choosePrefix())
        return false;
    const QString indexPath = folder.filePath(prefix + QLatin1String(IndexSuffix));
    indexed = QFileInfo::exists(indexPath);
    if (indexed)
        return readIndex(indexPath);
    return listFiles();
}

bool CaptureFolderSource::readIndex(const QString &indexPath)
{
    QFile index(indexPath);
    if (!index.open(QIODevice::ReadOnly | QIODevice::Text))
        return fail(index.errorString());
    if (QString::fromUtf8(index.readLine()).trimmed().split(QLatin1Char(',')) != IndexColumns)
        return fail(QStringLiteral("%1 is not a recorder's index: its first line names other columns")
                        .arg(QFileInfo(indexPath).fileName()));
    qint64 line = 1;
    while (!index.atEnd()) {
        ++line;
        const QStringList fields = QString::fromUtf8(index.readLine()).trimmed().split(QLatin1Char(','));
        Entry entry;
        FrameSlot &slot = entry.header;
        bool formatOk = false, widthOk = false, heightOk = false, sizeOk = false;
        if (fields.size() != IndexColumns.size()) {
            // A last row cut short by a crash names no frame that can be trusted; elsewhere the
            // index itself is wrong.
            if (index.atEnd())
                break;
            return fail(QStringLiteral("line %1 of %2 has %3 fields, not %4")
                            .arg(line).arg(QFileInfo(indexPath).fileName()).arg(fields.size()).arg(IndexColumns.size()));
        }
        slot.format = formatCode(fields[Format], &formatOk);
        slot.width = fields[Width].toInt(&widthOk);
        slot.height = fields[Height].toInt(&heightOk);
        slot.size = fields[PayloadBytes].toInt(&sizeOk);
        if (!formatOk || !widthOk || !heightOk || !sizeOk || slot.size < 0
            || !parseBoardTime(fields[BoardTime], slot) || !parseSensorBlock(fields[Clum], slot.CLum)
            || !parseSensorBlock(fields[Cpos], slot.CPos))
            return fail(QStringLiteral("line %1 of %2 cannot be read").arg(line).arg(QFileInfo(indexPath).fileName()));
        // Only a plain name in this folder: the index must not lead anywhere else.
        entry.file = fields[File];
        if (entry.file.contains(QLatin1Char('/')) || entry.file.contains(QLatin1Char('\\')))
            return fail(QStringLiteral("line %1 of %2 names a file outside the folder").arg(line).arg(QFileInfo(indexPath).fileName()));
        entry.status = fields[Status];
        entry.arrival = QDateTime::fromString(fields[ArrivalTime], Qt::ISODateWithMs);
        frames.push_back(entry);
    }
    if (frames.empty())
        return fail(QStringLiteral("the index %1 lists no frames").arg(QFileInfo(indexPath).fileName()));
    return true;
}

bool CaptureFolderSource::listFiles()
{
    QMap<qint64, QString> byNumber;
    bool rawWithoutIndex = false;
    for (const QString &name : folder.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = captureName().match(name);
        if (!match.hasMatch() || match.captured(1) != prefix)
            continue;
        if (match.captured(3) == QLatin1String("bvt"))
            rawWithoutIndex = true;
        else
            byNumber.insert(match.captured(2).toLongLong(), name);
    }
    if (rawWithoutIndex && byNumber.isEmpty())
        return fail(QStringLiteral("raw .bvt files hold neither format nor size; they can be shown only "
                                   "with the recorder's index %1%2 beside them")
                        .arg(prefix, QLatin1String(IndexSuffix)));
    for (const QString &name : byNumber) {
        Entry entry;
        entry.file = name;
        entry.header.format = name.endsWith(QLatin1String(".jpg")) ? BoardProtocol::FormatJpg : -1;
        frames.push_back(entry);
    }
    if (frames.empty())
        return fail(QStringLiteral("no captured frames with the prefix %1").arg(prefix));
    return true;
}

bool CaptureFolderSource::frame(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count()) {
        error = QStringLiteral("no frame %1").arg(index);
        return false;
    }
    const Entry &entry = frames[size_t(index)];
    slot = entry.header;
    if (entry.file.isEmpty())
        return true; // the index keeps the frame, nothing was stored of it
    const QString filePath = folder.filePath(entry.file);
    if (entry.file.endsWith(QLatin1String(".bmp"))) {
        if (slot.width == 0 && slot.height == 0) {
            const QSize size = QImageReader(filePath).size();
            slot.width = size.width();
            slot.height = size.height();
        }
        return true; // the picture itself comes from picture()
    }
    QFile file(filePath);
    // Prevent DoS: a stray huge file is not a frame.
    if (!file.open(QIODevice::ReadOnly) || file.size() > BoardProtocol::MaxPayloadBytes) {
        error = QStringLiteral("%1: %2").arg(entry.file,
                                             file.isOpen() ? QStringLiteral("too large for a frame") : file.errorString());
        return false;
    }
    slot.payload = file.readAll();
    if (slot.format == BoardProtocol::FormatJpg && slot.width == 0 && slot.height == 0) {
        const QSize size = QImageReader(filePath).size();
        slot.width = size.width();
        slot.height = size.height();
    }
    slot.size = slot.payload.size();
    return true;
}

QImage CaptureFolderSource::picture(qint64 index)
{
    if (index < 0 || index >= count() || !frames[size_t(index)].file.endsWith(QLatin1String(".bmp")))
        return QImage();
    return QImage(folder.filePath(frames[size_t(index)].file));
}

QString CaptureFolderSource::recordedStatus(qint64 index) const
{
    return index >= 0 && index < count() ? frames[size_t(index)].status : QString();
}

QDateTime CaptureFolderSource::arrival(qint64 index) const
{
    return index >= 0 && index < count() ? frames[size_t(index)].arrival : QDateTime();
}

bool CaptureFolderSource::header(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count()) {
        error = QStringLiteral("no frame %1").arg(index);
        return false;
    }
    slot = frames[size_t(index)].header;
    return true;
}
