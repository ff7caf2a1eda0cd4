#include "MatroskaReader.h"

#include "MatroskaLayout.h"

#include <ebml/EbmlHead.h>
#include <ebml/EbmlStream.h>
#include <ebml/EbmlSubHead.h>
#include <matroska/KaxBlock.h>
#include <matroska/KaxBlockData.h>
#include <matroska/KaxCluster.h>
#include <matroska/KaxInfo.h>
#include <matroska/KaxInfoData.h>
#include <matroska/KaxSegment.h>
#include <matroska/KaxSemantic.h>
#include <matroska/KaxTags.h>
#include <matroska/KaxTracks.h>

#include <QStringList>

#include <algorithm>
#include <functional>
#include <cstring>
#include <exception>

using namespace libebml;
using namespace libmatroska;

namespace {
// Prevent DoS: what is read whole is bounded.
constexpr uint64_t MaxTextBytes = 4096;
constexpr uint64_t MaxGroupBytes = uint64_t(BoardProtocol::MaxPayloadBytes) + 64 * 1024;
// libebml passes over an element larger than the bound it is given, while a cut cluster, or one
// whose size is damaged, still holds whole frames: elements of any size are taken, then bounded.
constexpr uint64_t AnySize = UINT64_MAX;
constexpr uint64_t DefaultTimestampScaleNs = 1000000;
constexpr uint64_t MaxTimestampScaleNs = 1000000000;
constexpr uint64_t MicrosPerSecond = FrameSlot::MicrosPerSecond;
constexpr int BlockHeadBytes = 4; // track number (one byte), 16-bit timestamp, flags
constexpr uint8_t LacingFlags = 0x06;

bool is(const EbmlElement &element, const EbmlCallbacks &kind)
{
    return EbmlId(element) == EBML_INFO_ID(kind);
}

QString quoted(const std::string &text)
{
    return QLatin1Char('"') + QString::fromUtf8(text.data(), int(text.size())) + QLatin1Char('"');
}
} // namespace

MatroskaReader::MatroskaReader() = default;
MatroskaReader::~MatroskaReader() = default;

void MatroskaReader::close()
{
    stream.reset();
    io.close();
    error.clear();
    fileBytes = 0;
    tracksRead = false;
    trackNumber = 0;
    timestampScaleNs = DefaultTimestampScaleNs;
    firstBoardTimeUs = 0;
    frameFormat = -1;
    frameWidth = frameHeight = 0;
    frames.clear();
}

bool MatroskaReader::fail(const QString &what)
{
    error = QStringLiteral("cannot read %1: %2").arg(path, what);
    frames.clear();
    return false;
}

// Where the element ends: the end of the file when its size is unknown, beyond the file (and
// never wrapping) when it claims more than the file holds.
uint64_t MatroskaReader::endOf(const EbmlElement &element) const
{
    const uint64_t dataStart = element.GetElementPosition() + element.HeadSize();
    if (!element.IsFiniteSize())
        return std::max(fileBytes, dataStart);
    if (element.GetSize() > fileBytes)
        return UINT64_MAX;
    return dataStart + element.GetSize();
}

bool MatroskaReader::open(const QString &path)
{
    close();
    this->path = path;
    if (!io.open(path, MatroskaFileIO::Mode::Read))
        return fail(io.errorString());
    fileBytes = uint64_t(std::max<qint64>(io.fileSize(), 0));
    stream = std::make_unique<EbmlStream>(io);
    try {
        std::unique_ptr<EbmlElement> head(stream->FindNextID(EBML_INFO(EbmlHead), UINT64_MAX));
        if (!head || !is(*head, EBML_INFO(EbmlHead)) || head->GetElementPosition() != 0 || endOf(*head) > fileBytes)
            return fail(QStringLiteral("not a Matroska file"));
        std::string kind = "matroska";
        forEachChild(*head, [&](EbmlElement &item) {
            if (is(item, EBML_INFO(EDocType)))
                kind = bytesOf(item).c_str();
        });
        if (kind != "matroska" && kind != "webm")
            return fail(QStringLiteral("not a Matroska file (document type %1)").arg(quoted(kind)));
        io.setFilePointer(int64_t(endOf(*head)));

        std::unique_ptr<EbmlElement> segment(stream->FindNextID(EBML_INFO(KaxSegment), UINT64_MAX));
        if (!segment || !is(*segment, EBML_INFO(KaxSegment)))
            return fail(QStringLiteral("no segment after the head"));
        if (!readSegment(*segment))
            return false;
    } catch (const std::exception &) {
        return fail(QStringLiteral("damaged near byte %1").arg(io.getFilePointer()));
    }
    if (io.hasFailed())
        return fail(io.errorString());
    if (!tracksRead)
        return fail(QStringLiteral("no video track"));
    if (frames.empty())
        return fail(QStringLiteral("it holds no whole frame"));
    return true;
}

