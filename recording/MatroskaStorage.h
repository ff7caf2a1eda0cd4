#pragma once

#include "FrameStorage.h"
#include "MatroskaWriter.h"
#include "RecordingNames.h"

#include <deque>

// Every payload as received into one Matroska file while format and size stay the same and the
// board's clock runs on, then into the next. A frame is safe only once the writer has handed its
// cluster to the kernel, so that nothing is indexed that a crash loses; a frame whose cluster
// never reached the file is given back as failed.
class MatroskaStorage : public FrameStorage
{
public:
    explicit MatroskaStorage(const RecordingNames &names);

    FrameDecoder::Outcome store(const FrameSlot &frame, std::optional<FrameDecoder::Outcome> judged) override;
    bool giveBack(Stored &stored) override;
    void flush() override;
    void close() override;
    QString errorString() const override { return failure; }
    bool numbersFramesInFiles() const override { return true; }

private:
    struct Recorded
    {
        Stored stored;
        bool settled = false; // false: in a cluster still gathered
    };
    Stored record(const FrameSlot &frame, FrameDecoder::Outcome outcome);
    void closeFile();
    void settle(Recorded &frame);

    const RecordingNames names;
    FrameDecoder decoder;
    MatroskaWriter writer;
    struct
    {
        qint32 format = -1;
        int width = 0;
        int height = 0;
    } fileFormat; // of the open file
    QString fileName; // its name in the folder, shared by the entries of its frames
    quint64 lastBoardTimeUs = 0; // of the frame last recorded
    int files = 0;
    QString failure;
    std::deque<Recorded> recorded; // in order, until their clusters are written
};
