#include "RecordingFolderSource.h"

#include "BoardProtocol.h"
#include "MatroskaReader.h"
#include "RecordIndex.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QImageReader>
#include <QMap>
#include <QRegularExpression>

#include <algorithm>

namespace {

const QLatin1String IndexSuffix(".csv");
const QLatin1String RecordingSuffix(".mkv");
const QLatin1String PictureSuffix(".bmp");
const QLatin1String JpegSuffix(".jpg");

// A file of one frame: prefix, running number, extension.
const QRegularExpression &frameFileName()
{
    static const QRegularExpression pattern(QStringLiteral("^(.*?)(\\d+)\\.(jpg|bmp|bvt)$"));
    return pattern;
}

// The indexes that may name a file, by the names the recorder and the export give them:
// bvtgrab_0.mkv, bvtgrab_3.jpg beside bvtgrab_index.csv; cut.mkv, cut-2.mkv, cut-0.jpg beside
// cut.csv.
QStringList indexNamesFor(const QString &fileName)
{
    static const QRegularExpression numbered(QStringLiteral("^(.*?)\\d+\\.[^.]+$"));
    static const QRegularExpression exported(QStringLiteral("^(.*)-\\d+\\.[^.]+$"));
    QStringList names;
    const QRegularExpressionMatch recorded = numbered.match(fileName);
    if (recorded.hasMatch())
        names << RecordIndex::recorderIndexName(recorded.captured(1));
    const QRegularExpressionMatch part = exported.match(fileName);
    if (part.hasMatch())
        names << part.captured(1) + IndexSuffix;
    const qsizetype dot = fileName.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        names << fileName.left(dot) + IndexSuffix;
    return names;
}

bool namesFile(const RecordIndex::Contents &contents, const QString &fileName)
{
    return std::any_of(contents.rows.cbegin(), contents.rows.cend(),
                       [&](const RecordIndex::Row &row) { return row.file == fileName; });
}

// The index beside a file whose rows name it, read; its error when there is none but one
// could not be read.
QString findIndexNaming(const QFileInfo &file, RecordIndex::Contents &contents, QString &indexError)
{
    const QDir folder = file.absoluteDir();
    for (const QString &name : indexNamesFor(file.fileName())) {
        const QString indexPath = folder.filePath(name);
        if (!RecordIndex::isIndex(indexPath))
            continue;
        contents = RecordIndex::read(indexPath);
        if (!contents.error.isEmpty() && indexError.isEmpty())
            indexError = contents.error;
        if (contents.error.isEmpty() && namesFile(contents, file.fileName()))
            return indexPath;
    }
    contents = RecordIndex::Contents();
    return QString();
}

QString listed(const QString &what, const QStringList &names)
{
    return (names.size() == 1 ? what : what + QLatin1Char('s')) + QLatin1Char(' ') + names.join(QStringLiteral(", "));
}

// "cut.csv has no column arrival_time; column foo is not known and left aside"
QString noticeOf(const QString &indexName, const RecordIndex::Contents &contents)
{
    QStringList parts;
    if (!contents.missingColumns.isEmpty())
        parts << indexName + QStringLiteral(" has no ") + listed(QStringLiteral("column"), contents.missingColumns);
    if (!contents.unknownColumns.isEmpty())
        parts << listed(QStringLiteral("column"), contents.unknownColumns)
                     + (contents.unknownColumns.size() == 1 ? QStringLiteral(" is") : QStringLiteral(" are"))
                     + QStringLiteral(" not known and left aside");
    if (parts.size() == 1 && contents.missingColumns.isEmpty())
        parts.front().prepend(indexName + QStringLiteral(": "));
    return parts.join(QStringLiteral("; "));
}

} // namespace

RecordingFolderSource::RecordingFolderSource(const QString &path) : path(path) {}

RecordingFolderSource::~RecordingFolderSource() = default;

QString RecordingFolderSource::indexNaming(const QString &filePath)
{
    RecordIndex::Contents contents;
    QString indexError;
    return findIndexNaming(QFileInfo(filePath), contents, indexError);
}

QString RecordingFolderSource::name() const
{
    return QDir::toNativeSeparators(folder.filePath(prefix)) + QStringLiteral("*");
}

QString RecordingFolderSource::kind() const
{
    const bool matroska = std::any_of(frames.cbegin(), frames.cend(), [](const Entry &entry) {
        return entry.file.endsWith(QLatin1String(".mkv"), Qt::CaseInsensitive);
    });
    return matroska ? QStringLiteral("Matroska recording") : QStringLiteral("capture folder");
}