bool MatroskaReader::openAgain(const MatroskaReader &opened)
{
    close();
    path = opened.path;
    if (!io.open(path, MatroskaFileIO::Mode::Read))
        return fail(io.errorString());
    stream = std::make_unique<EbmlStream>(io);
    fileBytes = opened.fileBytes;
    tracksRead = opened.tracksRead;
    trackNumber = opened.trackNumber;
    timestampScaleNs = opened.timestampScaleNs;
    firstBoardTimeUs = opened.firstBoardTimeUs;
    frameFormat = opened.frameFormat;
    frameWidth = opened.frameWidth;
    frameHeight = opened.frameHeight;
    frames = opened.frames;
    return true;
}

bool MatroskaReader::readSegment(EbmlElement &segment)
{
    const uint64_t end = std::min(endOf(segment), fileBytes);
    io.setFilePointer(int64_t(segment.GetElementPosition() + segment.HeadSize()));
    while (io.getFilePointer() < end && !io.hasFailed()) {
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CONTEXT(&segment), upper, AnySize, true));
        if (!element || upper > 0) // upper < 0: a void or checksum, of any level
            break;
        const uint64_t elementEnd = std::min(endOf(*element), end);
        if (is(*element, EBML_INFO(KaxInfo))) {
            if (!readInfo(*element))
                return false;
        } else if (is(*element, EBML_INFO(KaxTracks))) {
            if (!readTracks(*element))
                return false;
        } else if (is(*element, EBML_INFO(KaxTags))) {
            readTags(*element);
        } else if (is(*element, EBML_INFO(KaxCluster))) {
            if (!tracksRead)
                return fail(QStringLiteral("a cluster comes before the tracks"));
            // A cluster of unknown size, or one whose size is wrong, ends where the next element of
            // the segment starts.
            if (scanCluster(*element, end) || !element->IsFiniteSize())
                continue;
        } else if (!element->IsFiniteSize()) {
            break;
        }
        io.setFilePointer(int64_t(elementEnd));
    }
    return true;
}

void MatroskaReader::forEachChild(EbmlElement &parent, const std::function<void(EbmlElement &)> &visit)
{
    const uint64_t end = std::min(endOf(parent), fileBytes);
    io.setFilePointer(int64_t(parent.GetElementPosition() + parent.HeadSize()));
    while (io.getFilePointer() < end && !io.hasFailed()) {
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CONTEXT(&parent), upper, end - io.getFilePointer(), true));
        if (!element || upper > 0 || !element->IsFiniteSize() || endOf(*element) > end)
            break;
        const uint64_t next = endOf(*element);
        visit(*element);
        io.setFilePointer(int64_t(next));
    }
}

uint64_t MatroskaReader::unsignedOf(EbmlElement &element)
{
    if (element.GetSize() > sizeof(uint64_t))
        return 0;
    element.ReadData(io, SCOPE_ALL_DATA);
    return static_cast<EbmlUInteger &>(element).GetValue();
}

// Text and binary values are read as bytes: libebml leaks a string's buffer when its UTF-8
// does not convert.
std::string MatroskaReader::bytesOf(EbmlElement &element)
{
    if (element.GetSize() > MaxTextBytes)
        return {};
    std::string bytes(size_t(element.GetSize()), '\0');
    if (io.read(bytes.data(), bytes.size()) != bytes.size())
        return {};
    return bytes;
}

