#include "WireDumpSource.h"

#include <QFileInfo>

WireDumpSource::WireDumpSource(const QString &path) : file(path) {}

QString WireDumpSource::name() const
{
    return QFileInfo(file.fileName()).fileName();
}

bool WireDumpSource::fail(const QString &what)
{
    error = QStringLiteral("%1: %2").arg(file.fileName(), what);
    return false;
}

bool WireDumpSource::open()
{
    frames.clear();
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    frames = WireDumpRecords::find(file).records;
    if (frames.isEmpty())
        return fail(QStringLiteral("no whole frame record in %1 bytes").arg(file.size()));
    return true;
}

std::unique_ptr<FrameSource> WireDumpSource::reopened() const
{
    auto copy = std::make_unique<WireDumpSource>(file.fileName());
    if (!copy->file.open(QIODevice::ReadOnly))
        return nullptr;
    copy->frames = frames;
    return copy;
}

bool WireDumpSource::frame(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count())
        return fail(QStringLiteral("no frame %1").arg(index));
    const WireDumpRecords::Record &record = frames.at(index);
    slot = record.header;
    slot.payload = QByteArray(record.header.size, Qt::Uninitialized);
    if (!file.seek(record.payloadOffset)
        || file.read(slot.payload.data(), slot.payload.size()) != slot.payload.size()) {
        slot.payload.clear();
        return fail(QStringLiteral("frame %1 cannot be read: the file changed since it was opened").arg(index));
    }
    return true;
}

bool WireDumpSource::header(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= count())
        return fail(QStringLiteral("no frame %1").arg(index));
    slot = frames.at(index).header;
    return true;
}
