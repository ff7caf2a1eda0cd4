#include "WireDump.h"

#include <QBuffer>
#include <QLoggingCategory>

WireDump::~WireDump()
{
    if (mapped)
        file.unmap(mapped);
}

bool WireDump::load(const QString &path)
{
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuse(file.errorString());
    byteCount = file.size();
    if (byteCount > 0)
        mapped = file.map(0, byteCount);
    if (mapped) {
        bytes = reinterpret_cast<const char *>(mapped);
    } else {
        readBytes = file.readAll();
        bytes = readBytes.constData();
        byteCount = readBytes.size();
    }
    if (byteCount == 0)
        return refuse(QStringLiteral("the file is empty"));
    QByteArray view = QByteArray::fromRawData(bytes, qsizetype(byteCount));
    QBuffer device(&view);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // The parser reports every record it drops; the replay sends those bytes as they are.
    QLoggingCategory *const debugLines = QLoggingCategory::defaultCategory();
    const bool debugWasOn = debugLines->isDebugEnabled();
    debugLines->setEnabled(QtDebugMsg, false);
    const WireDumpRecords found = WireDumpRecords::find(device);
    debugLines->setEnabled(QtDebugMsg, debugWasOn);
    wholeRecords = found.records;
    cleanEnd = found.endsClean || wholeRecords.isEmpty() ? byteCount : wholeRecords.constLast().end();
    if (wholeRecords.isEmpty())
        return refuse(QStringLiteral("no whole frame record in its %1 bytes").arg(byteCount));
    return true;
}

bool WireDump::refuse(const QString &reason)
{
    error = QStringLiteral("Cannot replay %1: %2").arg(file.fileName(), reason);
    return false;
}
