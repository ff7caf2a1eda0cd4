// JPEG decode of one frame to 32-bit pixels: JpegDecoder against TurboJPEG's tjDecompress2 on the
// same bytes.
#include "JpegDecoder.h"
#include "JpegEncoder.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <QByteArray>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace {

constexpr int Quality = 85;

// Smooth shading with texture and sensor-like noise, so it compresses like a photo.
std::vector<uint8_t> photoLikePicture(int width, int height)
{
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const double u = double(x) / width;
            const double v = double(y) / height;
            const double base[3] = {
                120 + 80 * std::sin(3.1 * u + 1.3 * v),
                110 + 70 * std::cos(2.3 * v - 1.7 * u),
                100 + 60 * std::sin(4.0 * u * v + 0.5),
            };
            const double texture = 18 * std::sin(x * 0.35 + 5 * std::sin(y * 0.07)) * std::cos(y * 0.21)
                                   + 10 * std::sin(x * 1.3 + y * 0.9) * std::sin(y * 0.031 * x / width);
            for (int c = 0; c < 3; ++c) {
                noise = noise * 1664525u + 1013904223u;
                const double value = base[c] + texture + int(noise >> 27) - 16;
                rgb[(static_cast<size_t>(y) * width + x) * 3 + c] =
                    uint8_t(value < 0 ? 0 : (value > 255 ? 255 : value));
            }
        }
    }
    return rgb;
}

const QByteArray &testJpeg(int width, int height)
{
    static std::map<std::pair<int, int>, QByteArray> cache;
    QByteArray &jpeg = cache[{width, height}];
    if (jpeg.isEmpty())
        jpeg = encodeJpeg(photoLikePicture(width, height).data(), width, height, 3, Quality);
    return jpeg;
}

std::vector<unsigned char> turboDecode(const QByteArray &jpeg, int width, int height)
{
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 4);
    tjhandle handle = tjInitDecompress();
    tjDecompress2(handle, reinterpret_cast<const unsigned char *>(jpeg.constData()),
                  static_cast<unsigned long>(jpeg.size()), rgb.data(), width, 0, height, TJPF_BGRX, 0);
    tjDestroy(handle);
    return rgb;
}

void BM_JpegDecoder(benchmark::State &state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    const QByteArray &jpeg = testJpeg(width, height);
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    std::vector<unsigned char> picture(static_cast<size_t>(width) * height * 4);
    JpegDecoder decoder;
    decoder.init();
    for (auto _ : state) {
        decoder.setSource(bytes, int(jpeg.size()));
        if (decoder.jpeg_check_header(width, height) < 0
            || decoder.decodeInto(picture.data(), picture.size(), 4 * size_t(width)) < 0) {
            state.SkipWithError("decode failed");
            return;
        }
        benchmark::DoNotOptimize(picture.data());
        benchmark::ClobberMemory();
    }
    // Native-endian 0xffRRGGBB words are B,G,R,X bytes on the little-endian machines this runs on.
    const std::vector<unsigned char> reference = turboDecode(jpeg, width, height);
    for (size_t i = 0; i < picture.size(); ++i)
        if (i % 4 != 3 && picture[i] != reference[i]) {
            state.SkipWithError("picture differs from tjDecompress2");
            break;
        }
    state.SetBytesProcessed(int64_t(state.iterations()) * width * height * 4);
    state.counters["jpeg_bytes"] = double(jpeg.size());
}

// What a recorder that stores the data as received pays to tell a damaged frame.
void BM_JpegVerify(benchmark::State &state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    const QByteArray &jpeg = testJpeg(width, height);
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    JpegDecoder decoder;
    decoder.init();
    for (auto _ : state) {
        decoder.setSource(bytes, int(jpeg.size()));
        if (decoder.jpeg_check_header(width, height) < 0 || decoder.verifyData() < 0) {
            state.SkipWithError("verify failed");
            return;
        }
    }
    state.counters["jpeg_bytes"] = double(jpeg.size());
}

void BM_TurboJpeg(benchmark::State &state)
{
    const int width = int(state.range(0));
    const int height = int(state.range(1));
    const QByteArray &jpeg = testJpeg(width, height);
    const auto *bytes = reinterpret_cast<const unsigned char *>(jpeg.constData());
    std::vector<unsigned char> rgb(static_cast<size_t>(width) * height * 4);
    tjhandle handle = tjInitDecompress();
    for (auto _ : state) {
        if (tjDecompress2(handle, bytes, static_cast<unsigned long>(jpeg.size()), rgb.data(), width, 0,
                          height, TJPF_BGRX, 0) != 0) {
            state.SkipWithError(tjGetErrorStr2(handle));
            break;
        }
        benchmark::DoNotOptimize(rgb.data());
        benchmark::ClobberMemory();
    }
    tjDestroy(handle);
    state.SetBytesProcessed(int64_t(state.iterations()) * width * height * 4);
    state.counters["jpeg_bytes"] = double(jpeg.size());
}

} // namespace

BENCHMARK(BM_JpegDecoder)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_JpegVerify)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TurboJpeg)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
