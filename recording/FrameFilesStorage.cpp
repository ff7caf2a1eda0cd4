#include "FrameFilesStorage.h"

#include "BoardProtocol.h"

#include <QFileInfo>

using Outcome = FrameDecoder::Outcome;

namespace {
// The resolution a BMP file records: a display's 96 dots per inch, as pictures made through a
// pixmap carry it, not an image's own default of 100.
constexpr int PictureDotsPerMeter = 3780;
} // namespace

FrameFilesStorage::FrameFilesStorage(const RecordingNames &names, Form form)
    : form(form)
{
    capture.start(names.folder(), names.framePrefix(), QStringLiteral("jpg"), form == Form::Payloads);
}

// A JPEG comes judged; any other frame is judged here, and made a picture only when one is
// stored. Payloads as received are stored whatever their judgement, pictures only when made.
Outcome FrameFilesStorage::store(const FrameSlot &frame, std::optional<Outcome> judged)
{
    constexpr int NothingToWrite = -2;
    int number = NothingToWrite; // or the file's number, or -1 when its writing failed
    Outcome outcome = judged.value_or(Outcome::Shown);
    if (frame.format == BoardProtocol::FormatJpg) {
        capture.setExtension(QStringLiteral("jpg"));
        number = capture.save_image_jpg(frame.payload);
    } else if (form == Form::Payloads) {
        outcome = decoder.judge(frame);
        capture.setExtension(QStringLiteral("bvt"));
        if (outcome != Outcome::HiddenCode)
            number = capture.save_image_jpg(frame.payload);
    } else {
        outcome = decoder.decode(frame, picture);
        capture.setExtension(QStringLiteral("bmp"));
        if (outcome == Outcome::Shown) {
            picture.setDotsPerMeterX(PictureDotsPerMeter);
            picture.setDotsPerMeterY(PictureDotsPerMeter);
            number = capture.save_image(picture, frame.payload);
        }
    }
    Stored stored;
    stored.outcome = outcome;
    stored.failed = number == -1;
    if (number >= 0)
        stored.file = QFileInfo(capture.fileName(number)).fileName();
    written.push_back(stored);
    return outcome;
}

bool FrameFilesStorage::giveBack(Stored &stored)
{
    if (written.empty())
        return false;
    stored = std::move(written.front());
    written.pop_front();
    return true;
}
