#include "MatroskaSource.h"

#include <QFileInfo>

bool MatroskaSource::open()
{
    return reader.open(path);
}

QString MatroskaSource::name() const
{
    return QFileInfo(path).fileName();
}

std::unique_ptr<FrameSource> MatroskaSource::reopened() const
{
    auto copy = std::make_unique<MatroskaSource>(path);
    if (!copy->reader.openAgain(reader))
        return nullptr;
    return copy;
}
