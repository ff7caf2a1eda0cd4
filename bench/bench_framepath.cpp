// The frame path without the network, per format and size: record bytes fed to the parser, the
// completed frame made a pixmap by the stream client's frame path, optionally scaled to a 500 x 500
// view as the window scales it, and set on a pixmap item. Beside it, in the same run, its floor
// (memcpy of the payload plus memcpy of the R,G,B picture), for JPEG a bare TurboJPEG decode, and
// the scaled path with QPixmap::scaled in place of the window's scaler. The path and the scaled
// path also report their allocations per frame in steady state, counted by an interposed malloc,
// as the counters "allocs" and "KiB". scripts/bench reads the results as JSON.

#include "FrameParser.h"
#include "FrameDecoder.h"
#include "FramePath.h"
#include "StreamStatistics.h"
#include "FrameRecord.h"
#include "JpegEncoder.h"
#include "TestPattern.h"
#include "ViewScaler.h"

#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <QApplication>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QIODevice>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <malloc.h>
#include <string>
#include <vector>

// Every heap allocation of the process goes through these: operator new, Qt's containers and
// images, libjpeg. Only calls made while counting is on are counted.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *pointer, size_t size);
void *__libc_memalign(size_t alignment, size_t size);
void __libc_free(void *pointer);
}

namespace {
std::atomic<bool> counting{false};
std::atomic<long long> allocationCount{0};
std::atomic<long long> allocatedBytes{0};

inline void noteAllocation(size_t size)
{
    if (counting.load(std::memory_order_relaxed)) {
        allocationCount.fetch_add(1, std::memory_order_relaxed);
        allocatedBytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed);
    }
}
} // namespace

extern "C" {
void *malloc(size_t size)
{
    noteAllocation(size);
    return __libc_malloc(size);
}
void *calloc(size_t count, size_t size)
{
    noteAllocation(count * size);
    return __libc_calloc(count, size);
}
void *realloc(void *pointer, size_t size)
{
    noteAllocation(size);
    return __libc_realloc(pointer, size);
}
void *memalign(size_t alignment, size_t size)
{
    noteAllocation(size);
    return __libc_memalign(alignment, size);
}
void *aligned_alloc(size_t alignment, size_t size)
{
    noteAllocation(size);
    return __libc_memalign(alignment, size);
}
int posix_memalign(void **result, size_t alignment, size_t size)
{
    noteAllocation(size);
    void *pointer = __libc_memalign(alignment, size);
    if (!pointer)
        return ENOMEM;
    *result = pointer;
    return 0;
}
void free(void *pointer)
{
    __libc_free(pointer);
}
}

namespace {

constexpr int ViewSide = 500;
constexpr int DistinctFrames = 4; // rotated, so the payloads are not all warm in the cache

struct Format
{
    int code;
    const char *name;
};
constexpr Format formats[] = {{TestPattern::Jpeg, "JPG"},
                              {TestPattern::Gray, "Gray"},
                              {TestPattern::Uyvy, "UYVY"},
                              {TestPattern::Yuv420, "YUV420"},
                              {TestPattern::Nv12, "NV12"}};
constexpr int sizes[][2] = {{640, 480}, {400, 400}, {1920, 1080}};

struct Records
{
    std::vector<QByteArray> bytes;    // whole records, as they arrive
    std::vector<QByteArray> payloads; // their payloads alone
};

const Records &recordsFor(int format, int width, int height)
{
    static std::map<std::tuple<int, int, int>, Records> made;
    Records &records = made[{format, width, height}];
    if (records.bytes.empty()) {
        TestPattern pattern;
        pattern.setJpegEncoder(encodeJpeg);
        for (int k = 0; k < DistinctFrames; ++k) {
            FrameRecord record;
            record.format = format;
            record.width = width;
            record.height = height;
            record.timestamp_s = 1;
            record.timestamp_us = 1000 * k;
            record.payload = pattern.payload(format, width, height, quint32(7 * k));
            records.payloads.push_back(record.payload);
            records.bytes.push_back(record.toBytes());
        }
    }
    return records;
}

// The socket's read buffer, holding the records that have arrived: reads copy out of it, as
// reads from a socket's buffer do. Unbuffered, so the parser's small reads cost no extra copy.
class RecordDevice : public QIODevice
{
public:
    RecordDevice() { open(QIODevice::ReadOnly | QIODevice::Unbuffered); }

