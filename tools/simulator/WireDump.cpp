#include "WireDump.h"

#include "BoardProtocol.h"
#include "FrameParser.h"

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
    findRecords();
    if (wholeRecords.isEmpty())
        return refuse(QStringLiteral("no whole frame record in its %1 bytes").arg(byteCount));
    return true;
}

bool WireDump::refuse(const QString &reason)
{
    error = QStringLiteral("Cannot replay %1: %2").arg(file.fileName(), reason);
    return false;
}

void WireDump::findRecords()
{
    QByteArray view = QByteArray::fromRawData(bytes, qsizetype(byteCount));
    QBuffer device(&view);
    device.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    FrameParser parser;
    parser.setDevice(&device);
    parser.onFrameReady = [&] {
        const FrameSlot &slot = parser.completedSlot();
        const qint64 start = device.pos() - slot.payload.size() - BoardProtocol::RecordPrefixBytes;
        wholeRecords.append({device.pos(), slot.boardTimeUs(), start + BoardProtocol::TimestampOffset});
    };
    // The parser reports every record it drops; the replay sends those bytes as they are.
    QLoggingCategory *const debugLines = QLoggingCategory::defaultCategory();
    const bool debugWasOn = debugLines->isDebugEnabled();
    debugLines->setEnabled(QtDebugMsg, false);
    parser.process();
    debugLines->setEnabled(QtDebugMsg, debugWasOn);
    const bool endsClean = parser.state() == FrameParser::WaitMagic && device.atEnd();
    cleanEnd = endsClean || wholeRecords.isEmpty() ? byteCount : wholeRecords.constLast().end;
}
