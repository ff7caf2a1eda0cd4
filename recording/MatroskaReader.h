#pragma once

#include "FrameSlot.h"
#include "MatroskaFileIO.h"

#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace libebml {
class EbmlElement;
class EbmlStream;
}

// Reads the frames of a Matroska file's first video track on demand, for the formats this
// program shows: V_MJPEG, and V_UNCOMPRESSED with the FourCC Y800, UYVY, I420 or NV12. open()
// scans the clusters once for where each frame lies (not its bytes); frame(i) reads one frame.
// A cut file gives the frames that are whole in it. Board times come back absolute when the
// file names its first frame's board time (as the writer does), else they count from zero.
// Failures are returned and described by errorString(), naming the file.
class MatroskaReader
{
public:
    MatroskaReader();
    ~MatroskaReader();
    MatroskaReader(const MatroskaReader &) = delete;
    MatroskaReader &operator=(const MatroskaReader &) = delete;

    bool open(const QString &path);
    // Opens the file another reader opened, with a handle of its own, taking what that reader
    // found instead of scanning again: for reading on another thread.
    bool openAgain(const MatroskaReader &opened);
    void close();

    QString fileName() const { return path; }
    QString errorString() const { return error; }
    qint64 frameCount() const { return qint64(frames.size()); }

    // Fills `slot` with frame `index`: header fields, payload, board time and sensor blocks
    // (zeros when the file has none). `reserved` is not kept in the file and reads 0.
    bool frame(qint64 index, FrameSlot &slot);
    // Frame `index` as far as the scan found it, with nothing read from the file: header fields,
    // payload size and board time; no payload, and the sensor blocks (stored beside the payload)
    // zeros.
    bool header(qint64 index, FrameSlot &slot);

private:
    struct FramePlace
    {
        uint64_t position; // of its BlockGroup or SimpleBlock element
        int64_t timestamp; // in the segment's timestamp units
        qint32 payloadBytes;
    };

    void forEachChild(libebml::EbmlElement &parent, const std::function<void(libebml::EbmlElement &)> &visit);
    uint64_t unsignedOf(libebml::EbmlElement &element);
    std::string bytesOf(libebml::EbmlElement &element);
    bool readSegment(libebml::EbmlElement &segment);
    bool readInfo(libebml::EbmlElement &element);
    bool readTracks(libebml::EbmlElement &element);
    void readTags(libebml::EbmlElement &element);
    bool scanCluster(libebml::EbmlElement &cluster, uint64_t parentEnd);
    void readBlock(libebml::EbmlElement &element, int64_t clusterTimestamp, uint64_t groupPosition);
    bool readPayload(libebml::EbmlElement &element, FrameSlot &slot);
    bool readSensorBlocks(libebml::EbmlElement &additions, FrameSlot &slot);
    int64_t microsOf(int64_t timestamp) const;
    void fillHeader(const FramePlace &place, FrameSlot &slot) const;
    bool fail(const QString &what);
    uint64_t endOf(const libebml::EbmlElement &element) const;

    MatroskaFileIO io;
    std::unique_ptr<libebml::EbmlStream> stream;
    QString path;
    QString error;
    uint64_t fileBytes = 0;
    bool tracksRead = false;
    uint64_t trackNumber = 0;
    uint64_t timestampScaleNs = 1000000;
    uint64_t firstBoardTimeUs = 0;
    qint32 frameFormat = -1;
    int frameWidth = 0;
    int frameHeight = 0;
    std::vector<FramePlace> frames;
};
