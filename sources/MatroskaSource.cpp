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
