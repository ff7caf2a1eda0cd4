#include "FrameSourceFor.h"

#include "CaptureFolderSource.h"
#include "MatroskaSource.h"
#include "RecordIndex.h"
#include "WireDumpSource.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

std::unique_ptr<FrameSource> frameSourceFor(const QString &path)
{
    static const QByteArray MatroskaStart("\x1A\x45\xDF\xA3", 4);
    static const QRegularExpression capturedFrame(QStringLiteral("\\d+\\.(jpg|bmp|bvt)$"));
    const QFileInfo info(path);
    if (info.isDir() || info.fileName().endsWith(QLatin1String(RecordIndex::RecorderSuffix))
        || capturedFrame.match(info.fileName()).hasMatch())
        return std::make_unique<CaptureFolderSource>(path);
    QFile file(path);
    if (file.open(QIODevice::ReadOnly) && file.read(MatroskaStart.size()) == MatroskaStart)
        return std::make_unique<MatroskaSource>(path);
    return std::make_unique<WireDumpSource>(path);
}
