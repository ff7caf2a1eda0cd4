// Raw colour conversion per frame: ours (the default path and every path this processor has),
// next to memcpy of the RGB size, a plain per-pixel loop and libyuv, all in one run. Ends with a
// table of CPU time per frame and ratios, from the medians (or the single runs) of this run.

#include "RatioReporter.h"
#include "RawConvert.h"

#include <benchmark/benchmark.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from_argb.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct Layout
{
    int format;
    const char *name;
};

constexpr Layout layouts[] = {{RawUyvy, "uyvy"}, {RawYuv420, "yuv420"}, {RawNv12, "nv12"}};
constexpr int sizes[][2] = {{640, 480}, {1920, 1080}};

struct Frame
{
    int format, width, height;
    std::vector<uint8_t> payload, rgb;
};

Frame makeFrame(int format, int width, int height)
{
    Frame frame{format, width, height, {}, {}};
    frame.payload.resize(size_t(rawPayloadSize(format, width, height)));
    frame.rgb.resize(size_t(rgbPictureSize(width, height)));
    std::mt19937 random(uint32_t(format * 1000003 + width));
    for (uint8_t &byte : frame.payload)
        byte = uint8_t(random());
    return frame;
}

uint8_t clampByte(int value)
{
    return uint8_t(value < 0 ? 0 : value > 255 ? 255 : value);
}

// The straightforward loop: each pixel's samples found by its index, then the formula.
void referenceConvert(const uint8_t *src, int format, int w, int h, uint8_t *dst)
{
    for (int n = 0; n < w * h; ++n) {
        const int r = n / w, c = n % w;
        int Y, U, V;
        if (format == RawUyvy) {
            Y = src[2 * n + 1];
            U = src[4 * (n / 2)];
            V = src[4 * (n / 2) + 2];
        } else if (format == RawYuv420) {
            Y = src[n];
            U = src[w * h + (r / 2) * (w / 2) + c / 2];
            V = src[(5 * w * h) / 4 + (r / 2) * (w / 2) + c / 2];
        } else {
            Y = src[n];
            U = src[w * h + (r / 2) * w + 2 * (c / 2)];
            V = src[w * h + (r / 2) * w + 2 * (c / 2) + 1];
        }
        const int y = Y - 16, u = U - 128, v = V - 128;
        dst[3 * n] = clampByte((298 * y + 409 * v + 128) >> 8);
        dst[3 * n + 1] = clampByte((298 * y - 100 * u - 208 * v + 128) >> 8);
        dst[3 * n + 2] = clampByte((298 * y + 516 * u + 128) >> 8);
    }
}

void libyuvConvert(const uint8_t *src, int format, int w, int h, uint8_t *dst,
                   std::vector<uint8_t> &argbRow)
{
    if (format == RawUyvy) {
        for (int r = 0; r < h; ++r) {
            libyuv::UYVYToARGB(src + size_t(r) * 2 * w, 2 * w, argbRow.data(), 4 * w, w, 1);
            libyuv::ARGBToRAW(argbRow.data(), 4 * w, dst + size_t(r) * 3 * w, 3 * w, w, 1);
        }
    } else if (format == RawYuv420) {
        const uint8_t *u = src + w * h, *v = u + w * h / 4;
        libyuv::I420ToRAW(src, w, u, w / 2, v, w / 2, dst, 3 * w, w, h);
    } else {
        libyuv::NV12ToRAW(src, w, src + w * h, w, dst, 3 * w, w, h);
    }
}

void setCounters(benchmark::State &state, const Frame &frame)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.rgb.size()));
}

void benchPath(benchmark::State &state, int format, int w, int h, int path)
{
    Frame frame = makeFrame(format, w, h);
    for (auto _ : state) {
        const int result =
            path < 0 ? convertRawToRgb(frame.payload.data(), frame.payload.size(), format, w, h,
                                       frame.rgb.data(), frame.rgb.size())
                     : convertRawToRgbUsing(RawConvertPath(path), frame.payload.data(),
                                            frame.payload.size(), format, w, h, frame.rgb.data(),
                                            frame.rgb.size());
        benchmark::DoNotOptimize(result);
        benchmark::ClobberMemory();
    }
    setCounters(state, frame);
}

