#include "MatroskaWriter.h"

#include "MatroskaLayout.h"

#include <ebml/EbmlHead.h>
#include <ebml/EbmlSubHead.h>
#include <ebml/EbmlVersion.h>
#include <ebml/EbmlVoid.h>
#include <matroska/KaxBlock.h>
#include <matroska/KaxBlockData.h>
#include <matroska/KaxCluster.h>
#include <matroska/KaxCues.h>
#include <matroska/KaxCuesData.h>
#include <matroska/KaxInfo.h>
#include <matroska/KaxInfoData.h>
#include <matroska/KaxSeekHead.h>
#include <matroska/KaxSegment.h>
#include <matroska/KaxSemantic.h>
#include <matroska/KaxTags.h>
#include <matroska/KaxTracks.h>
#include <matroska/KaxVersion.h>

#include <algorithm>
#include <cstring>
#include <exception>

using namespace libebml;
using namespace libmatroska;

namespace {
constexpr bool SkipDefaults = false; // elements at their default value are left out
constexpr uint64_t DocTypeVersion = 2;
constexpr int SegmentSizeBytes = 8; // room for any file size when it is fixed at close
constexpr uint64_t UnknownSize = (uint64_t(1) << (7 * SegmentSizeBytes)) - 1;
constexpr uint64_t SeekHeadSpaceBytes = 128; // a seek head of four entries
constexpr uint64_t DurationSpaceBytes = 16;  // the duration (11 bytes) and a void of the rest
constexpr uint64_t TrackUid = 1;
// A cluster is written as soon as its payloads come to this much, while the processor's cache
// still holds them, and the parser can then fill the same buffer again.
constexpr qint64 ClusterBytes = 256 * 1024;
// A seek point per second of board time is enough to seek in and keeps the index small.
constexpr uint64_t CueIntervalUs = 1000000;
constexpr uint64_t MicrosPerSecond = FrameSlot::MicrosPerSecond;

void setUtf8(EbmlUnicodeString &element, const char *text)
{
    UTFstring value;
    value.SetUTF8(text);
    element.SetValue(value);
}
} // namespace

MatroskaWriter::MatroskaWriter() = default;

MatroskaWriter::~MatroskaWriter()
{
    close();
}

void MatroskaWriter::dropCluster()
{
    cluster.reset();
    clusterPayloads.clear();
    clusterBytes = 0;
}

void MatroskaWriter::reset()
{
    dropCluster();
    clusterStart = previousClusterStart = 0;
    cues.clear();
    seekHeadSpace.reset();
    seekHead.reset();
    noCues.reset();
    segment.reset();
    info = nullptr;
    track = nullptr;
    firstBoardTimeUs = lastTimestamp = lastInterval = 0;
    takenFrames = writtenFrames = 0;
}

bool MatroskaWriter::fail(const QString &what)
{
    error = what;
    return false;
}

bool MatroskaWriter::failWrite()
{
    return stop(io.hasFailed() ? io.errorString() : QStringLiteral("write refused"));
}

bool MatroskaWriter::stop(const QString &reason)
{
    failed = true;
    return fail(QStringLiteral("cannot write %1: %2").arg(path, reason));
}

bool MatroskaWriter::open(const QString &path, qint32 format, int width, int height)
{
    close();
    reset();
    this->path = path;
    error.clear();
    failed = false;
    if (format < 0 || format >= BoardProtocol::FormatCount)
        return fail(QStringLiteral("cannot write %1: frame format %2 has no Matroska codec").arg(path).arg(format));
    if (width <= 0 || height <= 0)
        return fail(QStringLiteral("cannot write %1: no image size (%2x%3)").arg(path).arg(width).arg(height));
    this->format = format;
    this->width = width;
    this->height = height;
    if (!io.open(path, MatroskaFileIO::Mode::Create))
        return fail(QStringLiteral("cannot create %1: %2").arg(path, io.errorString()));
    opened = true;
    if (!writeHead()) {
        failWrite();
        io.close();
        opened = false;
        return false;
    }
    return true;
}