bool MatroskaReader::readInfo(EbmlElement &element)
{
    forEachChild(element, [this](EbmlElement &item) {
        if (is(item, EBML_INFO(KaxTimecodeScale)))
            timestampScaleNs = unsignedOf(item);
    });
    if (timestampScaleNs == 0 || timestampScaleNs > MaxTimestampScaleNs)
        return fail(QStringLiteral("timestamp scale %1 ns is out of range").arg(timestampScaleNs));
    return true;
}

bool MatroskaReader::readTracks(EbmlElement &element)
{
    if (tracksRead)
        return true;
    QString refusal;
    forEachChild(element, [&](EbmlElement &entry) {
        if (tracksRead || !refusal.isEmpty() || !is(entry, EBML_INFO(KaxTrackEntry)))
            return;
        uint64_t type = 0, number = 0, width = 0, height = 0;
        std::string codec, fourCc;
        forEachChild(entry, [&](EbmlElement &item) {
            if (is(item, EBML_INFO(KaxTrackType)))
                type = unsignedOf(item);
            else if (is(item, EBML_INFO(KaxTrackNumber)))
                number = unsignedOf(item);
            else if (is(item, EBML_INFO(KaxCodecID)))
                codec = bytesOf(item).c_str();
            else if (is(item, EBML_INFO(KaxTrackVideo)))
                forEachChild(item, [&](EbmlElement &video) {
                    if (is(video, EBML_INFO(KaxVideoPixelWidth)))
                        width = unsignedOf(video);
                    else if (is(video, EBML_INFO(KaxVideoPixelHeight)))
                        height = unsignedOf(video);
                    else if (is(video, EBML_INFO(KaxVideoColourSpace)))
                        fourCc = bytesOf(video);
                });
        });
        if (type != track_video || number == 0)
            return;
        int format = -1;
        if (codec == MatroskaLayout::JpegCodec) {
            format = BoardProtocol::FormatJpg;
        } else if (codec == MatroskaLayout::RawCodec) {
            for (int raw = 0; raw < BoardProtocol::FormatCount; ++raw)
                if (MatroskaLayout::FourCcs[raw] && fourCc == MatroskaLayout::FourCcs[raw])
                    format = raw;
        }
        if (format < 0) {
            refusal = QStringLiteral("its video is %1%2, which this program does not show")
                          .arg(quoted(codec), codec == MatroskaLayout::RawCodec
                                                  ? QStringLiteral(" with colour space ") + quoted(fourCc)
                                                  : QString());
        } else if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) {
            refusal = QStringLiteral("its video has no usable size (%1x%2)").arg(width).arg(height);
        } else {
            frameFormat = format;
            frameWidth = int(width);
            frameHeight = int(height);
            trackNumber = number;
            tracksRead = true;
        }
    });
    if (!refusal.isEmpty())
        return fail(refusal);
    return tracksRead || fail(QStringLiteral("no video track"));
}

void MatroskaReader::readTags(EbmlElement &element)
{
    forEachChild(element, [this](EbmlElement &tag) {
        if (!is(tag, EBML_INFO(KaxTag)))
            return;
        forEachChild(tag, [this](EbmlElement &simple) {
            if (!is(simple, EBML_INFO(KaxTagSimple)))
                return;
            std::string name, value;
            forEachChild(simple, [&](EbmlElement &item) {
                if (is(item, EBML_INFO(KaxTagName)))
                    name = bytesOf(item).c_str();
                else if (is(item, EBML_INFO(KaxTagString)))
                    value = bytesOf(item).c_str();
            });
            if (name != MatroskaLayout::FirstBoardTimeTag)
                return;
            const QStringList parts = QString::fromStdString(value).split(QLatin1Char('.'));
            bool secondsRead = false;
            bool microsRead = false;
            const uint64_t seconds = parts.value(0).toULongLong(&secondsRead);
            const uint64_t micros = parts.value(1).toULongLong(&microsRead);
            if (parts.size() == 2 && secondsRead && microsRead && micros < MicrosPerSecond && seconds <= UINT32_MAX)
                firstBoardTimeUs = seconds * MicrosPerSecond + micros;
        });
    });
}

