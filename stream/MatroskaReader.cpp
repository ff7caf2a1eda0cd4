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
#include <cstring>
#include <exception>

using namespace libebml;
using namespace libmatroska;

namespace {
// Prevent DoS: the head elements are read whole, a frame's group is read whole.
constexpr uint64_t MaxHeadElementBytes = 1024 * 1024;
constexpr uint64_t MaxGroupBytes = uint64_t(BoardProtocol::MaxPayloadBytes) + 64 * 1024;
constexpr uint64_t DefaultTimestampScaleNs = 1000000;
constexpr uint64_t MaxTimestampScaleNs = 1000000000;
constexpr uint64_t MicrosPerSecond = 1000000;
constexpr int BlockHeadBytes = 4; // track number (one byte), 16-bit timestamp, flags
constexpr uint8_t LacingFlags = 0x06;

template<class Element>
Element *child(const EbmlElement &master)
{
    return static_cast<Element *>(static_cast<const EbmlMaster &>(master).FindFirstElt(EBML_INFO(Element)));
}

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

uint64_t MatroskaReader::endOf(const EbmlElement &element) const
{
    const uint64_t dataStart = element.GetElementPosition() + element.HeadSize();
    if (!element.IsFiniteSize() || element.GetSize() > fileBytes)
        return std::max(fileBytes, dataStart);
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
        if (!head || !is(*head, EBML_INFO(EbmlHead)) || head->GetElementPosition() != 0 || !head->IsFiniteSize()
            || head->GetSize() > MaxHeadElementBytes)
            return fail(QStringLiteral("not a Matroska file"));
        int upper = 0;
        EbmlElement *beyond = nullptr;
        head->Read(*stream, EBML_CONTEXT(head.get()), upper, beyond, true, SCOPE_ALL_DATA);
        delete beyond;
        const auto *docType = child<EDocType>(*head);
        const std::string kind = docType ? docType->GetValue() : std::string("matroska");
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
    return true;
}

bool MatroskaReader::readSegment(EbmlElement &segment)
{
    const uint64_t end = endOf(segment);
    io.setFilePointer(int64_t(segment.GetElementPosition() + segment.HeadSize()));
    while (io.getFilePointer() < end && !io.hasFailed()) {
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CONTEXT(&segment), upper, end - io.getFilePointer(), true));
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
            if (!scanCluster(*element, end))
                return false;
            if (!element->IsFiniteSize())
                continue; // the scan stopped where the next element starts
        } else if (!element->IsFiniteSize()) {
            break;
        }
        io.setFilePointer(int64_t(elementEnd));
    }
    return true;
}

bool MatroskaReader::readInfo(EbmlElement &element)
{
    if (!element.IsFiniteSize() || element.GetSize() > MaxHeadElementBytes)
        return fail(QStringLiteral("its segment information is too large"));
    int upper = 0;
    EbmlElement *beyond = nullptr;
    element.Read(*stream, EBML_CONTEXT(&element), upper, beyond, true, SCOPE_ALL_DATA);
    delete beyond;
    if (const auto *scale = child<KaxTimecodeScale>(element))
        timestampScaleNs = scale->GetValue();
    if (timestampScaleNs == 0 || timestampScaleNs > MaxTimestampScaleNs)
        return fail(QStringLiteral("timestamp scale %1 ns is out of range").arg(timestampScaleNs));
    return true;
}

