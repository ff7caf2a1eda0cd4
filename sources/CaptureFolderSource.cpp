#include "CaptureFolderSource.h"

#include "BoardProtocol.h"
#include "RecordIndex.h"

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
        if (fileName.endsWith(QLatin1String(RecordIndex::RecorderSuffix)))
            prefix = fileName.chopped(int(std::strlen(RecordIndex::RecorderSuffix)));
        else if (match.hasMatch())
            prefix = match.captured(1);
        else
            return fail(QStringLiteral("not a captured frame (prefix, number, .jpg, .bmp or .bvt) nor a recorder's index"));
        return true;
    }
    folder = QDir(info.absoluteFilePath());
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        if (name.endsWith(QLatin1String(RecordIndex::RecorderSuffix))) {
            prefix = name.chopped(int(std::strlen(RecordIndex::RecorderSuffix)));
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
    const QString indexPath = folder.filePath(prefix + QLatin1String(RecordIndex::RecorderSuffix));
    indexed = QFileInfo::exists(indexPath);
    if (indexed)
        return readIndex(indexPath);
    return listFiles();
}

bool CaptureFolderSource::readIndex(const QString &indexPath)
{
    RecordIndex::Contents contents = RecordIndex::read(indexPath);
    if (!contents.error.isEmpty())
        return fail(contents.error);
    for (RecordIndex::Row &row : contents.rows) {
        Entry entry;
        entry.header = row.frame;
        entry.file = row.file;
        entry.status = row.status;
        entry.arrival = row.arrival;
        frames.push_back(std::move(entry));
    }
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
                        .arg(prefix, QLatin1String(RecordIndex::RecorderSuffix)));
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
