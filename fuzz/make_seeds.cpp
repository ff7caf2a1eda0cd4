// Writes the seed corpora of the fuzz targets: small real frame records, JPEG images, raw
// payloads and command replies. Usage: make_seeds <corpus folder>
// The output is the same on every run, so the committed corpus can be checked against it.

#include "FrameRecord.h"
#include "JpegEncoder.h"
#include "TestPattern.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QtEndian>

#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace {

QByteArray bigEndian(qint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    return QByteArray(bytes, 4);
}

QByteArray payload(int format, int width, int height, quint32 frameNumber = 1)
{
    TestPattern pattern;
    pattern.setJpegEncoder(encodeJpeg);
    return pattern.payload(format, width, height, frameNumber);
}

QByteArray grayJpeg(int width, int height)
{
    QByteArray pixels(qsizetype(width) * height, Qt::Uninitialized);
    TestPattern::renderGray(reinterpret_cast<uchar *>(pixels.data()), width, height, 1);
    return encodeJpeg(reinterpret_cast<const uint8_t *>(pixels.constData()), width, height, 1, 75);
}

// Layouts the board's encoder does not make but a decoder meets: other chroma sampling,
// progressive scans, restart markers, CMYK.
struct JpegVariant
{
    int hSampling = 2;
    int vSampling = 2;
    bool progressive = false;
    int restartRows = 0;
    bool cmyk = false;
};

QByteArray jpegVariant(int width, int height, const JpegVariant &variant)
{
    const int components = variant.cmyk ? 4 : 3;
    QByteArray pixels(qsizetype(width) * height * components, Qt::Uninitialized);
    for (qsizetype i = 0; i < pixels.size(); ++i)
        pixels[i] = char((i * 37 + i / (width * components) * 11) & 0xFF);

    jpeg_compress_struct cinfo;
    jpeg_error_mgr jerr;
    cinfo.err = jpeg_std_error(&jerr); // valid input only: a failure ends the tool
    jpeg_create_compress(&cinfo);
    unsigned char *buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = components;
    cinfo.in_color_space = variant.cmyk ? JCS_CMYK : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, 70, TRUE);
    if (!variant.cmyk) {
        cinfo.comp_info[0].h_samp_factor = variant.hSampling;
        cinfo.comp_info[0].v_samp_factor = variant.vSampling;
    }
    if (variant.progressive)
        jpeg_simple_progression(&cinfo);
    cinfo.restart_in_rows = variant.restartRows;
    jpeg_start_compress(&cinfo, TRUE);
    const int stride = width * components;
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = reinterpret_cast<JSAMPROW>(pixels.data()) + cinfo.next_scanline * stride;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    const QByteArray jpeg(reinterpret_cast<const char *>(buffer), qsizetype(size));
    std::free(buffer);
    return jpeg;
}

FrameRecord frame(int format, int width, int height, const QByteArray &bytes, qint32 seconds = 1)
{
    FrameRecord r;
    r.format = format;
    r.width = width;
    r.height = height;
    r.timestamp_s = seconds;
    r.timestamp_us = 250000;
    r.CLum = FrameRecord::sensorBlock(1, 2, 3, 4);
    r.CPos = FrameRecord::sensorBlock(-1, 0, 1, 2);
    r.payload = bytes;
    return r;
}

QByteArray record(int format, int width, int height, quint32 frameNumber = 1)
{
    return frame(format, width, height, payload(format, width, height, frameNumber)).toBytes();
}

// Capture settings of a frame-parser input.
enum Capture : char { NoCapture = 0, CaptureJpg = 4, CaptureJpgRaw = 5, CaptureBvt = 6, CaptureBmp = 7 };

// A frame-parser input: the stream, its piece lengths, the capture settings, the table's length.
QByteArray streamInput(const QByteArray &stream, const QByteArray &pieces = QByteArray(),
                       Capture capture = NoCapture)
{
    return stream + pieces + char(capture) + char(pieces.size());
}

class SeedWriter
{
public:
    explicit SeedWriter(const QString &root) : root(root) {}

    void write(const QString &target, const QString &name, const QByteArray &bytes)
    {
        const QString folder = root + QLatin1Char('/') + target;
        QFile file(folder + QLatin1Char('/') + name);
        if (!QDir().mkpath(folder) || !file.open(QIODevice::WriteOnly)
            || file.write(bytes) != bytes.size()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file.fileName()));
            failed = true;
        }
    }

    bool failed = false;

private:
    QString root;
};

void frameParserSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_frameparser");
    const QByteArray gray = record(TestPattern::Gray, 16, 8);
    const QByteArray jpeg = record(TestPattern::Jpeg, 16, 16);
    const QByteArray uyvy = record(TestPattern::Uyvy, 8, 4);
    const QByteArray yuv420 = record(TestPattern::Yuv420, 8, 4);
    const QByteArray nv12 = record(TestPattern::Nv12, 8, 4);

    out.write(target, QStringLiteral("gray_16x8"), streamInput(gray, QByteArray(), CaptureBmp));
    out.write(target, QStringLiteral("gray_16x8_bytewise"), streamInput(gray, QByteArray(1, 1)));
    out.write(target, QStringLiteral("jpeg_16x16"), streamInput(jpeg, QByteArray(), CaptureJpg));
    out.write(target, QStringLiteral("jpeg_gray_8x8"),
              streamInput(frame(TestPattern::Jpeg, 8, 8, grayJpeg(8, 8)).toBytes()));
    out.write(target, QStringLiteral("uyvy_8x4"), streamInput(uyvy, QByteArray(), CaptureBvt));
    out.write(target, QStringLiteral("yuv420_8x4"), streamInput(yuv420, QByteArray(), CaptureJpgRaw));
    out.write(target, QStringLiteral("nv12_8x4"), streamInput(nv12, QByteArray(), CaptureJpg));

    FrameRecord headerOnly = frame(12, 16, 8, QByteArray());
    headerOnly.size = 1000;
    const QByteArray unshown = frame(7, 4, 4, QByteArray(10, 'x')).toBytes();
    FrameRecord oversized = frame(TestPattern::Gray, 4, 2, QByteArray());
    oversized.size = 0x7FFFFFFF;
    const QByteArray sizeChange = record(TestPattern::Uyvy, 4, 2, 2);
    out.write(target, QStringLiteral("mixed_stream"),
              streamInput(QByteArray(8, '\x55') + gray + headerOnly.toBytes() + unshown + uyvy
                              + jpeg + yuv420 + sizeChange + nv12 + record(TestPattern::Gray, 16, 8, 2),
                          QByteArray::fromHex("05 40 00"), CaptureBmp));
    JpegVariant progressive;
    progressive.progressive = true;
    out.write(target, QStringLiteral("jpeg_progressive_then_smaller_baseline"),
              streamInput(frame(TestPattern::Jpeg, 16, 16, jpegVariant(16, 16, progressive)).toBytes()
                              + record(TestPattern::Jpeg, 8, 8)));
    out.write(target, QStringLiteral("misaligned_garbage"),
              streamInput(QByteArray(6, '\x55') + gray + gray));
    out.write(target, QStringLiteral("oversized_then_gray"), streamInput(oversized.toBytes() + gray));
}

// Frames 100 ms apart by the board's clock, with one missing, one dropped for its size, garbage
// and a JPEG that does not decode; the settings byte as fuzz_troublecapture reads it.
void troubleCaptureSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_troublecapture");
    const auto at = [](int format, QByteArray bytes, int tenths) {
        FrameRecord r = frame(format, 8, 4, std::move(bytes), tenths / 10);
        r.timestamp_us = (tenths % 10) * 100000;
        return r;
    };
    QByteArray stream;
    for (int tenth = 0; tenth < 40; ++tenth) {
        if (tenth == 12) // lost at the board
            continue;
        FrameRecord r = at(TestPattern::Gray, payload(TestPattern::Gray, 8, 4), tenth);
        if (tenth == 20) { // dropped for its size
            r.payload.clear();
            r.size = -5;
        }
        if (tenth == 25)
            stream += QByteArray(8, '\x55');
        if (tenth == 30)
            r = at(TestPattern::Jpeg, QByteArray(20, '\x11'), tenth);
        stream += r.toBytes();
    }
    out.write(target, QStringLiteral("troubles_whole"), stream + char(0x01) + char(0));
    out.write(target, QStringLiteral("troubles_pieces_tight_memory"),
              stream + QByteArray::fromHex("07 30 00") + char(0x58) + char(3));
    out.write(target, QStringLiteral("troubles_reconnect_damaged"), stream + char(0xE3) + char(0));
}

void jpegDecoderSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_jpegdecoder");
    // Call patterns (see fuzz_jpegdecoder.cpp).
    enum : char { CheckTwice = 1, Again = 2, IntoBuffer = 4, Words = 8, Padding = 16, Short = 64 };
    auto input = [](int width, int height, int calls, const QByteArray &jpeg) {
        return bigEndian(width) + bigEndian(height) + char(calls) + jpeg;
    };
    out.write(target, QStringLiteral("colour_16x16"),
              input(16, 16, 0, payload(TestPattern::Jpeg, 16, 16)));
    out.write(target, QStringLiteral("colour_16x16_words"),
              input(16, 16, IntoBuffer | Words, payload(TestPattern::Jpeg, 16, 16)));
    out.write(target, QStringLiteral("colour_16x16_short_buffer"),
              input(16, 16, IntoBuffer | Words | Short, payload(TestPattern::Jpeg, 16, 16)));
    out.write(target, QStringLiteral("colour_24x10_twice"),
              input(24, 10, CheckTwice | Again, payload(TestPattern::Jpeg, 24, 10)));
    out.write(target, QStringLiteral("gray_8x8"), input(8, 8, 0, grayJpeg(8, 8)));
    out.write(target, QStringLiteral("gray_8x8_words"),
              input(8, 8, IntoBuffer | Words | Again, grayJpeg(8, 8)));
    out.write(target, QStringLiteral("announced_other_size"),
              input(8, 8, Again, payload(TestPattern::Jpeg, 16, 16)));
    JpegVariant sampling444;
    sampling444.hSampling = sampling444.vSampling = 1;
    out.write(target, QStringLiteral("colour_444_17x9"),
              input(17, 9, IntoBuffer | Padding, jpegVariant(17, 9, sampling444)));
    JpegVariant sampling422;
    sampling422.vSampling = 1;
    sampling422.restartRows = 1;
    out.write(target, QStringLiteral("colour_422_restarts_24x16"),
              input(24, 16, IntoBuffer | Words, jpegVariant(24, 16, sampling422)));
    JpegVariant progressive;
    progressive.progressive = true;
    out.write(target, QStringLiteral("progressive_16x16"),
              input(16, 16, CheckTwice | IntoBuffer | Words, jpegVariant(16, 16, progressive)));
    JpegVariant cmyk;
    cmyk.cmyk = true;
    out.write(target, QStringLiteral("cmyk_8x8"), input(8, 8, IntoBuffer, jpegVariant(8, 8, cmyk)));
}

void rawConvertSeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_rawconvert");
    auto input = [](int format, int width, int height, const QByteArray &bytes) {
        return bigEndian(format) + bigEndian(width) + bigEndian(height) + bytes;
    };
    out.write(target, QStringLiteral("uyvy_8x4"),
              input(TestPattern::Uyvy, 8, 4, payload(TestPattern::Uyvy, 8, 4)));
    out.write(target, QStringLiteral("yuv420_8x4"),
              input(TestPattern::Yuv420, 8, 4, payload(TestPattern::Yuv420, 8, 4)));
    out.write(target, QStringLiteral("nv12_8x4"),
              input(TestPattern::Nv12, 8, 4, payload(TestPattern::Nv12, 8, 4)));
    out.write(target, QStringLiteral("nv12_6x2_short"),
              input(TestPattern::Nv12, 6, 2, payload(TestPattern::Nv12, 6, 2).chopped(1)));
    // Odd sizes, which the board never sends.
    out.write(target, QStringLiteral("yuv420_5x3"),
              input(TestPattern::Yuv420, 5, 3, payload(TestPattern::Yuv420, 6, 4).left(30)));
}

void commandReplySeeds(SeedWriter &out)
{
    const QString target = QStringLiteral("fuzz_commandreply");
    auto input = [](int pieceLength, int sentBeforeClose, int code, int value, const char *hex) {
        return QByteArray(1, char(pieceLength - 1)) + char(sentBeforeClose) + char(code)
            + char(value >> 8) + char(value & 0xFF) + QByteArray::fromHex(hex);
    };
    out.write(target, QStringLiteral("frame_rate"), input(3, 255, 1, 30, "010000"));
    out.write(target, QStringLiteral("refused"), input(3, 255, 6, 1, "060004"));
    out.write(target, QStringLiteral("long"), input(4, 255, 3, 640, "030000EEEE"));
    out.write(target, QStringLiteral("pieces"), input(1, 255, 4, 480, "040000"));
    out.write(target, QStringLiteral("truncated"), input(2, 2, 0, 0, "000000"));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    SeedWriter out(QString::fromLocal8Bit(argv[1]));
    frameParserSeeds(out);
    troubleCaptureSeeds(out);
    jpegDecoderSeeds(out);
    rawConvertSeeds(out);
    commandReplySeeds(out);
    return out.failed ? 1 : 0;
}