bool MatroskaReader::readTracks(EbmlElement &element)
{
    if (tracksRead)
        return true;
    if (!element.IsFiniteSize() || element.GetSize() > MaxHeadElementBytes)
        return fail(QStringLiteral("its track list is too large"));
    int upper = 0;
    EbmlElement *beyond = nullptr;
    element.Read(*stream, EBML_CONTEXT(&element), upper, beyond, true, SCOPE_ALL_DATA);
    delete beyond;
    for (const EbmlElement *entry : static_cast<const EbmlMaster &>(element)) {
        if (!is(*entry, EBML_INFO(KaxTrackEntry)))
            continue;
        const auto *type = child<KaxTrackType>(*entry);
        const auto *number = child<KaxTrackNumber>(*entry);
        if (!type || type->GetValue() != track_video || !number)
            continue;
        const auto *codecElement = child<KaxCodecID>(*entry);
        const std::string codec = codecElement ? codecElement->GetValue() : std::string();
        const auto *video = child<KaxTrackVideo>(*entry);
        const auto *pixelWidth = video ? child<KaxVideoPixelWidth>(*video) : nullptr;
        const auto *pixelHeight = video ? child<KaxVideoPixelHeight>(*video) : nullptr;
        const auto *colourSpace = video ? child<KaxVideoColourSpace>(*video) : nullptr;
        std::string fourCc;
        if (colourSpace && colourSpace->GetBuffer())
            fourCc.assign(reinterpret_cast<const char *>(colourSpace->GetBuffer()), colourSpace->GetSize());

        frameFormat = -1;
        if (codec == MatroskaLayout::JpegCodec) {
            frameFormat = BoardProtocol::FormatJpg;
        } else if (codec == MatroskaLayout::RawCodec) {
            for (int format = 0; format < BoardProtocol::FormatCount; ++format)
                if (MatroskaLayout::FourCcs[format] && fourCc == MatroskaLayout::FourCcs[format])
                    frameFormat = format;
        }
        if (frameFormat < 0)
            return fail(QStringLiteral("its video is %1%2, which this program does not show")
                            .arg(quoted(codec),
                                 codec == MatroskaLayout::RawCodec ? QStringLiteral(" with colour space ") + quoted(fourCc)
                                                                   : QString()));
        const uint64_t widthValue = pixelWidth ? pixelWidth->GetValue() : 0;
        const uint64_t heightValue = pixelHeight ? pixelHeight->GetValue() : 0;
        if (widthValue == 0 || heightValue == 0 || widthValue > INT32_MAX || heightValue > INT32_MAX)
            return fail(QStringLiteral("its video has no usable size (%1x%2)").arg(widthValue).arg(heightValue));
        frameWidth = int(widthValue);
        frameHeight = int(heightValue);
        trackNumber = number->GetValue();
        tracksRead = true;
        return true;
    }
    return fail(QStringLiteral("no video track"));
}

void MatroskaReader::readTags(EbmlElement &element)
{
    if (!element.IsFiniteSize() || element.GetSize() > MaxHeadElementBytes)
        return;
    int upper = 0;
    EbmlElement *beyond = nullptr;
    element.Read(*stream, EBML_CONTEXT(&element), upper, beyond, true, SCOPE_ALL_DATA);
    delete beyond;
    for (const EbmlElement *tag : static_cast<const EbmlMaster &>(element)) {
        if (!is(*tag, EBML_INFO(KaxTag)))
            continue;
        for (const EbmlElement *simple : static_cast<const EbmlMaster &>(*tag)) {
            if (!is(*simple, EBML_INFO(KaxTagSimple)))
                continue;
            const auto *name = child<KaxTagName>(*simple);
            const auto *value = child<KaxTagString>(*simple);
            if (!name || !value || name->GetValueUTF8() != MatroskaLayout::FirstBoardTimeTag)
                continue;
            const QStringList parts = QString::fromStdString(value->GetValueUTF8()).split(QLatin1Char('.'));
            bool secondsRead = false;
            bool microsRead = false;
            const uint64_t seconds = parts.value(0).toULongLong(&secondsRead);
            const uint64_t micros = parts.value(1).toULongLong(&microsRead);
            if (parts.size() == 2 && secondsRead && microsRead && micros < MicrosPerSecond
                && seconds <= UINT32_MAX)
                firstBoardTimeUs = seconds * MicrosPerSecond + micros;
        }
    }
}

bool MatroskaReader::scanCluster(EbmlElement &cluster, uint64_t parentEnd)
{
    const uint64_t end = std::min(endOf(cluster), parentEnd);
    bool timestampRead = false;
    int64_t clusterTimestamp = 0;
    while (io.getFilePointer() < end && !io.hasFailed()) {
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CONTEXT(&cluster), upper, end - io.getFilePointer(), true));
        if (!element)
            break;
        if (upper > 0) { // the next element of the segment, after a cluster of unknown size
            io.setFilePointer(int64_t(element->GetElementPosition()));
            return true;
        }
        const uint64_t elementEnd = endOf(*element);
        if (!element->IsFiniteSize() || elementEnd > end)
            break; // cut off: the frames before it are all there is
        if (is(*element, EBML_INFO(KaxClusterTimecode)) && element->GetSize() <= sizeof(uint64_t)) {
            element->ReadData(io, SCOPE_ALL_DATA);
            const uint64_t value = static_cast<KaxClusterTimecode &>(*element).GetValue();
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
    return true;
}

// The block's head is read here rather than through libebml's partial block read, which reads
// past a short block.
bool MatroskaReader::readBlock(EbmlElement &element, int64_t clusterTimestamp, uint64_t groupPosition)
{
    if (element.GetSize() < uint64_t(BlockHeadBytes))
        return false;
    uint8_t head[BlockHeadBytes];
    if (io.read(head, sizeof head) != sizeof head)
        return false;
    // One-byte track numbers (1 to 127) only, as every file with a handful of tracks has.
    if (!(head[0] & 0x80) || uint64_t(head[0] & 0x7F) != trackNumber || (head[3] & LacingFlags))
        return false;
    const int16_t relative = int16_t(uint16_t(head[1] << 8 | head[2]));
    frames.push_back({ groupPosition, clusterTimestamp + relative });
    return true;
}