bool MatroskaWriter::writeHead()
{
    try {
        EbmlHead head;
        GetChild<EDocType>(head).SetValue("matroska");
        GetChild<EDocTypeVersion>(head).SetValue(DocTypeVersion);
        GetChild<EDocTypeReadVersion>(head).SetValue(DocTypeVersion);
        head.Render(io, true); // with every value, the document type too

        segment = std::make_unique<KaxSegment>();
        // Of unknown size until close, so that a cut file is still one whole segment. libebml
        // renders a master's head with the size of its children, so the all-ones size that
        // readers take for unknown is put in by overwriting the head.
        segment->WriteHead(io, SegmentSizeBytes, SkipDefaults);
        setSegmentSize(UnknownSize);
        segmentDataStart = io.getFilePointer();

        seekHeadSpace = std::make_unique<EbmlVoid>();
        seekHeadSpace->SetSize(SeekHeadSpaceBytes);
        seekHeadSpace->Render(io, SkipDefaults);
        seekHead = std::make_unique<KaxSeekHead>();

        info = &GetChild<KaxInfo>(*segment);
        GetChild<KaxTimecodeScale>(*info).SetValue(MatroskaLayout::TimestampScaleNs);
        setUtf8(GetChild<KaxMuxingApp>(*info), ("libebml " + EbmlCodeVersion + " + libmatroska " + KaxCodeVersion).c_str());
        setUtf8(GetChild<KaxWritingApp>(*info), "Brevant");
        infoPosition = io.getFilePointer();
        info->Render(io, SkipDefaults);
        seekHead->IndexThis(*info, *segment);
        EbmlVoid durationSpace;
        durationSpace.SetSize(DurationSpaceBytes - 2);
        durationSpace.Render(io, SkipDefaults);
        infoSpaceEnd = io.getFilePointer();

        KaxTracks &tracks = GetChild<KaxTracks>(*segment);
        track = &GetChild<KaxTrackEntry>(tracks);
        track->SetGlobalTimecodeScale(MatroskaLayout::TimestampScaleNs);
        GetChild<KaxTrackNumber>(*track).SetValue(MatroskaLayout::VideoTrackNumber);
        GetChild<KaxTrackUID>(*track).SetValue(TrackUid);
        GetChild<KaxTrackType>(*track).SetValue(track_video);
        GetChild<KaxTrackFlagLacing>(*track).SetValue(0);
        GetChild<KaxMaxBlockAdditionID>(*track).SetValue(MatroskaLayout::SensorAdditionId);
        const bool jpeg = format == BoardProtocol::FormatJpg;
        GetChild<KaxCodecID>(*track).SetValue(jpeg ? MatroskaLayout::JpegCodec : MatroskaLayout::RawCodec);
        KaxTrackVideo &video = GetChild<KaxTrackVideo>(*track);
        GetChild<KaxVideoPixelWidth>(video).SetValue(uint64_t(width));
        GetChild<KaxVideoPixelHeight>(video).SetValue(uint64_t(height));
        if (!jpeg)
            GetChild<KaxVideoColourSpace>(video).CopyBuffer(
                reinterpret_cast<const binary *>(MatroskaLayout::FourCcs[format]), MatroskaLayout::FourCcBytes);
        tracks.Render(io, SkipDefaults);
        seekHead->IndexThis(tracks, *segment);

        noCues = std::make_unique<KaxCues>();
        noCues->SetGlobalTimecodeScale(MatroskaLayout::TimestampScaleNs);
        return io.flush();
    } catch (const std::exception &) {
        return false;
    }
}

void MatroskaWriter::setSegmentSize(uint64_t size)
{
    segment->SetSizeInfinite(true); // ForceSize takes only an unknown size
    // Eight bytes of size hold any file this writer can reach.
    const bool fits = segment->ForceSize(size);
    Q_ASSERT(fits);
    Q_UNUSED(fits);
    segment->OverwriteHead(io);
}

qint64 MatroskaWriter::writeFrame(const FrameSlot &frame)
{
    if (!opened || failed)
        return -1;
    if (frame.format != format || frame.width != width || frame.height != height) {
        fail(QStringLiteral("cannot write %1: a %2x%3 frame of format %4 does not belong in a file of %5x%6 format %7")
                 .arg(path).arg(frame.width).arg(frame.height).arg(frame.format)
                 .arg(width).arg(height).arg(format));
        return -1;
    }
    // Timestamps may not go back: a board time before the previous frame's keeps the previous
    // timestamp.
    const uint64_t boardTime = uint64_t(frame.boardTimeUs());
    if (takenFrames == 0)
        firstBoardTimeUs = boardTime;
    const uint64_t sinceFirst = boardTime > firstBoardTimeUs ? boardTime - firstBoardTimeUs : 0;
    const uint64_t timestamp = std::max(sinceFirst, lastTimestamp);
    const qint64 bytes = frame.payload.size();
    if (cluster && timestamp - clusterStart > uint64_t(MatroskaLayout::MaxBlockOffset) && !writeCluster())
        return -1;

    try {
        if (!cluster) {
            cluster = std::make_unique<KaxCluster>();
            cluster->SetParent(*segment);
            cluster->SetPreviousTimecode(previousClusterStart * MatroskaLayout::TimestampScaleNs,
                                         MatroskaLayout::TimestampScaleNs);
            clusterStart = timestamp;
        }
        clusterPayloads.push_back(frame.payload);
        auto *data = new DataBuffer(reinterpret_cast<binary *>(const_cast<char *>(clusterPayloads.back().constData())),
                                    uint32_t(bytes));
        // The block owns `data` from here; the result only says whether it would take more.
        // Without lacing every frame is given a block group of its own.
        KaxBlockGroup *group = nullptr;
        cluster->AddFrame(*track, timestamp * MatroskaLayout::TimestampScaleNs, *data, group, LACING_NONE);
        KaxBlockMore &addition = GetChild<KaxBlockMore>(GetChild<KaxBlockAdditions>(*group));
        GetChild<KaxBlockAddID>(addition).SetValue(MatroskaLayout::SensorAdditionId);
        binary sensors[MatroskaLayout::SensorAdditionBytes];
        std::memcpy(sensors, frame.CLum, BoardProtocol::SensorBlockBytes);
        std::memcpy(sensors + BoardProtocol::SensorBlockBytes, frame.CPos, BoardProtocol::SensorBlockBytes);
        GetChild<KaxBlockAdditional>(addition).CopyBuffer(sensors, sizeof sensors);
    } catch (const std::exception &) {
        stop(QStringLiteral("out of memory"));
        return -1;
    }
    clusterBytes += bytes;
    if (takenFrames > 0)
        lastInterval = timestamp - lastTimestamp;
    lastTimestamp = timestamp;
    const qint64 place = takenFrames++;
    // A frame of a cluster that cannot be written is not taken either.
    if (clusterBytes >= ClusterBytes && !writeCluster())
        return -1;
    return place;
}

