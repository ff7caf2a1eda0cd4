#include "FrameSourceFor.h"

#include "MatroskaSource.h"
#include "RecordingFolderSource.h"
#include "WireDumpSource.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

std::unique_ptr<FrameSource> frameSourceFor(const QString &path)
{
    static const QByteArray MatroskaStart("\x1A\x45\xDF\xA3", 4);
    static const QRegularExpression frameFile(QStringLiteral("\\d+\\.(jpg|bmp|bvt)$"));
    const QFileInfo info(path);
    if (info.isDir() || info.fileName().endsWith(QLatin1String(".csv")) || frameFile.match(info.fileName()).hasMatch())
        return std::make_unique<RecordingFolderSource>(path);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.read(MatroskaStart.size()) == MatroskaStart) {
        if (RecordingFolderSource::indexNaming(path).isEmpty())
            return std::make_unique<MatroskaSource>(path);
        return std::make_unique<RecordingFolderSource>(path);
    }
    return std::make_unique<WireDumpSource>(path);
}
