#pragma once

#include "FrameSlot.h"
#include "MatroskaFileIO.h"

#include <QString>

#include <memory>
#include <vector>

namespace libmatroska {
class KaxCluster;
class KaxCues;
class KaxInfo;
class KaxSeekHead;
class KaxSegment;
class KaxTrackEntry;
}
namespace libebml {
class EbmlVoid;
}

// Writes one video track of frames as received into a Matroska file: JPEG as V_MJPEG, the raw
// formats as V_UNCOMPRESSED with their FourCC. Each frame's timestamp is its board time since
// the file's first frame, exact to the microsecond; its two sensor blocks travel with it as a
// block addition. Frames gather in a cluster that is written whole, in one system call, once
// it holds 256 KiB of payloads, when the next frame's time no longer fits it, or on flush or
// close: a frame counts as written once its cluster has been handed to the kernel, so it
// survives the process being killed. A file cut anywhere keeps every frame of every complete
// cluster. close() adds the duration and the seek index and fixes the sizes. Failures are
// returned and described by errorString(), naming the file; after a write failure the writer
// takes no more frames.
class MatroskaWriter
{
public:
    MatroskaWriter();
    ~MatroskaWriter();
    MatroskaWriter(const MatroskaWriter &) = delete;
    MatroskaWriter &operator=(const MatroskaWriter &) = delete;

    // Creates (or truncates) the file and writes its head and track. `format` is a FrameFormat
    // code from 0 to 4.
    bool open(const QString &path, qint32 format, int width, int height);
    // Returns the frame's number in the file (0 for the first), or -1 when it is not taken: a
    // frame of another format or size (the file stays good) or a write failure.
    qint64 writeFrame(const FrameSlot &frame);
    // Writes the frames gathered so far, e.g. when the stream pauses.
    bool flush();
    // Writes what is left, the duration, the seek index and the sizes; the file is closed even
    // when this fails.
    bool close();

    bool isOpen() const { return opened; }
    bool hasFailed() const { return failed; }
    QString fileName() const { return path; }
    QString errorString() const { return error; }
    // Frames 0 .. framesWritten() - 1 are in the file; later ones are still gathered.
    qint64 framesWritten() const { return writtenFrames; }

private:
    struct CueEntry
    {
        uint64_t timestamp;
        uint64_t clusterPosition;
    };

    bool writeHead();
    bool writeCluster();
    bool writeFirstBoardTime();
    bool writeTail();
    void setSegmentSize(uint64_t size);
    bool fail(const QString &what);
    bool failWrite();
    bool stop(const QString &reason); // no more writes
    void dropCluster();
    void reset();

    MatroskaFileIO io;
    QString path;
    QString error;
    bool opened = false;
    bool failed = false;
    qint32 format = 0;
    int width = 0;
    int height = 0;

    std::unique_ptr<libmatroska::KaxSegment> segment;
    std::unique_ptr<libmatroska::KaxSeekHead> seekHead;
    std::unique_ptr<libebml::EbmlVoid> seekHeadSpace;
    libmatroska::KaxInfo *info = nullptr;
    libmatroska::KaxTrackEntry *track = nullptr;
    std::unique_ptr<libmatroska::KaxCues> noCues;
    uint64_t segmentDataStart = 0;
    uint64_t infoPosition = 0;
    uint64_t infoSpaceEnd = 0;

    std::unique_ptr<libmatroska::KaxCluster> cluster;
    std::vector<QByteArray> clusterPayloads; // kept until their cluster is written
    qint64 clusterBytes = 0;
    uint64_t clusterStart = 0;
    uint64_t previousClusterStart = 0;
    std::vector<CueEntry> cues;

    uint64_t firstBoardTimeUs = 0;
    uint64_t lastTimestamp = 0;
    uint64_t lastInterval = 0;
    qint64 takenFrames = 0;
    qint64 writtenFrames = 0;
};
