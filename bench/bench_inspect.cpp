// The inspector: opening a big wire dump or Matroska file on /dev/shm until its first picture
// is made, with the resident memory after it, and one step to the next frame (picture made and
// painted) at 1920 x 1080 beside the decode alone, the same step with the histogram shown, and the
// levels of a whole frame and of a region (a quarter of it), each with its share of the decode.
// The timing plots' first draw for the same files, and for a dump of half a million small frames
// (the frame count of a long recording of small JPEGs), with the resident memory after it.
// Set BREVANT_BENCH_BIG_MIB (e.g. 4096) to open a bigger file as well.
#include "FrameDecoder.h"
#include "FrameLevels.h"
#include "FrameSourceFor.h"
#include "InspectorWindow.h"
#include "JpegEncoder.h"
#include "MatroskaWriter.h"
#include "SourceTimingView.h"
#include "ZoomView.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QDir>
#include <QDockWidget>
#include <QEventLoop>
#include <QFile>
#include <QtEndian>

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

namespace {

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr qint64 PeriodUs = 33333;
constexpr qint64 MiB = 1024 * 1024;

QString scratchPath(const QString &what)
{
    return QDir(QStringLiteral("/dev/shm")).filePath(QStringLiteral("bench_inspect_%1_%2").arg(getpid()).arg(what));
}

double residentMiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    }
    return 0;
}

FrameSlot frameOf(qint32 format)
{
    FrameSlot frame;
    frame.format = format;
    frame.width = Width;
    frame.height = Height;
    if (format == BoardProtocol::FormatJpg) {
        QByteArray rgb(Width * Height * 3, Qt::Uninitialized);
        for (int i = 0; i < rgb.size(); ++i)
            rgb[i] = char((i / 3 % Width) * 255 / Width + (i % 3) * 40 + (i / (3 * Width)) / 8);
        frame.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), Width, Height, 3, 85);
    } else {
        const qint64 bytes = format == BoardProtocol::FormatGray ? qint64(Width) * Height
            : format == BoardProtocol::FormatUyvy                ? qint64(Width) * Height * 2
                                                                 : qint64(Width) * Height * 3 / 2;
        frame.payload = QByteArray(int(bytes), Qt::Uninitialized);
        for (qint64 i = 0; i < bytes; ++i)
            frame.payload[i] = char(i * 7 + (i >> 11));
    }
    frame.size = qint32(frame.payload.size());
    return frame;
}

QByteArray recordOf(const FrameSlot &frame, qint64 timeUs)
{
    QByteArray header(BoardProtocol::RecordPrefixBytes, '\0');
    const quint32 fields[8] = {BoardProtocol::FrameMagic, quint32(frame.format), 0, quint32(frame.width),
                               quint32(frame.height), quint32(frame.size), quint32(timeUs / 1000000),
                               quint32(timeUs % 1000000)};
    for (int i = 0; i < 8; ++i)
        qToBigEndian(fields[i], header.data() + 4 * i);
    return header + frame.payload;
}

// A wire dump of UYVY frames of about `mib` MiB.
QString wireDump(qint64 mib)
{
    const QString path = scratchPath(QStringLiteral("dump_%1.bin").arg(mib));
    if (QFile::exists(path))
        return path;
    const FrameSlot frame = frameOf(BoardProtocol::FormatUyvy);
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    for (qint64 i = 0; file.size() < mib * MiB; ++i)
        file.write(recordOf(frame, 1000000 + i * PeriodUs));
    return path;
}

// A wire dump of `count` small Gray frames.
QString manyFramesDump(qint64 count)
{
    const QString path = scratchPath(QStringLiteral("many_%1.bin").arg(count));
    if (QFile::exists(path))
        return path;
    FrameSlot frame;
    frame.format = BoardProtocol::FormatGray;
    frame.width = 16;
    frame.height = 8;
    frame.payload = QByteArray(frame.width * frame.height, char(90));
    frame.size = qint32(frame.payload.size());
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    for (qint64 i = 0; i < count; ++i)
        file.write(recordOf(frame, 1000000 + i * PeriodUs));
    return path;
}

QString matroskaFile(qint64 mib)
{
    const QString path = scratchPath(QStringLiteral("rec_%1.mkv").arg(mib));
    if (QFile::exists(path))
        return path;
    FrameSlot frame = frameOf(BoardProtocol::FormatUyvy);
    MatroskaWriter writer;
    writer.open(path, frame.format, Width, Height);
    for (qint64 i = 0; i * frame.size < mib * MiB; ++i) {
        frame.timestamp_s = qint32((1000000 + i * PeriodUs) / 1000000);
        frame.timestamp_us = qint32((1000000 + i * PeriodUs) % 1000000);
        writer.writeFrame(frame);
    }
    writer.close();
    return path;
}

void openToFirstPicture(benchmark::State &state, const QString &path)
{
    for (auto _ : state) {
        std::unique_ptr<FrameSource> source = frameSourceFor(path);
        if (!source->open()) {
            state.SkipWithError(qPrintable(source->errorString()));
            return;
        }
        FrameSlot slot;
        FrameDecoder decoder;
        QImage picture;
        source->frame(0, slot);
        benchmark::DoNotOptimize(decoder.decode(slot, picture));
        state.counters["frames"] = double(source->count());
    }
    state.counters["rss_MiB"] = residentMiB();
    state.counters["file_MiB"] = double(QFile(path).size()) / MiB;
}