void benchMemcpy(benchmark::State &state, int format, int w, int h)
{
    Frame frame = makeFrame(format, w, h);
    std::vector<uint8_t> source(frame.rgb.size(), 1);
    for (auto _ : state) {
        std::memcpy(frame.rgb.data(), source.data(), source.size());
        benchmark::ClobberMemory();
    }
    setCounters(state, frame);
}

void benchReference(benchmark::State &state, int format, int w, int h)
{
    Frame frame = makeFrame(format, w, h);
    for (auto _ : state) {
        referenceConvert(frame.payload.data(), format, w, h, frame.rgb.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, frame);
}

void benchLibyuv(benchmark::State &state, int format, int w, int h)
{
    Frame frame = makeFrame(format, w, h);
    std::vector<uint8_t> argbRow(size_t(4) * w);
    for (auto _ : state) {
        libyuvConvert(frame.payload.data(), format, w, h, frame.rgb.data(), argbRow);
        benchmark::ClobberMemory();
    }
    setCounters(state, frame);
}

std::string key(const char *layout, const int size[2], const char *what)
{
    return std::string(layout) + "/" + std::to_string(size[0]) + "x" + std::to_string(size[1])
        + "/" + what;
}

} // namespace

// The comparison is only fair if ours computes what the plain loop computes.
bool oursMatchesReference()
{
    for (const Layout &layout : layouts)
        for (const auto &size : sizes) {
            Frame frame = makeFrame(layout.format, size[0], size[1]);
            std::vector<uint8_t> expected(frame.rgb.size());
            referenceConvert(frame.payload.data(), frame.format, frame.width, frame.height,
                             expected.data());
            if (convertRawToRgb(frame.payload.data(), frame.payload.size(), frame.format,
                                frame.width, frame.height, frame.rgb.data(), frame.rgb.size())
                    != 0
                || frame.rgb != expected) {
                std::fprintf(stderr, "%s %dx%d differs from the reference\n", layout.name,
                             size[0], size[1]);
                return false;
            }
        }
    return true;
}

int main(int argc, char **argv)
{
    if (!oursMatchesReference())
        return 1;
    for (const Layout &layout : layouts)
        for (const auto &size : sizes) {
            const int f = layout.format, w = size[0], h = size[1];
            auto add = [&](const char *what, auto function) {
                benchmark::RegisterBenchmark(key(layout.name, size, what).c_str(), function)
                    ->Unit(benchmark::kMillisecond);
            };
            add("ours", [=](benchmark::State &s) { benchPath(s, f, w, h, -1); });
            for (RawConvertPath path : {RawConvertPath::Scalar, RawConvertPath::Sse2,
                                        RawConvertPath::Avx2, RawConvertPath::Avx512})
                if (rawConvertPathAvailable(path))
                    add(rawConvertPathName(path),
                        [=](benchmark::State &s) { benchPath(s, f, w, h, int(path)); });
            add("memcpy", [=](benchmark::State &s) { benchMemcpy(s, f, w, h); });
            add("reference", [=](benchmark::State &s) { benchReference(s, f, w, h); });
            add("libyuv", [=](benchmark::State &s) { benchLibyuv(s, f, w, h); });
        }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nDefault path: %s. CPU time per frame in ms; ratios are ours divided by the "
                "other.\n",
                rawConvertPathName(rawConvertDefaultPath()));
    std::printf("%-18s %8s %8s %9s %8s %10s %12s %10s\n", "layout", "ours", "memcpy",
                "reference", "libyuv", "/memcpy", "/reference", "/libyuv");
    for (const Layout &layout : layouts)
        for (const auto &size : sizes) {
            const double ours = reporter.timeOf(key(layout.name, size, "ours"));
            const double copy = reporter.timeOf(key(layout.name, size, "memcpy"));
            const double reference = reporter.timeOf(key(layout.name, size, "reference"));
            const double yuv = reporter.timeOf(key(layout.name, size, "libyuv"));
            if (ours <= 0)
                continue;
            const std::string label = key(layout.name, size, "");
            std::printf("%-18s %8.4f %8.4f %9.3f %8.4f %10.2f %12.3f %10.2f\n",
                        label.substr(0, label.size() - 1).c_str(), ours, copy, reference, yuv,
                        copy > 0 ? ours / copy : 0.0, reference > 0 ? ours / reference : 0.0,
                        yuv > 0 ? ours / yuv : 0.0);
        }
    benchmark::Shutdown();
    return 0;
}
