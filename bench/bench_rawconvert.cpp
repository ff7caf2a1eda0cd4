// Raw colour conversion to 32-bit pictures per frame: ours (the default path and every
// instruction-set path this processor has) next to libyuv, memcpy of the picture size and a plain
// per-pixel loop, all in one run. Ends with a table of CPU time per frame and each path's ratio
// to libyuv, from the medians (or the single runs) of this run.

#include "BoardProtocol.h"
#include "RatioReporter.h"
#include "RawConvert.h"

#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace BoardProtocol;

namespace {

struct Layout
{
    int format;
    const char *name;
};

constexpr Layout layouts[] = {{FormatUyvy, "uyvy"}, {FormatYuv420, "yuv420"}, {FormatNv12, "nv12"}};
constexpr int sizes[][2] = {{640, 480}, {1920, 1080}};
// Every path the enum may name; those this build or processor lacks are skipped.
constexpr int PathCount = 4;

struct Frame
{
    int format, width, height;
    std::vector<uint8_t> payload;
    std::vector<uint32_t> picture;
};

Frame makeFrame(int format, int width, int height)
{
    Frame frame{format, width, height, {}, {}};
    frame.payload.resize(size_t(rawPayloadSize(format, width, height)));
    frame.picture.resize(size_t(width) * size_t(height));
    std::mt19937 random(uint32_t(format * 1000003 + width));
    for (uint8_t &byte : frame.payload)
        byte = uint8_t(random());
    return frame;
}

uint32_t clampByte(int value)
{
    return uint32_t(value < 0 ? 0 : value > 255 ? 255 : value);
}

// The straightforward loop: each pixel's samples found by its index, then the formula.
void referenceConvert(const uint8_t *src, int format, int w, int h, uint32_t *dst)
{
    for (int n = 0; n < w * h; ++n) {
        const int r = n / w, c = n % w;
        int Y, U, V;
        if (format == FormatUyvy) {
            Y = src[2 * n + 1];
            U = src[4 * (n / 2)];
            V = src[4 * (n / 2) + 2];
        } else if (format == FormatYuv420) {
            Y = src[n];
            U = src[w * h + (r / 2) * (w / 2) + c / 2];
            V = src[(5 * w * h) / 4 + (r / 2) * (w / 2) + c / 2];
        } else {
            Y = src[n];
            U = src[w * h + (r / 2) * w + 2 * (c / 2)];
            V = src[w * h + (r / 2) * w + 2 * (c / 2) + 1];
        }
        const int y = Y - 16, u = U - 128, v = V - 128;
        dst[n] = 0xff000000u | clampByte((298 * y + 409 * v + 128) >> 8) << 16
            | clampByte((298 * y - 100 * u - 208 * v + 128) >> 8) << 8
            | clampByte((298 * y + 516 * u + 128) >> 8);
    }
}

// libyuv's ARGB is the same native-endian 0xAARRGGBB word.
void libyuvConvert(const uint8_t *src, int format, int w, int h, uint32_t *dst)
{
    auto *out = reinterpret_cast<uint8_t *>(dst);
    if (format == FormatUyvy) {
        libyuv::UYVYToARGB(src, 2 * w, out, 4 * w, w, h);
    } else if (format == FormatYuv420) {
        const uint8_t *u = src + w * h, *v = u + w * h / 4;
        libyuv::I420ToARGB(src, w, u, w / 2, v, w / 2, out, 4 * w, w, h);
    } else {
        libyuv::NV12ToARGB(src, w, src + w * h, w, out, 4 * w, w, h);
    }
}

template <typename Convert>
void benchConvert(benchmark::State &state, int format, int w, int h, Convert convert)
{
    Frame frame = makeFrame(format, w, h);
    for (auto _ : state) {
        convert(frame);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(4 * frame.picture.size()));
}

int convertWith(int path, Frame &frame)
{
    return path < 0 ? convertRawToXrgb32(frame.payload.data(), frame.payload.size(), frame.format,
                                         frame.width, frame.height, frame.picture.data(),
                                         4 * frame.picture.size())
                    : convertRawToXrgb32Using(RawConvertPath(path), frame.payload.data(),
                                              frame.payload.size(), frame.format, frame.width,
                                              frame.height, frame.picture.data(),
                                              4 * frame.picture.size());
}

std::string key(const Layout &layout, const int size[2], const std::string &what)
{
    return std::string(layout.name) + "/" + std::to_string(size[0]) + "x"
        + std::to_string(size[1]) + (what.empty() ? "" : "/" + what);
}

// The comparison is only fair if every path computes what the plain loop computes.
bool pathsMatchReference()
{
    for (const Layout &layout : layouts)
        for (const auto &size : sizes) {
            Frame frame = makeFrame(layout.format, size[0], size[1]);
            std::vector<uint32_t> expected(frame.picture.size());
            referenceConvert(frame.payload.data(), frame.format, frame.width, frame.height,
                             expected.data());
            for (int path = -1; path < PathCount; ++path) {
                if (path >= 0 && !rawConvertPathAvailable(RawConvertPath(path)))
                    continue;
                std::fill(frame.picture.begin(), frame.picture.end(), 0u);
                if (convertWith(path, frame) != 0 || frame.picture != expected) {
                    std::fprintf(stderr, "%s path %d differs from the reference\n",
                                 key(layout, size, "").c_str(), path);
                    return false;
                }
            }
        }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (!pathsMatchReference())
        return 1;
    std::vector<int> paths;
    for (int path = 0; path < PathCount; ++path)
        if (rawConvertPathAvailable(RawConvertPath(path)))
            paths.push_back(path);

    for (const Layout &layout : layouts)
        for (const auto &size : sizes) {
            const int f = layout.format, w = size[0], h = size[1];
            auto add = [&](const std::string &what, auto convert) {
                benchmark::RegisterBenchmark(key(layout, size, what).c_str(),
                                             [=](benchmark::State &s) {
                                                 benchConvert(s, f, w, h, convert);
                                             })
                    ->Unit(benchmark::kMillisecond);
            };
            add("ours", [](Frame &frame) { benchmark::DoNotOptimize(convertWith(-1, frame)); });
            for (int path : paths)
                add(rawConvertPathName(RawConvertPath(path)), [path](Frame &frame) {
                    benchmark::DoNotOptimize(convertWith(path, frame));
                });
            add("libyuv", [](Frame &frame) {
                libyuvConvert(frame.payload.data(), frame.format, frame.width, frame.height,
                              frame.picture.data());
            });
            add("memcpy", [](Frame &frame) {
                std::memcpy(frame.picture.data(), frame.payload.data(),
                            std::min(frame.payload.size(), 4 * frame.picture.size()));
            });
            add("reference", [](Frame &frame) {
                referenceConvert(frame.payload.data(), frame.format, frame.width, frame.height,
                                 frame.picture.data());
            });
        }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nDefault path: %s. CPU time per frame in ms; x libyuv is that time divided by "
                "libyuv's.\n%-16s %8s %8s %8s",
                rawConvertPathName(rawConvertDefaultPath()), "layout", "libyuv", "memcpy",
                "ref");
    for (int path : paths)
        std::printf(" %8s %9s", rawConvertPathName(RawConvertPath(path)), "x libyuv");
    std::printf("\n");
    for (const Layout &layout : layouts)
        for (const auto &size : sizes) {
            const double yuv = reporter.timeOf(key(layout, size, "libyuv"));
            std::printf("%-16s %8.4f %8.4f %8.3f", key(layout, size, "").c_str(), yuv,
                        reporter.timeOf(key(layout, size, "memcpy")),
                        reporter.timeOf(key(layout, size, "reference")));
            for (int path : paths) {
                const double ms =
                    reporter.timeOf(key(layout, size, rawConvertPathName(RawConvertPath(path))));
                std::printf(" %8.4f %9.2f", ms, yuv > 0 ? ms / yuv : 0.0);
            }
            std::printf("\n");
        }
    benchmark::Shutdown();
    return 0;
}