bool RecordingFolderSource::fail(const QString &what)
{
    error = QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), what);
    frames.clear();
    return false;
}

bool RecordingFolderSource::open()
{
    frames.clear();
    readers.clear();
    start = 0;
    indexNotice.clear();
    withBoardTime = false;
    const QFileInfo info(path);
    if (!info.exists())
        return fail(QStringLiteral("no such file or folder"));
    return info.isDir() ? openFolder() : openFile(info);
}

// The folder's index (the first by name; a recorder's index that cannot be read says why),
// else the prefix with the most frame files.
bool RecordingFolderSource::openFolder()
{
    folder = QDir(QFileInfo(path).absoluteFilePath());
    const QStringList names = folder.entryList(QDir::Files, QDir::Name);
    for (const QString &name : names) {
        if (name.endsWith(IndexSuffix) && RecordIndex::isIndex(folder.filePath(name)))
            return readIndex(folder.filePath(name));
    }
    for (const QString &name : names) {
        if (name.endsWith(QLatin1String(RecordIndex::RecorderSuffix)))
            return readIndex(folder.filePath(name));
    }
    QMap<QString, int> filesByPrefix;
    for (const QString &name : names) {
        const QRegularExpressionMatch match = frameFileName().match(name);
        if (match.hasMatch())
            ++filesByPrefix[match.captured(1)];
    }
    if (filesByPrefix.isEmpty())
        return fail(QStringLiteral("no captured frames (prefix, number, .jpg, .bmp or .bvt) and no recorder's index"));
    prefix = std::max_element(filesByPrefix.cbegin(), filesByPrefix.cend()).key();
    return listFiles();
}

bool RecordingFolderSource::openFile(const QFileInfo &info)
{
    folder = info.absoluteDir();
    const QString fileName = info.fileName();
    if (fileName.endsWith(IndexSuffix))
        return readIndex(info.absoluteFilePath());
    RecordIndex::Contents contents;
    QString indexError;
    const QString indexPath = findIndexNaming(info, contents, indexError);
    if (!indexPath.isEmpty()) {
        if (!takeIndex(indexPath, contents))
            return false;
        startAt(fileName);
        return true;
    }
    const QRegularExpressionMatch match = frameFileName().match(fileName);
    if (!match.hasMatch()) {
        return fail(indexError.isEmpty()
                        ? QStringLiteral("not a captured frame (prefix, number, .jpg, .bmp or .bvt), nor a file "
                                         "that an index beside it names, nor an index")
                        : indexError);
    }
    prefix = match.captured(1);
    if (!listFiles())
        return indexError.isEmpty() ? false : fail(indexError);
    startAt(fileName);
    return true;
}

void RecordingFolderSource::startAt(const QString &fileName)
{
    const auto first = std::find_if(frames.cbegin(), frames.cend(), [&](const Entry &entry) { return entry.file == fileName; });
    start = first == frames.cend() ? 0 : qint64(first - frames.cbegin());
}

bool RecordingFolderSource::readIndex(const QString &indexPath)
{
    return takeIndex(indexPath, RecordIndex::read(indexPath));
}

bool RecordingFolderSource::takeIndex(const QString &indexPath, const RecordIndex::Contents &contents)
{
    const QString indexName = QFileInfo(indexPath).fileName();
    prefix = indexName.endsWith(QLatin1String(RecordIndex::RecorderSuffix))
                 ? indexName.chopped(int(qstrlen(RecordIndex::RecorderSuffix)))
                 : indexName.chopped(IndexSuffix.size());
    if (!contents.error.isEmpty())
        return fail(contents.error);
    // An index of an older recorder has no frame_in_file: its rows name their frames in order.
    QHash<QString, qint64> framesInFile;
    for (const RecordIndex::Row &row : contents.rows) {
        Entry entry;
        entry.header = row.frame;
        entry.file = row.file;
        entry.status = row.status;
        entry.arrival = row.arrival;
        if (row.file.endsWith(RecordingSuffix)) {
            qint64 &counted = framesInFile[row.file];
            entry.frameInFile = row.frameInFile >= 0 ? row.frameInFile : counted;
            ++counted;
        }
        frames.append(entry);
    }
    withBoardTime = contents.rows.front().hasBoardTime;
    indexNotice = noticeOf(indexName, contents);
    return true;
}

