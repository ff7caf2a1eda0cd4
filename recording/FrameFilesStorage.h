#pragma once

#include "CaptureWriter.h"
#include "FrameStorage.h"
#include "RecordingNames.h"

#include <QImage>

#include <deque>

// One file per frame, as the window's capture writes them, one running number across all:
// JPEG as received (.jpg), the other formats as received (.bvt) with payloads chosen, or as BMP
// pictures. A frame is safe once its file is written.
class FrameFilesStorage : public FrameStorage
{
public:
    enum class Form { Payloads, Pictures };

    FrameFilesStorage(const RecordingNames &names, Form form);

    FrameDecoder::Outcome store(const FrameSlot &frame, std::optional<FrameDecoder::Outcome> judged) override;
    bool giveBack(Stored &stored) override;
    void flush() override {}
    void close() override {}
    QString errorString() const override { return QString(); }
    bool numbersFramesInFiles() const override { return false; }

private:
    const Form form;
    FrameDecoder decoder;
    QImage picture; // reused from frame to frame while nothing else holds it
    CaptureWriter capture;
    std::deque<Stored> written;
};
