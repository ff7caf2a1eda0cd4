// Writing one 640 x 480 frame's capture file, for each kind of file, against a bare
// open/write/close of the same number of bytes. Every iteration writes a new file, as a capture
// does; the previous one is removed outside the timed part.
#include "CaptureWriter.h"
#include "JpegEncoder.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int Width = 640;
constexpr int Height = 480;

QTemporaryDir &folder()
{
    static QTemporaryDir dir;
    return dir;
}

// Shading with texture and noise, so the JPEG has a camera-like size.
std::vector<uint8_t> rgbPicture()
{
    std::vector<uint8_t> rgb(size_t(Width) * Height * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < Height; ++y)
        for (int x = 0; x < Width; ++x)
            for (int c = 0; c < 3; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const double v = 120 + 70 * std::sin(0.011 * x * (c + 1) + 0.017 * y)
                                 + 15 * std::sin(x * 0.35 + y * 0.21) + int(noise >> 28) - 8;
                rgb[(size_t(y) * Width + x) * 3 + c] = uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
            }
    return rgb;
}

QByteArray payloadOf(int bytes)
{
    QByteArray payload(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        payload[i] = char(i * 7 + (i >> 9));
    return payload;
}

const QByteArray &jpegPayload()
{
    static const QByteArray jpeg = [] {
        const std::vector<uint8_t> rgb = rgbPicture();
        return encodeJpeg(rgb.data(), Width, Height, 3, 85);
    }();
    return jpeg;
}

// Pictures made as the stream client makes them, from a wrapped frame.
QPixmap colourPicture()
{
    static std::vector<uint8_t> rgb = rgbPicture();
    QPixmap picture;
    picture.convertFromImage(QImage(rgb.data(), Width, Height, 3 * Width, QImage::Format_RGB888));
    return picture;
}

QPixmap grayPicture()
{
    static const QByteArray gray = payloadOf(Width * Height);
    QPixmap picture;
    picture.convertFromImage(QImage(reinterpret_cast<const uchar *>(gray.constData()), Width,
                                    Height, Width, QImage::Format_Grayscale8));
    return picture;
}

void captureFile(benchmark::State &state, const QString &extension, bool raw,
                 const QByteArray &payload, const QPixmap &picture)
{
    CaptureWriter writer;
    qint64 bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        writer.start(folder().path(), QStringLiteral("bench_"), extension, raw);
        QFile::remove(writer.fileName(0));
        state.ResumeTiming();
        if ((picture.isNull() ? writer.save_image_jpg(payload) : writer.save_image(picture, payload)) != 0) {
            state.SkipWithError("capture file not written");
            break;
        }
    }
    bytes = QFile(writer.fileName(0)).size();
    state.counters["file_bytes"] = double(bytes);
    state.SetBytesProcessed(state.iterations() * bytes);
}

// The floor: a new file of the same size, one write() call.
void plainWrite(benchmark::State &state, qint64 bytes)
{
    const QByteArray data = payloadOf(int(bytes));
    const QByteArray name = QFile::encodeName(folder().filePath(QStringLiteral("plain.bin")));
    for (auto _ : state) {
        state.PauseTiming();
        ::unlink(name.constData());
        state.ResumeTiming();
        const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || ::write(fd, data.constData(), size_t(data.size())) != data.size()) {
            state.SkipWithError("plain write failed");
            break;
        }
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

struct FileKind
{
    const char *name;
    QString extension;
    bool raw;
    QByteArray payload;
    QPixmap picture; // null: a payload file
};

// Size of the file this kind gives, from one trial capture.
qint64 fileSize(const FileKind &kind)
{
    CaptureWriter writer;
    writer.start(folder().path(), QStringLiteral("size_"), kind.extension, kind.raw);
    const int written = kind.picture.isNull() ? writer.save_image_jpg(kind.payload)
                                              : writer.save_image(kind.picture, kind.payload);
    return written == 0 ? QFile(writer.fileName(0)).size() : -1;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (!folder().isValid())
        return 1;
    benchmark::Initialize(&argc, argv);
    const std::vector<FileKind> kinds = {
        { "jpeg_payload", QStringLiteral("jpg"), false, jpegPayload(), QPixmap() },
        { "gray_raw", QStringLiteral("bvt"), true, payloadOf(Width * Height), QPixmap() },
        { "uyvy_raw", QStringLiteral("bvt"), true, payloadOf(2 * Width * Height), QPixmap() },
        { "colour_bmp", QStringLiteral("bmp"), false, QByteArray(), colourPicture() },
        { "gray_bmp", QStringLiteral("bmp"), false, QByteArray(), grayPicture() },
    };
    for (const FileKind &kind : kinds) {
        const qint64 bytes = fileSize(kind);
        if (bytes < 0)
            return 1;
        benchmark::RegisterBenchmark((std::string("capture/") + kind.name).c_str(),
                                     [kind](benchmark::State &state) {
                                         captureFile(state, kind.extension, kind.raw, kind.payload,
                                                     kind.picture);
                                     })
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark((std::string("plain_write/") + kind.name).c_str(),
                                     [bytes](benchmark::State &state) { plainWrite(state, bytes); })
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