    void feed(const QByteArray &record)
    {
        if (offset < pending.size())
            pending = pending.mid(offset) + record; // not in the benchmark: records arrive whole
        else
            pending = record;
        offset = 0;
    }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return pending.size() - offset; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 n = qMin<qint64>(maxSize, pending.size() - offset);
        std::memcpy(data, pending.constData() + offset, size_t(n));
        offset += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray pending;
    qint64 offset = 0;
};

enum class Scaling { None, Window, QtScaled };

// What the window does with each frame: asks the stream client for its pixmap, scales it to
// the view when asked to, and sets it on its one pixmap item. The stream client counts every
// record and frame; `counted` false leaves that out, to show what the counting costs.
class WindowPath
{
public:
    explicit WindowPath(Scaling scaling, bool counted = true) : scaling(scaling)
    {
        item = scene.addPixmap(QPixmap());
        parser.setDevice(&device);
        if (counted) {
            parser.setStatistics(&statistics);
            framePath.setStatistics(&statistics);
        }
        parser.onFrameReady = [this] { drawNewImage(); };
    }

    void feed(const QByteArray &record)
    {
        device.feed(record);
        parser.process();
    }

    int shown = 0;
    int refused = 0;

private:
    void drawNewImage()
    {
        if (!framePath.show(parser.completedSlot()).shown())
            ++refused;
        const QPixmap pixmap = framePath.pixmap();
        if (scaling == Scaling::Window)
            item->setPixmap(scaler.scaled(pixmap, QSize(ViewSide, ViewSide)));
        else if (scaling == Scaling::QtScaled)
            item->setPixmap(pixmap.scaled(ViewSide, ViewSide, Qt::KeepAspectRatio,
                                          Qt::FastTransformation));
        else
            item->setPixmap(pixmap);
        ++shown;
    }

