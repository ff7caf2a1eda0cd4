#include "RecordingNames.h"

#include "RecordIndex.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString MatroskaSuffix = QStringLiteral("mkv");
const QString IndexSuffix = QStringLiteral("csv");
const QString ExportSeparator = QStringLiteral("-");
// The second file of an export is cut-2.mkv: the first, unnumbered, counts as one.
constexpr int ExportFirstRunNumber = 1;
} // namespace

RecordingNames RecordingNames::recorder(const QString &folder, const QString &prefix)
{
    RecordingNames names;
    names.folderPath = folder;
    names.perFramePrefix = prefix;
    names.recordingStem = prefix;
    names.recordingSuffix = MatroskaSuffix;
    names.indexName = RecordIndex::recorderIndexName(prefix);
    return names;
}

RecordingNames RecordingNames::exported(const QString &path)
{
    const QFileInfo typed(path);
    RecordingNames names;
    names.folderPath = typed.absolutePath();
    const QString stem = typed.suffix().isEmpty() ? typed.fileName() : typed.completeBaseName();
    names.perFramePrefix = stem + ExportSeparator;
    names.recordingStem = stem;
    // A name that is the index's own would have the index written over the recording.
    const bool suffixOfIndex = typed.suffix().compare(IndexSuffix, Qt::CaseInsensitive) == 0;
    names.recordingSuffix = typed.suffix().isEmpty() || suffixOfIndex ? MatroskaSuffix : typed.suffix();
    names.runSeparator = ExportSeparator;
    names.firstRunNumber = ExportFirstRunNumber;
    names.firstRunUnnumbered = true;
    names.indexName = stem + QLatin1Char('.') + IndexSuffix;
    return names;
}

QString RecordingNames::recordingFile(int run) const
{
    const QString number = run == 0 && firstRunUnnumbered ? QString()
                                                          : runSeparator + QString::number(firstRunNumber + run);
    return QDir(folderPath).filePath(recordingStem + number + QLatin1Char('.') + recordingSuffix);
}

QString RecordingNames::indexFile() const
{
    return QDir(folderPath).filePath(indexName);
}
