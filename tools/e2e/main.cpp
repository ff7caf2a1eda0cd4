// End to end on one machine: the real window of the viewer on the offscreen platform, fed over
// 127.0.0.1 by a streamer of pre-made frame records in a thread of its own. For each format and
// size it reports the rate sustained when records come as fast as the socket takes them, the
// viewer's CPU time per frame (the process's minus the streamer thread's), and, at a moderate
// rate, the time from a record's last byte leaving the streamer to the view painting its picture.
//
// brevant-e2e [--seconds S] [--latency-fps F] [--latency-frames N] [--rescale]
//             [--formats JPG,Gray,UYVY,YUV420,NV12] [--sizes 640x480,1920x1080] [--json FILE]

#include "BoardProtocol.h"
#include "MainWindow.h"
#include "RecordStreamer.h"
#include "TaggedFrames.h"
#include "TestPattern.h"

#include <QApplication>
#include <QCheckBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QGraphicsPixmapItem>
#include <QGraphicsView>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QSaveFile>
#include <QThread>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QStringList formatNames()
{
    QStringList names;
    for (const char *name : BoardProtocol::FormatNames)
        names << QLatin1String(name);
    return names;
}
const QStringList FormatNames = formatNames();

qint64 processCpuNs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ns = [](const timeval &t) { return qint64(t.tv_sec) * 1000000000 + qint64(t.tv_usec) * 1000; };
    return ns(usage.ru_utime) + ns(usage.ru_stime);
}

// Runs the event loop until done() holds or the time is up.
bool waitFor(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// Notes every paint of the view with the tag of the picture it shows.
class PaintObserver : public QObject
{
public:
    struct Paint
    {
        qint64 ns;
        int tag;
    };

    PaintObserver(QGraphicsView *view) : view(view) { view->viewport()->installEventFilter(this); }

    void reset() { paints.clear(); }
    const std::vector<Paint> &seen() const { return paints; }
    bool sawTag(int tag) const
    {
        return std::any_of(paints.begin(), paints.end(), [tag](const Paint &p) { return p.tag == tag; });
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            const qint64 now = RecordStreamer::nowNs();
            auto *item = qgraphicsitem_cast<QGraphicsPixmapItem *>(view->scene()->items().value(0));
            const int tag = item ? TaggedFrames::tagOf(item->pixmap().toImage()) : -1;
            if (tag >= 0 && (paints.empty() || paints.back().tag != tag))
                paints.push_back({now, tag});
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QGraphicsView *view;
    std::vector<Paint> paints;
};

struct Result
{
    double fps = 0, mbPerS = 0, cpuMsPerFrame = 0, cores = 0;
    double latencyMedianMs = 0, latencyP99Ms = 0;
    int latencySamples = 0;
    bool ok = false;
};

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t index = std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5));
    return values[index];
}

class Harness
{
public:
    Harness(int seconds, int latencyFps, int latencyFrames, bool rescale)
        : seconds(seconds), latencyFps(latencyFps), latencyFrames(latencyFrames)
    {
        window.setMinimumSize(850, 520);
        window.show();
        view = window.findChild<QGraphicsView *>(QStringLiteral("graphicsView"));
        window.findChild<QCheckBox *>(QStringLiteral("check_Rescale"))->setChecked(rescale);
        window.findChild<QLineEdit *>(QStringLiteral("editHostname"))->setText(QStringLiteral("127.0.0.1"));
        observer = new PaintObserver(view);
        waitFor([] { return false; }, 200);
    }