bool RecordingFolderSource::listFiles()
{
    QMap<qint64, QString> byNumber;
    bool rawWithoutIndex = false;
    for (const QString &name : folder.entryList(QDir::Files)) {
        const QRegularExpressionMatch match = frameFileName().match(name);
        if (!match.hasMatch() || match.captured(1) != prefix)
            continue;
        if (match.captured(3) == QLatin1String("bvt"))
            rawWithoutIndex = true;
        else
            byNumber.insert(match.captured(2).toLongLong(), name);
    }
    if (rawWithoutIndex && byNumber.isEmpty())
        return fail(QStringLiteral("raw .bvt files hold neither format nor size; they can be shown only "
                                   "with the recorder's index %1 beside them")
                        .arg(RecordIndex::recorderIndexName(prefix)));
    for (const QString &name : byNumber) {
        Entry entry;
        entry.file = name;
        entry.header.format = name.endsWith(JpegSuffix) ? BoardProtocol::FormatJpg : -1;
        frames.append(entry);
    }
    if (frames.isEmpty())
        return fail(QStringLiteral("no captured frames with the prefix %1").arg(prefix));
    return true;
}

MatroskaReader *RecordingFolderSource::readerOf(const QString &fileName)
{
    std::unique_ptr<MatroskaReader> &reader = readers[fileName];
    if (!reader) {
        auto opened = std::make_unique<MatroskaReader>();
        if (!opened->open(folder.filePath(fileName))) {
            error = opened->errorString();
            readers.erase(fileName);
            return nullptr;
        }
        reader = std::move(opened);
    }
    return reader.get();
}

bool RecordingFolderSource::frame(qint64 index, FrameSlot &slot)
{
    if (!header(index, slot))
        return false;
    const Entry &entry = frames.at(index);
    if (entry.file.isEmpty())
        return true; // the index keeps the frame, nothing was stored of it
    const QString filePath = folder.filePath(entry.file);
    const auto sizeOfPicture = [&] {
        if (slot.width == 0 && slot.height == 0) {
            const QSize size = QImageReader(filePath).size();
            slot.width = size.width();
            slot.height = size.height();
        }
    };
    if (entry.file.endsWith(PictureSuffix)) {
        sizeOfPicture();
        return true; // the picture itself comes from picture()
    }
    if (entry.file.endsWith(RecordingSuffix)) {
        MatroskaReader *reader = readerOf(entry.file);
        FrameSlot recorded;
        if (!reader || !reader->frame(entry.frameInFile, recorded)) {
            if (reader)
                error = reader->errorString();
            return false;
        }
        // What the index leaves out, the file says.
        if (slot.format < 0)
            slot.format = recorded.format;
        if (slot.width == 0 && slot.height == 0) {
            slot.width = recorded.width;
            slot.height = recorded.height;
        }
        slot.payload = recorded.payload;
        slot.size = slot.payload.size();
        return true;
    }
    QFile file(filePath);
    // Prevent DoS: a stray huge file is not a frame.
    if (!file.open(QIODevice::ReadOnly) || file.size() > BoardProtocol::MaxPayloadBytes) {
        error = QStringLiteral("%1: %2").arg(entry.file,
                                             file.isOpen() ? QStringLiteral("too large for a frame") : file.errorString());
        return false;
    }
    slot.payload = file.readAll();
    if (slot.format == BoardProtocol::FormatJpg)
        sizeOfPicture();
    slot.size = slot.payload.size();
    return true;
}

bool RecordingFolderSource::header(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count()) {
        error = QStringLiteral("no frame %1").arg(index);
        return false;
    }
    slot = frames.at(index).header;
    return true;
}

QImage RecordingFolderSource::picture(qint64 index)
{
    if (index < 0 || index >= count() || !frames.at(index).file.endsWith(PictureSuffix))
        return QImage();
    return QImage(folder.filePath(frames.at(index).file));
}

QString RecordingFolderSource::recordedStatus(qint64 index) const
{
    return index >= 0 && index < count() ? frames.at(index).status : QString();
}

QDateTime RecordingFolderSource::arrival(qint64 index) const
{
    return index >= 0 && index < count() ? frames.at(index).arrival : QDateTime();
}

// Another handle on the same files: the frames found are shared, the readers opened afresh.
std::unique_ptr<FrameSource> RecordingFolderSource::reopened() const
{
    if (frames.isEmpty())
        return nullptr;
    auto copy = std::make_unique<RecordingFolderSource>(path);
    copy->folder = QDir(folder.path()); // its own, not a shared copy whose caches both would fill
    copy->prefix = prefix;
    copy->withBoardTime = withBoardTime;
    copy->start = start;
    copy->indexNotice = indexNotice;
    copy->frames = frames;
    return copy;
}
