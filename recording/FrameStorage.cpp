#include "FrameStorage.h"

#include "FrameFilesStorage.h"
#include "MatroskaStorage.h"

#include <deque>

namespace {
// Judges each frame as the other storages would and writes nothing: every frame is safe at once.
class JudgingOnly : public FrameStorage
{
public:
    FrameDecoder::Outcome store(const FrameSlot &frame, std::optional<FrameDecoder::Outcome> judged) override
    {
        Stored stored;
        stored.outcome = judged ? *judged : decoder.judge(frame);
        kept.push_back(stored);
        return stored.outcome;
    }
    bool giveBack(Stored &stored) override
    {
        if (kept.empty())
            return false;
        stored = kept.front();
        kept.pop_front();
        return true;
    }
    void flush() override {}
    void close() override {}
    QString errorString() const override { return QString(); }
    bool numbersFramesInFiles() const override { return false; }

private:
    FrameDecoder decoder;
    std::deque<Stored> kept;
};
} // namespace

std::unique_ptr<FrameStorage> FrameStorage::make(Kind kind, const RecordingNames &names)
{
    switch (kind) {
    case Kind::Matroska:
        return std::make_unique<MatroskaStorage>(names);
    case Kind::Payloads:
        return std::make_unique<FrameFilesStorage>(names, FrameFilesStorage::Form::Payloads);
    case Kind::Nothing:
        return std::make_unique<JudgingOnly>();
    case Kind::Pictures:
        break;
    }
    return std::make_unique<FrameFilesStorage>(names, FrameFilesStorage::Form::Pictures);
}