bool MatroskaWriter::writeFirstBoardTime()
{
    const QByteArray value = QStringLiteral("%1.%2")
                                 .arg(firstBoardTimeUs / MicrosPerSecond)
                                 .arg(firstBoardTimeUs % MicrosPerSecond, 6, 10, QLatin1Char('0'))
                                 .toLatin1();
    KaxTags tags;
    KaxTag &tag = GetChild<KaxTag>(tags);
    GetChild<KaxTagTargets>(tag);
    KaxTagSimple &simple = GetChild<KaxTagSimple>(tag);
    setUtf8(GetChild<KaxTagName>(simple), MatroskaLayout::FirstBoardTimeTag);
    setUtf8(GetChild<KaxTagString>(simple), value.constData());
    tags.Render(io, SkipDefaults);
    seekHead->IndexThis(tags, *segment);
    return !io.hasFailed();
}

bool MatroskaWriter::writeCluster()
{
    if (!cluster)
        return true;
    const qint64 frames = qint64(clusterPayloads.size());
    bool written = false;
    try {
        if (writtenFrames == 0 && cues.empty() && !writeFirstBoardTime())
            return failWrite();
        const uint64_t position = io.getFilePointer() - segmentDataStart;
        io.setBorrowLargeWrites(true);
        cluster->Render(io, *noCues, SkipDefaults);
        io.setBorrowLargeWrites(false);
        written = io.flush();
        if (written && (cues.empty() || clusterStart - cues.back().timestamp >= CueIntervalUs))
            cues.push_back({ clusterStart, position });
    } catch (const std::exception &) {
        io.setBorrowLargeWrites(false);
        io.flush(); // drops what refers to the payloads before they go
        written = false;
    }
    dropCluster();
    previousClusterStart = clusterStart;
    if (!written)
        return failWrite();
    writtenFrames += frames;
    return true;
}

bool MatroskaWriter::flush()
{
    if (!opened || failed)
        return false;
    return writeCluster();
}

bool MatroskaWriter::writeTail()
{
    try {
        if (!cues.empty()) {
            KaxCues index;
            index.SetGlobalTimecodeScale(MatroskaLayout::TimestampScaleNs);
            for (const CueEntry &entry : cues) {
                auto &point = AddNewChild<KaxCuePoint>(index);
                GetChild<KaxCueTime>(point).SetValue(entry.timestamp);
                auto &place = GetChild<KaxCueTrackPositions>(point);
                GetChild<KaxCueTrack>(place).SetValue(MatroskaLayout::VideoTrackNumber);
                GetChild<KaxCueClusterPosition>(place).SetValue(entry.clusterPosition);
            }
            index.Render(io, SkipDefaults);
            seekHead->IndexThis(index, *segment);
        }
        const uint64_t segmentEnd = io.getFilePointer();

        if (writtenFrames > 0) {
            KaxDuration &duration = GetChild<KaxDuration>(*info);
            duration.SetPrecision(EbmlFloat::FLOAT_64);
            duration.SetValue(double(lastTimestamp + lastInterval));
            io.setFilePointer(int64_t(infoPosition));
            info->Render(io, SkipDefaults);
            // Every write either goes whole or throws, so the space reserved at open is filled exactly.
            Q_ASSERT(io.getFilePointer() + 2 <= infoSpaceEnd);
            EbmlVoid rest;
            rest.SetSize(infoSpaceEnd - io.getFilePointer() - 2);
            rest.Render(io, SkipDefaults);
            Q_ASSERT(io.getFilePointer() == infoSpaceEnd);
        }
        seekHeadSpace->ReplaceWith(*seekHead, io, false, SkipDefaults);
        setSegmentSize(segmentEnd - segmentDataStart);
        io.setFilePointer(int64_t(segmentEnd));
        return io.flush();
    } catch (const std::exception &) {
        return false;
    }
}

bool MatroskaWriter::close()
{
    if (!opened)
        return !failed;
    bool closed = !failed && writeCluster() && writeTail();
    io.close();
    opened = false;
    closed = closed && !io.hasFailed();
    if (!closed && !failed)
        failWrite();
    return closed;
}
