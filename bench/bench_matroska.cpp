// Frames per second of the Matroska writer against a bare write() of the same payloads into one
// file, on /dev/shm so that the disk does not hide the writer's own cost. Board timestamps a
// 30 fps period apart: a cluster per frame, as a recording at that rate gets. Every so many bytes
// both start their file again, so that memory stays bounded.
#include "MatroskaWriter.h"
#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <QDir>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr qint64 BytesPerFile = 256LL * 1024 * 1024;
constexpr qint64 PeriodUs = 33333;

struct Case
{
    const char *name;
    qint32 format;
    int width;
    int height;
    int bytesPerPixelTimesTwo;
};

const std::vector<Case> cases = {
    { "Gray/640x480", BoardProtocol::FormatGray, 640, 480, 2 },
    { "Gray/1920x1080", BoardProtocol::FormatGray, 1920, 1080, 2 },
    { "UYVY/640x480", BoardProtocol::FormatUyvy, 640, 480, 4 },
    { "UYVY/1920x1080", BoardProtocol::FormatUyvy, 1920, 1080, 4 },
};

QString scratchPath(const char *what)
{
    return QDir(QStringLiteral("/dev/shm")).filePath(QStringLiteral("bench_matroska_%1_%2").arg(getpid()).arg(what));
}

FrameSlot frameOf(const Case &c)
{
    FrameSlot frame;
    frame.format = c.format;
    frame.width = c.width;
    frame.height = c.height;
    frame.payload.resize(qsizetype(c.width) * c.height * c.bytesPerPixelTimesTwo / 2);
    for (qsizetype i = 0; i < frame.payload.size(); ++i)
        frame.payload[i] = char(i * 7 + (i >> 11));
    frame.size = qint32(frame.payload.size());
    return frame;
}

void writer(benchmark::State &state, const Case &c)
{
    FrameSlot frame = frameOf(c);
    const QString path = scratchPath("writer.mkv");
    MatroskaWriter file;
    qint64 boardTimeUs = 0;
    qint64 bytesInFile = BytesPerFile;
    for (auto _ : state) {
        if (bytesInFile >= BytesPerFile) {
            if ((file.isOpen() && !file.close()) || !file.open(path, c.format, c.width, c.height)) {
                state.SkipWithError(qPrintable(file.errorString()));
                break;
            }
            bytesInFile = 0;
        }
        boardTimeUs += PeriodUs;
        frame.timestamp_s = qint32(boardTimeUs / 1000000);
        frame.timestamp_us = qint32(boardTimeUs % 1000000);
        if (file.writeFrame(frame) < 0) {
            state.SkipWithError(qPrintable(file.errorString()));
            break;
        }
        bytesInFile += frame.payload.size();
    }
    file.close();
    QFile::remove(path);
    state.SetBytesProcessed(state.iterations() * frame.payload.size());
    state.SetItemsProcessed(state.iterations());
}

void bareWrite(benchmark::State &state, const Case &c)
{
    const FrameSlot frame = frameOf(c);
    const QByteArray path = QFile::encodeName(scratchPath("bare.bin"));
    int fd = -1;
    qint64 bytesInFile = BytesPerFile;
    for (auto _ : state) {
        if (bytesInFile >= BytesPerFile) {
            if (fd >= 0)
                ::close(fd);
            fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            bytesInFile = 0;
        }
        if (fd < 0 || ::write(fd, frame.payload.constData(), size_t(frame.payload.size())) != frame.payload.size()) {
            state.SkipWithError("bare write failed");
            break;
        }
        bytesInFile += frame.payload.size();
    }
    if (fd >= 0)
        ::close(fd);
    ::unlink(path.constData());
    state.SetBytesProcessed(state.iterations() * frame.payload.size());
    state.SetItemsProcessed(state.iterations());
}

std::string key(const Case &c, const char *what)
{
    return std::string(what) + "/" + c.name;
}

} // namespace

int main(int argc, char **argv)
{
    for (const Case &c : cases) {
        benchmark::RegisterBenchmark(key(c, "matroska").c_str(), [c](benchmark::State &s) { writer(s, c); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(key(c, "bare").c_str(), [c](benchmark::State &s) { bareWrite(s, c); })
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\nCPU time per frame in ms (wall time on a shared machine is noisier); ratio = the writer's "
                "frames/s over the bare write's.\n%-16s %10s %10s %12s %12s %7s\n",
                "frames", "matroska", "bare", "mkv fps", "bare fps", "ratio");
    for (const Case &c : cases) {
        const double mkv = reporter.timeOf(key(c, "matroska"));
        const double bare = reporter.timeOf(key(c, "bare"));
        if (mkv > 0 && bare > 0)
            std::printf("%-16s %10.4f %10.4f %12.0f %12.0f %7.2f\n", c.name, mkv, bare, 1000 / mkv, 1000 / bare,
                        bare / mkv);
    }
    benchmark::Shutdown();
    return 0;
}
