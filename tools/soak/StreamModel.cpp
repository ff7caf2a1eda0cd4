#include "StreamModel.h"

#include "BoardProtocol.h"

#include <QtEndian>

#include <cstring>

void StreamModel::connectionStarted()
{
    unread.clear();
    unreadOffset = 0;
    consumed = fed;
    ++connection;
    // The client drops a record cut off with the old connection and starts the new one afresh.
    // A record whose empty payload is all that is missing counts as cut too: it needed one more byte.
    if (state != WaitMagic)
        ++cuts;
    state = WaitMagic;
}

void StreamModel::garbage(qsizetype length)
{
    append(QByteArray(length, '\0'));
}

void StreamModel::record(qint64 index, const FrameRecord &record, bool intact)
{
    const QByteArray payload = record.hasPayload() ? record.payload : QByteArray();
    const qint64 length = BoardProtocol::RecordPrefixBytes + payload.size();
    const bool wellFormed = record.hasPayload() && record.sizeField() == payload.size();
    open.push_back({index, fed, fed + length, intact, wellFormed, payload});
    append(record.header());
    if (!payload.isEmpty())
        append(payload);
}

void StreamModel::finish()
{
    while (!open.empty()) {
        lose(open.front());
        open.pop_front();
    }
}

void StreamModel::append(const QByteArray &bytes)
{
    unread.push_back(bytes);
    fed += bytes.size();
    process();
}

bool StreamModel::take(char *out, qsizetype count)
{
    if (fed - consumed < count)
        return false;
    consumed += count;
    while (count > 0) {
        const QByteArray &front = unread.front();
        const qsizetype part = qMin(count, front.size() - unreadOffset);
        if (out) {
            std::memcpy(out, front.constData() + unreadOffset, size_t(part));
            out += part;
        }
        count -= part;
        unreadOffset += part;
        if (unreadOffset == front.size()) {
            unread.pop_front();
            unreadOffset = 0;
        }
    }
    return true;
}

// The client's parser step by step: a piece only once all of it is there, and nothing at all
// while no byte is waiting.
void StreamModel::process()
{
    while (fed > consumed) {
        switch (state) {
        case WaitMagic: {
            uchar word[BoardProtocol::MagicBytes];
            if (!take(reinterpret_cast<char *>(word), BoardProtocol::MagicBytes))
                return;
            if (qFromBigEndian<quint32>(word) == BoardProtocol::FrameMagic) {
                magicOffset = consumed - BoardProtocol::MagicBytes;
                state = WaitHeader;
            }
            break;
        }
        case WaitHeader: {
            uchar header[BoardProtocol::HeaderFieldBytes];
            if (!take(reinterpret_cast<char *>(header), BoardProtocol::HeaderFieldBytes))
                return;
            for (int i = 0; i < BoardProtocol::HeaderFields; ++i)
                current.fields[i] = qFromBigEndian<qint32>(header + 4 * i);
            state = WaitSensors;
            break;
        }
        case WaitSensors: {
            current.sensors.resize(BoardProtocol::SensorBytes);
            if (!take(current.sensors.data(), current.sensors.size()))
                return;
            const qint32 format = current.fields[0], size = current.fields[4];
            if (quint32(format) >= BoardProtocol::FirstHeaderOnlyFormat || size < 0
                || size > BoardProtocol::MaxPayloadBytes)
                state = WaitMagic;
            else
                state = WaitPayload;
            break;
        }
        case WaitPayload:
            if (!take(nullptr, current.fields[4]))
                return;
            complete();
            state = WaitMagic;
            break;
        }
    }
}

void StreamModel::complete()
{
    Frame frame = current;
    while (!open.empty()) {
        const Sent &sent = open.front();
        if (sent.start == magicOffset && sent.end == consumed) {
            frame.record = sent.index;
            frame.intact = sent.intact;
            frame.payload = sent.payload;
            open.pop_front();
            break;
        }
        if (sent.end > consumed)
            break;
        lose(sent);
        open.pop_front();
    }
    expected.push_back(std::move(frame));
}

void StreamModel::lose(const Sent &sent)
{
    if (sent.intact)
        ++intactLost;
    else if (sent.wellFormed)
        ++damagedLost;
}
