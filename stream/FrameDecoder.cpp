#include "FrameDecoder.h"

#include "BoardProtocol.h"
#include "JpegDecoder.h"
#include "RawConvert.h"
#include "XrgbRows.h"

using namespace BoardProtocol;

FrameDecoder::FrameDecoder()
    : jpegDecoder(std::make_unique<JpegDecoder>())
{
    jpegDecoder->init();
}

FrameDecoder::~FrameDecoder() = default;

FrameDecoder::Outcome FrameDecoder::judge(const FrameSlot &frame)
{
    return run(frame, nullptr);
}

FrameDecoder::Outcome FrameDecoder::decode(const FrameSlot &frame, QImage &picture)
{
    const Outcome outcome = run(frame, &picture);
    if (outcome != Outcome::Shown)
        picture = QImage();
    return outcome;
}

// The caller's picture is written again when nothing else shares it and it has the frame's size.
void FrameDecoder::preparePicture(const FrameSlot &frame, QImage &picture)
{
    if (pictureSource)
        picture = pictureSource(frame.format, frame.width, frame.height);
    else if (picture.width() != frame.width || picture.height() != frame.height || !picture.isDetached()
             || picture.format() != QImage::Format_RGB32)
        picture = QImage(frame.width, frame.height, QImage::Format_RGB32);
}

QString FrameDecoder::reason(Outcome outcome, const FrameSlot &frame)
{
    switch (outcome) {
    case Outcome::BadSize:
        return QStringLiteral("size %1x%2 is no picture's").arg(frame.width).arg(frame.height);
    case Outcome::PayloadTooShort:
        return QStringLiteral("payload too short for %1x%2").arg(frame.width).arg(frame.height);
    case Outcome::JpegHeaderRefused:
        return QStringLiteral("no JPEG header of the announced size");
    case Outcome::JpegUndecodable:
        return QStringLiteral("JPEG data damaged or cut off");
    case Outcome::OutOfMemory:
        return QStringLiteral("no memory for the picture");
    case Outcome::HiddenCode:
        return QStringLiteral("code %1 carries no picture").arg(frame.format);
    case Outcome::Shown:
        break;
    }
    return QString();
}

void FrameDecoder::note(const QString &text, Note::Channel channel)
{
    frameNotes.append({channel, text});
}

// libjpeg's first warning of the frame, once, and the line that refused it.
void FrameDecoder::noteJpegFindings()
{
    if (!jpegWarningNoted && !jpegDecoder->warnings().isEmpty()) {
        note(QStringLiteral("JPEG warning: ") + jpegDecoder->warnings().first());
        jpegWarningNoted = true;
    }
    if (!jpegDecoder->failure().isEmpty())
        note(jpegDecoder->failure());
}

FrameDecoder::Outcome FrameDecoder::run(const FrameSlot &frame, QImage *picture)
{
    frameNotes.clear();
    switch (frame.format) {
    case FormatJpg: {
        const Outcome outcome = decodeJpegFrame(frame, picture);
        if (outcome != Outcome::Shown)
            note(QStringLiteral("Error in decoding jpeg"));
        return outcome;
    }
    case FormatGray:
        return makeGrayImage(frame, picture);
    case FormatUyvy:
    case FormatYuv420:
    case FormatNv12:
        return makeColorImage(frame, picture);
    default:
        return Outcome::HiddenCode;
    }
}

// Widened to 32-bit words straight from the payload.
FrameDecoder::Outcome FrameDecoder::makeGrayImage(const FrameSlot &frame, QImage *picture)
{
    const qint64 pixels = qint64(frame.width) * frame.height;
    if (frame.width <= 0 || frame.height <= 0 || pixels > frame.payload.size()) {
        note(QStringLiteral("Gray frame %1x%2 does not fit its %3 payload bytes, not shown")
                 .arg(frame.width)
                 .arg(frame.height)
                 .arg(frame.payload.size()));
        return frame.width <= 0 || frame.height <= 0 ? Outcome::BadSize : Outcome::PayloadTooShort;
    }
    if (!picture)
        return Outcome::Shown;
    preparePicture(frame, *picture);
    if (picture->isNull())
        return Outcome::OutOfMemory;
    const auto *gray = reinterpret_cast<const uint8_t *>(frame.payload.constData());
    for (int y = 0; y < frame.height; ++y)
        grayRowToXrgb32(gray + qsizetype(y) * frame.width,
                        reinterpret_cast<uint32_t *>(picture->scanLine(y)), frame.width);
    return Outcome::Shown;
}

// All calls of the JPEG decoder are here.
FrameDecoder::Outcome FrameDecoder::decodeJpegFrame(const FrameSlot &frame, QImage *picture)
{
    jpegWarningNoted = false;
    jpegDecoder->setSource(reinterpret_cast<const unsigned char *>(frame.payload.constData()),
                           int(frame.payload.size()));
    const int header = jpegDecoder->jpeg_check_header(frame.width, frame.height);
    noteJpegFindings();
    if (header < 0) {
        note(QStringLiteral("Error in jpeg_check_header"));
        return Outcome::JpegHeaderRefused;
    }
    if (!picture) {
        const int verified = jpegDecoder->verifyData();
        noteJpegFindings();
        return verified < 0 ? Outcome::JpegUndecodable : Outcome::Shown;
    }
    preparePicture(frame, *picture);
    if (picture->isNull())
        return Outcome::OutOfMemory;
    const int decoded = jpegDecoder->decodeInto(picture->bits(), size_t(picture->sizeInBytes()),
                                                size_t(picture->bytesPerLine()));
    noteJpegFindings();
    return decoded < 0 ? Outcome::JpegUndecodable : Outcome::Shown;
}

// Refused before a picture is asked for, so a bad frame of another size costs no buffer.
FrameDecoder::Outcome FrameDecoder::makeColorImage(const FrameSlot &frame, QImage *picture)
{
    const long long needed = rawPayloadSize(frame.format, frame.width, frame.height);
    if (needed < 0 || needed > frame.payload.size()) {
        note(QStringLiteral("Raw frame %1x%2 refused: %3 payload bytes")
                 .arg(frame.width)
                 .arg(frame.height)
                 .arg(frame.payload.size()));
        note(QStringLiteral("Problem in image conversion"));
        return needed < 0 ? Outcome::BadSize : Outcome::PayloadTooShort;
    }
    if (!picture)
        return Outcome::Shown;
    preparePicture(frame, *picture);
    if (bvtCvtRawImage(frame, *picture) < 0) {
        note(QStringLiteral("Problem in image conversion"));
        return picture->isNull() ? Outcome::OutOfMemory : Outcome::BadSize;
    }
    return Outcome::Shown;
}

int FrameDecoder::bvtCvtRawImage(const FrameSlot &frame, QImage &picture)
{
    if (picture.isNull()) {
        note(QStringLiteral("Error: dest image not available\n"), Note::Channel::StandardOutput);
        return -1;
    }
    // The frame's size was checked against its payload; only an unknown layout is left to refuse.
    if (convertRawToXrgb32(reinterpret_cast<const uint8_t *>(frame.payload.constData()),
                           size_t(frame.payload.size()), frame.format, frame.width, frame.height,
                           reinterpret_cast<uint32_t *>(picture.bits()),
                           size_t(picture.sizeInBytes()))
        < 0) {
        note(QStringLiteral("Pixel format not supported: %1\n").arg(frame.format),
             Note::Channel::StandardOutput);
        return -1;
    }
    return 0;
}