// Returns whether the scan stopped at the next element of the segment, inside what the cluster
// claims as its own.
bool MatroskaReader::scanCluster(EbmlElement &cluster, uint64_t parentEnd)
{
    const uint64_t end = std::min(endOf(cluster), parentEnd);
    bool timestampRead = false;
    int64_t clusterTimestamp = 0;
    while (io.getFilePointer() < end && !io.hasFailed()) {
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CONTEXT(&cluster), upper, AnySize, true));
        if (!element)
            break;
        if (upper > 0) {
            io.setFilePointer(int64_t(element->GetElementPosition()));
            return true;
        }
        const uint64_t elementEnd = endOf(*element);
        if (!element->IsFiniteSize() || elementEnd > end)
            break; // cut off: the frames before it are all there is
        if (is(*element, EBML_INFO(KaxClusterTimecode)) && element->GetSize() <= sizeof(uint64_t)) {
            const uint64_t value = unsignedOf(*element);
            clusterTimestamp = int64_t(std::min<uint64_t>(value, INT64_MAX / 2));
            timestampRead = true;
        } else if (timestampRead && is(*element, EBML_INFO(KaxSimpleBlock))) {
            readBlock(*element, clusterTimestamp, element->GetElementPosition());
        } else if (timestampRead && is(*element, EBML_INFO(KaxBlockGroup))) {
            const uint64_t groupPosition = element->GetElementPosition();
            while (io.getFilePointer() < elementEnd && !io.hasFailed()) {
                int level = 0;
                std::unique_ptr<EbmlElement> part(stream->FindNextElement(
                    EBML_CONTEXT(element.get()), level, elementEnd - io.getFilePointer(), true));
                if (!part || level > 0 || !part->IsFiniteSize() || endOf(*part) > elementEnd)
                    break;
                const uint64_t partEnd = endOf(*part);
                if (is(*part, EBML_INFO(KaxBlock))) {
                    readBlock(*part, clusterTimestamp, groupPosition);
                    break;
                }
                io.setFilePointer(int64_t(partEnd));
            }
        }
        io.setFilePointer(int64_t(elementEnd));
    }
    return false;
}

// The block's head is read here rather than through libebml's partial block read, which reads
// past a short block.
void MatroskaReader::readBlock(EbmlElement &element, int64_t clusterTimestamp, uint64_t groupPosition)
{
    if (element.GetSize() < uint64_t(BlockHeadBytes))
        return;
    uint8_t head[BlockHeadBytes];
    if (io.read(head, sizeof head) != sizeof head)
        return;
    // One-byte track numbers (1 to 127) only, as every file with a handful of tracks has.
    if (!(head[0] & 0x80) || uint64_t(head[0] & 0x7F) != trackNumber || (head[3] & LacingFlags))
        return;
    const int16_t relative = int16_t(uint16_t(head[1] << 8 | head[2]));
    const uint64_t payloadBytes = element.GetSize() - uint64_t(BlockHeadBytes);
    frames.push_back({ groupPosition, clusterTimestamp + relative,
                       qint32(std::min<uint64_t>(payloadBytes, INT32_MAX)) });
}

bool MatroskaReader::frame(qint64 index, FrameSlot &slot)
{
    if (!stream || index < 0 || index >= frameCount()) {
        error = QStringLiteral("cannot read %1: no frame %2").arg(path).arg(index);
        return false;
    }
    const FramePlace &place = frames[size_t(index)];
    std::memset(slot.CLum, 0, sizeof slot.CLum);
    std::memset(slot.CPos, 0, sizeof slot.CPos);
    bool payloadRead = false;
    try {
        io.setFilePointer(int64_t(place.position));
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CLASS_CONTEXT(KaxCluster), upper, MaxGroupBytes, false));
        // The file as it is now: one cut since it was opened has lost the frames beyond the cut.
        const qint64 bytesNow = io.fileSize();
        if (element && element->GetSize() <= MaxGroupBytes && bytesNow >= 0 && endOf(*element) <= uint64_t(bytesNow)) {
            if (is(*element, EBML_INFO(KaxSimpleBlock))) {
                payloadRead = readPayload(*element, slot);
            } else if (is(*element, EBML_INFO(KaxBlockGroup))) {
                bool sensorsRead = false;
                forEachChild(*element, [&](EbmlElement &item) {
                    if (is(item, EBML_INFO(KaxBlock)) && !payloadRead)
                        payloadRead = readPayload(item, slot);
                    else if (is(item, EBML_INFO(KaxBlockAdditions)) && !sensorsRead)
                        sensorsRead = readSensorBlocks(item, slot);
                });
            }
        }
    } catch (const std::exception &) {
        payloadRead = false;
    }
    if (!payloadRead || io.hasFailed()) {
        error = QStringLiteral("cannot read %1: frame %2 is damaged").arg(path).arg(index);
        return false;
    }
    fillHeader(place, slot);
    slot.size = qint32(slot.payload.size());
    return true;
}