    Result run(int format, int width, int height)
    {
        Result result;
        QList<QByteArray> payloads;
        for (int tag = 0; tag < TaggedFrames::TagCount; ++tag)
            payloads << TaggedFrames::payload(format, width, height, tag);
        if (payloads.first().isEmpty())
            return result;

        QThread thread;
        auto *streamer = new RecordStreamer(format, width, height, payloads);
        streamer->moveToThread(&thread);
        QObject::connect(&thread, &QThread::finished, streamer, &QObject::deleteLater);
        thread.start();
        QMetaObject::invokeMethod(streamer, &RecordStreamer::listen, Qt::BlockingQueuedConnection);

        window.findChild<QLineEdit *>(QStringLiteral("editVideoPort"))->setText(QString::number(streamer->port()));
        window.findChild<QPushButton *>(QStringLiteral("buttonReconnect"))->click();
        if (waitFor([&] { return streamer->isConnected(); }, 10000)) {
            measureRate(streamer, result);
            if (result.ok)
                measureLatency(streamer, result);
        }
        QMetaObject::invokeMethod(streamer, &RecordStreamer::closeConnection, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
        waitFor([] { return false; }, 100); // the viewer notes the closed connection
        return result;
    }

private:
    void measureRate(RecordStreamer *streamer, Result &result)
    {
        observer->reset();
        const qint64 first = streamer->recordsQueued();
        const qint64 cpuBefore = processCpuNs();
        const qint64 start = RecordStreamer::nowNs();
        QMetaObject::invokeMethod(streamer, [streamer, ms = seconds * 1000] { streamer->streamFor(ms); });
        const int endTag = streamer->endTag();
        if (!waitFor([&] { return streamer->isFinished() && observer->sawTag(endTag); },
                     seconds * 1000 + 30000))
            return;
        const qint64 end = observer->seen().back().ns;
        const qint64 cpu = processCpuNs() - cpuBefore - streamer->threadCpuNs();
        const qint64 frames = streamer->recordsQueued() - first;
        const double wallS = double(end - start) / 1e9;
        result.fps = double(frames) / wallS;
        result.mbPerS = result.fps * double(streamer->payloadBytes()) / 1e6;
        result.cpuMsPerFrame = double(cpu) / 1e6 / double(frames);
        result.cores = double(cpu) / 1e9 / wallS;
        result.ok = true;
    }

    void measureLatency(RecordStreamer *streamer, Result &result)
    {
        waitFor([] { return false; }, 100);
        observer->reset();
        const qint64 first = streamer->recordsQueued();
        QMetaObject::invokeMethod(streamer, [streamer, fps = latencyFps, n = latencyFrames] {
            streamer->streamAt(fps, n);
        });
        const qint64 last = first + latencyFrames - 1;
        waitFor([&] { return streamer->isFinished() && !observer->seen().empty()
                             && observer->seen().back().tag == streamer->tagOfRecord(last); },
                latencyFrames * 1000 / latencyFps + 30000);

        // A paint shows the latest record with its tag handed out before it; the first paint of
        // a record counts. A record whose last byte was not yet noted at the paint is skipped.
        std::vector<double> latencies;
        qint64 previous = first - 1;
        for (const PaintObserver::Paint &paint : observer->seen()) {
            qint64 record = -1;
            for (qint64 n = previous + 1; n <= last; ++n)
                if (streamer->queuedNs(n) <= paint.ns && streamer->tagOfRecord(n) == paint.tag)
                    record = n;
            if (record < 0)
                continue;
            previous = record;
            const qint64 latency = paint.ns - streamer->lastByteNs(record);
            if (latency >= 0)
                latencies.push_back(double(latency) / 1e6);
        }
        result.latencySamples = int(latencies.size());
        result.latencyMedianMs = percentile(latencies, 0.5);
        result.latencyP99Ms = percentile(latencies, 0.99);
    }

    int seconds, latencyFps, latencyFrames;
    MainWindow window;
    QGraphicsView *view = nullptr;
    PaintObserver *observer = nullptr;
};

void quietDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type != QtDebugMsg)
        std::fprintf(stderr, "%s\n", qPrintable(message));
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    qInstallMessageHandler(quietDebug);

    QCommandLineParser options;
    options.addHelpOption();
    options.addOptions({
        {"seconds", "Seconds of streaming as fast as the socket takes it.", "s", "3"},
        {"latency-fps", "Rate of the latency run.", "fps", "30"},
        {"latency-frames", "Frames of the latency run.", "n", "90"},
        {"rescale", "Check \"Rescale Display Image\"."},
        {"formats", "Formats to run.", "list", FormatNames.join(',')},
        {"sizes", "Sizes to run.", "list", "640x480,1920x1080"},
        {"json", "Also write the results to this file as JSON.", "file"},
    });
    options.process(app);

    Harness harness(std::max(1, options.value("seconds").toInt()),
                    std::max(1, options.value("latency-fps").toInt()),
                    std::max(2, options.value("latency-frames").toInt()), options.isSet("rescale"));
    std::printf("%-17s %9s %9s %7s %12s %7s %12s %12s\n", "frame", "frames/s", "MB/s", "Gb/s",
                "CPU ms/frame", "cores", "latency p50", "latency p99");
    bool allOk = true;
    QJsonArray results;
    for (const QString &name : options.value("formats").split(',')) {
        const int format = FormatNames.indexOf(name);
        if (format < 0)
            continue;
        for (const QString &size : options.value("sizes").split(',')) {
            const QStringList wh = size.split('x');
            if (wh.size() != 2)
                continue;
            const int width = wh[0].toInt(), height = wh[1].toInt();
            const Result r = harness.run(format, width, height);
            const QByteArray label = (name + '/' + size).toLatin1();
            if (!r.ok) {
                std::printf("%-17s failed\n", label.constData());
                allOk = false;
                continue;
            }
            std::printf("%-17s %9.1f %9.1f %7.2f %12.3f %7.2f %9.2f ms %9.2f ms\n", label.constData(),
                        r.fps, r.mbPerS, r.mbPerS * 8 / 1000, r.cpuMsPerFrame, r.cores,
                        r.latencyMedianMs, r.latencyP99Ms);
            std::fflush(stdout);
            results.append(QJsonObject{{"name", QString::fromLatin1(label)}, {"frames_per_s", r.fps},
                                       {"mb_per_s", r.mbPerS}, {"cpu_ms_per_frame", r.cpuMsPerFrame},
                                       {"cores", r.cores}, {"latency_p50_ms", r.latencyMedianMs},
                                       {"latency_p99_ms", r.latencyP99Ms}});
        }
    }
    if (options.isSet("json")) {
        QSaveFile file(options.value("json"));
        if (!file.open(QIODevice::WriteOnly)
            || file.write(QJsonDocument(QJsonObject{{"results", results}}).toJson()) < 0
            || !file.commit()) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(options.value("json")));
            return 1;
        }
    }
    return allOk ? 0 : 1;
}
