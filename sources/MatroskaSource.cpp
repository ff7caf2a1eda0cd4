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

// The reader keeps where each frame lies to itself, so the file is scanned again.
std::unique_ptr<FrameSource> MatroskaSource::reopened() const
{
    auto copy = std::make_unique<MatroskaSource>(path);
    if (!copy->open())
        return nullptr;
    return copy;
}