// From a window made on an opened source until both timing plots are painted: the headers read
// (aside, for a large source, while the first picture shows), the points worked out, the plots
// drawn.
void timingFirstDraw(benchmark::State &state, const QString &path)
{
    std::unique_ptr<InspectorWindow> window;
    for (auto _ : state) {
        state.PauseTiming();
        window.reset(); // the last window's end is not part of it
        std::unique_ptr<FrameSource> source = frameSourceFor(path);
        if (!source->open()) {
            state.SkipWithError(qPrintable(source->errorString()));
            return;
        }
        state.counters["frames"] = double(source->count());
        state.ResumeTiming();
        window = std::make_unique<InspectorWindow>(std::move(source));
        window->show();
        SourceTimingView *timing = window->timingView();
        if (!timing->isKnown()) {
            QEventLoop untilKnown;
            QObject::connect(timing, &SourceTimingView::timingKnown, &untilKnown, &QEventLoop::quit);
            untilKnown.exec();
        }
        timing->plots()->repaint();
    }
    state.counters["rss_MiB"] = residentMiB();
}

void steps(benchmark::State &state, qint32 format, bool levelsShown)
{
    QByteArray dump;
    for (int i = 0; i < 4; ++i)
        dump += recordOf(frameOf(format), 1000000 + i * PeriodUs);
    const QString path = scratchPath(QStringLiteral("step_%1.bin").arg(format));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    file.write(dump);
    file.close();
    std::unique_ptr<FrameSource> source = frameSourceFor(path);
    source->open();
    InspectorWindow window(std::move(source));
    window.show();
    if (levelsShown)
        window.findChild<QDockWidget *>(QStringLiteral("levelsDock"))->show();
    if (levelsShown != window.levelsShown()) {
        state.SkipWithError("the histogram would not show");
        return;
    }
    qint64 next = 0;
    for (auto _ : state) {
        next = (next + 1) % 4;
        window.showFrame(next);
        window.zoomView()->repaint();
    }
    QFile::remove(path);
}

double decodeMs(const FrameSlot &frame)
{
    constexpr int Rounds = 5;
    FrameDecoder decoder;
    QImage picture;
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < Rounds; ++i)
        decoder.decode(frame, picture);
    return double(clock.nsecsElapsed()) / 1e6 / Rounds;
}

// JPEG frames are measured from their decoded picture, the others from their samples.
void levels(benchmark::State &state, qint32 format, bool region)
{
    const FrameSlot frame = frameOf(format);
    FrameDecoder decoder;
    QImage picture;
    decoder.decode(frame, picture);
    const QRect area = region ? QRect(Width / 4, Height / 4, Width / 2, Height / 2) : QRect();
    FrameLevels measured;
    QElapsedTimer clock;
    clock.start();
    for (auto _ : state) {
        const bool done = format == BoardProtocol::FormatJpg ? measured.measure(picture, area) : measured.measure(frame, area);
        benchmark::DoNotOptimize(done);
    }
    const double ms = double(clock.nsecsElapsed()) / 1e6 / double(state.iterations());
    state.counters["of_decode"] = ms / decodeMs(frame);
}

void decodeAlone(benchmark::State &state, qint32 format)
{
    const FrameSlot frame = frameOf(format);
    FrameDecoder decoder;
    QImage picture;
    for (auto _ : state)
        benchmark::DoNotOptimize(decoder.decode(frame, picture));
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<qint64> sizes = {100};
    if (const qint64 big = qEnvironmentVariableIntValue("BREVANT_BENCH_BIG_MIB"))
        sizes.push_back(big);
    for (qint64 mib : sizes) {
        benchmark::RegisterBenchmark(("open/wire/" + std::to_string(mib) + "MiB").c_str(),
                                     [mib](benchmark::State &s) { openToFirstPicture(s, wireDump(mib)); })
            ->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark(("open/mkv/" + std::to_string(mib) + "MiB").c_str(),
                                     [mib](benchmark::State &s) { openToFirstPicture(s, matroskaFile(mib)); })
            ->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark(("timing/wire/" + std::to_string(mib) + "MiB").c_str(),
                                     [mib](benchmark::State &s) { timingFirstDraw(s, wireDump(mib)); })
            ->Unit(benchmark::kMillisecond)->Iterations(3);
        benchmark::RegisterBenchmark(("timing/mkv/" + std::to_string(mib) + "MiB").c_str(),
                                     [mib](benchmark::State &s) { timingFirstDraw(s, matroskaFile(mib)); })
            ->Unit(benchmark::kMillisecond)->Iterations(3);
    }
    constexpr qint64 ManyFrames = 500000;
    benchmark::RegisterBenchmark(("timing/wire/" + std::to_string(ManyFrames) + "frames").c_str(),
                                 [](benchmark::State &s) { timingFirstDraw(s, manyFramesDump(ManyFrames)); })
        ->Unit(benchmark::kMillisecond)->Iterations(3);
    for (int format = 0; format < BoardProtocol::FormatCount; ++format) {
        const std::string name = BoardProtocol::FormatNames[format];
        benchmark::RegisterBenchmark(("step/" + name + "/1920x1080").c_str(),
                                     [format](benchmark::State &s) { steps(s, format, false); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("step_histogram/" + name + "/1920x1080").c_str(),
                                     [format](benchmark::State &s) { steps(s, format, true); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("levels/" + name + "/1920x1080").c_str(),
                                     [format](benchmark::State &s) { levels(s, format, false); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("levels_region/" + name + "/960x540").c_str(),
                                     [format](benchmark::State &s) { levels(s, format, true); })
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("decode/" + name + "/1920x1080").c_str(),
                                     [format](benchmark::State &s) { decodeAlone(s, format); })
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (qint64 mib : sizes) {
        QFile::remove(scratchPath(QStringLiteral("dump_%1.bin").arg(mib)));
        QFile::remove(scratchPath(QStringLiteral("rec_%1.mkv").arg(mib)));
    }
    QFile::remove(scratchPath(QStringLiteral("many_%1.bin").arg(ManyFrames)));
    return 0;
}