    Scaling scaling;
    RecordDevice device;
    FrameParser parser;
    FramePath framePath;
    StreamStatistics statistics;
    ViewScaler scaler;
    QGraphicsScene scene;
    QGraphicsPixmapItem *item = nullptr;
};

// One frame's worth of a measured piece of work per step(); the benchmarks time the steps, and
// --count runs a given number of them for valgrind's instruction counter.
class Work
{
public:
    virtual ~Work() = default;
    virtual bool step() = 0; // false when the frame failed
};

class PathWork : public Work
{
public:
    PathWork(const Records &records, Scaling scaling, bool counted = true)
        : records(records), path(scaling, counted) {}
    bool step() override
    {
        path.feed(records.bytes[next++ % records.bytes.size()]);
        return path.refused == 0;
    }

private:
    const Records &records;
    WindowPath path;
    size_t next = 0;
};

// The parser alone, frames announced but not converted.
class ParseWork : public Work
{
public:
    explicit ParseWork(const Records &records) : records(records) { parser.setDevice(&device); }
    bool step() override
    {
        device.feed(records.bytes[next++ % records.bytes.size()]);
        parser.process();
        benchmark::DoNotOptimize(parser.completedSlot().payload.constData());
        return true;
    }

private:
    const Records &records;
    RecordDevice device;
    FrameParser parser;
    size_t next = 0;
};

// The recorder's judgement of each frame: the frame decoder judging it, no picture made.
class ScreenlessWork : public Work
{
public:
    explicit ScreenlessWork(const Records &records) : records(records)
    {
        parser.setDevice(&device);
        parser.setStatistics(&statistics);
        parser.onFrameReady = [this] {
            whole = decoder.judge(parser.completedSlot()) == FrameDecoder::Outcome::Shown;
        };
    }
    bool step() override
    {
        device.feed(records.bytes[next++ % records.bytes.size()]);
        parser.process();
        return whole;
    }

private:
    const Records &records;
    RecordDevice device;
    FrameParser parser;
    FrameDecoder decoder;
    StreamStatistics statistics;
    bool whole = false;
    size_t next = 0;
};

// The least any path must do: take the payload in once and write an R,G,B picture once.
class FloorWork : public Work
{
public:
    FloorWork(const Records &records, int width, int height)
        : records(records)
        , pictureBytes(size_t(3) * width * height)
        , sources(records.payloads.size(), std::vector<char>(pictureBytes, 1))
        , payload(size_t(records.payloads[0].size()) * 2)
        , rgb(pictureBytes)
    {
    }
    bool step() override
    {
        const size_t k = next++ % records.payloads.size();
        const QByteArray &bytes = records.payloads[k];
        if (payload.size() < size_t(bytes.size()))
            payload.resize(size_t(bytes.size()));
        std::memcpy(payload.data(), bytes.constData(), size_t(bytes.size()));
        std::memcpy(rgb.data(), sources[k].data(), pictureBytes);
        benchmark::ClobberMemory();
        return true;
    }

private:
    const Records &records;
    size_t pictureBytes;
    std::vector<std::vector<char>> sources;
    std::vector<char> payload, rgb;
    size_t next = 0;
};

// JPEG decoded by TurboJPEG into R,G,B, nothing else; or into 32-bit B,G,R,X pixels, the layout
// the path decodes to, alternating between two pictures as the path does.
class DecodeWork : public Work
{
public:
    DecodeWork(const Records &records, int width, int height, bool words)
        : records(records)
        , width(width)
        , height(height)
        , pixelFormat(words ? TJPF_BGRX : TJPF_RGB)
        , pictures(words ? 2 : 1, std::vector<unsigned char>(size_t(words ? 4 : 3) * width * height))
    {
    }
    ~DecodeWork() override { tjDestroy(handle); }
    bool step() override
    {
        const QByteArray &jpeg = records.payloads[next % records.payloads.size()];
        std::vector<unsigned char> &picture = pictures[next % pictures.size()];
        ++next;
        const bool decoded = tjDecompress2(handle,
                                           reinterpret_cast<const unsigned char *>(jpeg.constData()),
                                           static_cast<unsigned long>(jpeg.size()), picture.data(),
                                           width, 0, height, pixelFormat, 0)
            == 0;
        benchmark::ClobberMemory();
        return decoded;
    }

private:
    const Records &records;
    int width, height;
    int pixelFormat;
    tjhandle handle = tjInitDecompress();
    std::vector<std::vector<unsigned char>> pictures;
    size_t next = 0;
};

// what: path, uncounted, scaled, qtscaled, parse, screenless, floor, or decode or decode32 (JPEG only).
std::unique_ptr<Work> makeWork(const std::string &what, int format, int width, int height)
{
    const Records &records = recordsFor(format, width, height);
    if (what == "path")
        return std::make_unique<PathWork>(records, Scaling::None);
    if (what == "uncounted")
        return std::make_unique<PathWork>(records, Scaling::None, false);
    if (what == "scaled")
        return std::make_unique<PathWork>(records, Scaling::Window);
    if (what == "qtscaled")
        return std::make_unique<PathWork>(records, Scaling::QtScaled);
    if (what == "parse")
        return std::make_unique<ParseWork>(records);
    if (what == "screenless")
        return std::make_unique<ScreenlessWork>(records);
    if (what == "floor")
        return std::make_unique<FloorWork>(records, width, height);
    if (what == "decode" && format == TestPattern::Jpeg)
        return std::make_unique<DecodeWork>(records, width, height, false);
    if (what == "decode32" && format == TestPattern::Jpeg)
        return std::make_unique<DecodeWork>(records, width, height, true);
    return nullptr;
}

void runWork(benchmark::State &state, const std::string &what, int format, int width, int height)
{
    const std::unique_ptr<Work> work = makeWork(what, format, width, height);
    for (auto _ : state)
        if (!work->step()) {
            state.SkipWithError("a frame failed");
            break;
        }
    state.SetItemsProcessed(state.iterations());
}

// Kept out of line: valgrind --toggle-collect='*countedFrames*' counts exactly these frames.
Q_NEVER_INLINE bool countedFrames(Work &work, int frames)
{
    bool ok = true;
    for (int i = 0; i < frames; ++i)
        ok = work.step() && ok;
    return ok;
}

// --count FORMAT/WxH/WHAT FRAMES: that work for FRAMES frames after a warm-up, nothing else.
int countFrames(const char *key, const char *frameCount)
{
    char name[16] = {}, what[16] = {};
    int width = 0, height = 0;
    const int frames = std::atoi(frameCount);
    if (std::sscanf(key, "%15[^/]/%dx%d/%15s", name, &width, &height, what) != 4 || frames <= 0) {
        std::fprintf(stderr, "usage: bench_framepath --count FORMAT/WxH/WHAT FRAMES\n");
        return 2;
    }
    for (const Format &format : formats)
        if (std::strcmp(format.name, name) == 0) {
            const std::unique_ptr<Work> work = makeWork(what, format.code, width, height);
            if (!work)
                break;
            for (int i = 0; i < 8; ++i)
                work->step();
            if (!countedFrames(*work, frames)) {
                std::fprintf(stderr, "%s: a frame failed\n", key);
                return 1;
            }
            std::printf("%s %d frames\n", key, frames);
            return 0;
        }
    std::fprintf(stderr, "%s: no such work\n", key);
    return 2;
}

std::string key(const Format &format, const int size[2], const char *what)
{
    return std::string(format.name) + "/" + std::to_string(size[0]) + "x"
        + std::to_string(size[1]) + "/" + what;
}

struct Allocations
{
    double count = 0;
    double kib = 0;
};

// Allocations per frame over frames 16 to 48, once buffers and caches have settled.
Allocations countAllocations(int format, int width, int height, Scaling scaling)
{
    constexpr int WarmUp = 16, Counted = 32;
    const Records &records = recordsFor(format, width, height);
    WindowPath path(scaling);
    for (int i = 0; i < WarmUp; ++i)
        path.feed(records.bytes[size_t(i) % records.bytes.size()]);
    allocationCount = 0;
    allocatedBytes = 0;
    counting = true;
    for (int i = WarmUp; i < WarmUp + Counted; ++i)
        path.feed(records.bytes[size_t(i) % records.bytes.size()]);
    counting = false;
    return {double(allocationCount) / Counted, double(allocatedBytes) / 1024.0 / Counted};
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--count") == 0)
        return countFrames(argv[2], argv[3]);
    for (const Format &format : formats)
        for (const auto &size : sizes) {
            const int f = format.code, w = size[0], h = size[1];
            auto add = [&](const char *what) {
                // Qt spreads some image conversions over threads: count them all.
                benchmark::RegisterBenchmark(key(format, size, what).c_str(), [=](benchmark::State &s) {
                    runWork(s, what, f, w, h);
                    const bool path = std::strcmp(what, "path") == 0;
                    if (path || std::strcmp(what, "scaled") == 0) {
                        const Allocations a =
                            countAllocations(f, w, h, path ? Scaling::None : Scaling::Window);
                        s.counters["allocs"] = a.count;
                        s.counters["KiB"] = a.kib;
                    }
                })
                    ->Unit(benchmark::kMillisecond)
                    ->MeasureProcessCPUTime();
            };
            for (const char *what : {"path", "uncounted", "scaled", "qtscaled", "parse", "screenless", "floor"})
                add(what);
            if (f == TestPattern::Jpeg) {
                add("decode");
                add("decode32");
            }
        }

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