bool MatroskaReader::header(qint64 index, FrameSlot &slot)
{
    if (index < 0 || index >= frameCount()) {
        error = QStringLiteral("cannot read %1: no frame %2").arg(path).arg(index);
        return false;
    }
    slot.payload.clear();
    std::memset(slot.CLum, 0, sizeof slot.CLum);
    std::memset(slot.CPos, 0, sizeof slot.CPos);
    fillHeader(frames[size_t(index)], slot);
    return true;
}

void MatroskaReader::fillHeader(const FramePlace &place, FrameSlot &slot) const
{
    slot.format = frameFormat;
    slot.reserved = 0;
    slot.width = frameWidth;
    slot.height = frameHeight;
    slot.size = place.payloadBytes;
    // A block before the file's first frame is that much earlier, never before board time zero.
    const int64_t sinceFirst = microsOf(place.timestamp);
    const uint64_t boardTime = sinceFirst < 0 && uint64_t(-sinceFirst) > firstBoardTimeUs
                                   ? 0
                                   : firstBoardTimeUs + uint64_t(sinceFirst);
    slot.timestamp_s = qint32(quint32(boardTime / MicrosPerSecond));
    slot.timestamp_us = qint32(boardTime % MicrosPerSecond);
}

bool MatroskaReader::readPayload(EbmlElement &element, FrameSlot &slot)
{
    if (element.GetSize() > MaxGroupBytes)
        return false;
    element.ReadData(io, SCOPE_ALL_DATA);
    auto &block = static_cast<KaxInternalBlock &>(element);
    if (block.NumberFrames() != 1)
        return false;
    DataBuffer &data = block.GetBuffer(0);
    if (data.Size() > uint32_t(BoardProtocol::MaxPayloadBytes))
        return false;
    slot.payload = QByteArray(reinterpret_cast<const char *>(data.Buffer()), int(data.Size()));
    return true;
}

int64_t MatroskaReader::microsOf(int64_t timestamp) const
{
    const __int128 micros = (__int128)timestamp * timestampScaleNs / 1000;
    return int64_t(std::clamp<__int128>(micros, -(INT64_MAX / 2), INT64_MAX / 2));
}

bool MatroskaReader::readSensorBlocks(EbmlElement &additions, FrameSlot &slot)
{
    bool found = false;
    forEachChild(additions, [&](EbmlElement &more) {
        if (found || !is(more, EBML_INFO(KaxBlockMore)))
            return;
        uint64_t id = MatroskaLayout::SensorAdditionId;
        std::string bytes;
        forEachChild(more, [&](EbmlElement &item) {
            if (is(item, EBML_INFO(KaxBlockAddID)))
                id = unsignedOf(item);
            else if (is(item, EBML_INFO(KaxBlockAdditional)))
                bytes = bytesOf(item);
        });
        if (id != MatroskaLayout::SensorAdditionId || bytes.size() != size_t(MatroskaLayout::SensorAdditionBytes))
            return;
        std::memcpy(slot.CLum, bytes.data(), BoardProtocol::SensorBlockBytes);
        std::memcpy(slot.CPos, bytes.data() + BoardProtocol::SensorBlockBytes, BoardProtocol::SensorBlockBytes);
        found = true;
    });
    return found;
}