bool MatroskaReader::frame(qint64 index, FrameSlot &slot)
{
    if (!stream || index < 0 || index >= frameCount()) {
        error = QStringLiteral("cannot read %1: no frame %2").arg(path).arg(index);
        return false;
    }
    const FramePlace &place = frames[size_t(index)];
    try {
        io.setFilePointer(int64_t(place.position));
        int upper = 0;
        std::unique_ptr<EbmlElement> element(
            stream->FindNextElement(EBML_CLASS_CONTEXT(KaxCluster), upper, MaxGroupBytes, false));
        if (!element || !element->IsFiniteSize() || element->GetSize() > MaxGroupBytes
            || endOf(*element) > fileBytes) {
            error = QStringLiteral("cannot read %1: frame %2 is damaged or too large").arg(path).arg(index);
            return false;
        }
        KaxInternalBlock *block = nullptr;
        const KaxBlockAdditions *additions = nullptr;
        if (is(*element, EBML_INFO(KaxSimpleBlock))) {
            element->ReadData(io, SCOPE_ALL_DATA);
            block = static_cast<KaxInternalBlock *>(element.get());
        } else if (is(*element, EBML_INFO(KaxBlockGroup))) {
            EbmlElement *beyond = nullptr;
            element->Read(*stream, EBML_CONTEXT(element.get()), upper, beyond, true, SCOPE_ALL_DATA);
            delete beyond;
            block = child<KaxBlock>(*element);
            additions = child<KaxBlockAdditions>(*element);
        }
        if (!block || block->NumberFrames() != 1 || io.hasFailed()) {
            error = QStringLiteral("cannot read %1: frame %2 is damaged").arg(path).arg(index);
            return false;
        }
        DataBuffer &data = block->GetBuffer(0);
        if (data.Size() > uint32_t(BoardProtocol::MaxPayloadBytes)) {
            error = QStringLiteral("cannot read %1: frame %2 is too large").arg(path).arg(index);
            return false;
        }
        slot.payload = QByteArray(reinterpret_cast<const char *>(data.Buffer()), int(data.Size()));

        std::memset(slot.CLum, 0, sizeof slot.CLum);
        std::memset(slot.CPos, 0, sizeof slot.CPos);
        if (additions)
            readSensorBlocks(*additions, slot);
    } catch (const std::exception &) {
        error = QStringLiteral("cannot read %1: frame %2 is damaged").arg(path).arg(index);
        return false;
    }
    slot.format = frameFormat;
    slot.reserved = 0;
    slot.width = frameWidth;
    slot.height = frameHeight;
    slot.size = qint32(slot.payload.size());
    const uint64_t boardTime = firstBoardTimeUs + microsOf(place.timestamp);
    slot.timestamp_s = qint32(quint32(boardTime / MicrosPerSecond));
    slot.timestamp_us = qint32(boardTime % MicrosPerSecond);
    return true;
}

uint64_t MatroskaReader::microsOf(int64_t timestamp) const
{
    if (timestamp <= 0)
        return 0;
    const unsigned __int128 micros = (unsigned __int128)timestamp * timestampScaleNs / 1000;
    return micros > UINT64_MAX / 2 ? UINT64_MAX / 2 : uint64_t(micros);
}

void MatroskaReader::readSensorBlocks(const EbmlElement &additions, FrameSlot &slot)
{
    for (const EbmlElement *more : static_cast<const EbmlMaster &>(additions)) {
        if (!is(*more, EBML_INFO(KaxBlockMore)))
            continue;
        const auto *id = child<KaxBlockAddID>(*more);
        const auto *bytes = child<KaxBlockAdditional>(*more);
        if ((id ? id->GetValue() : MatroskaLayout::SensorAdditionId) != MatroskaLayout::SensorAdditionId
            || !bytes || bytes->GetSize() != uint64_t(MatroskaLayout::SensorAdditionBytes) || !bytes->GetBuffer())
            continue;
        std::memcpy(slot.CLum, bytes->GetBuffer(), BoardProtocol::SensorBlockBytes);
        std::memcpy(slot.CPos, bytes->GetBuffer() + BoardProtocol::SensorBlockBytes, BoardProtocol::SensorBlockBytes);
        return;
    }
}
