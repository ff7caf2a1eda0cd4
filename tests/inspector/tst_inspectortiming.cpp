#include "FileBytes.h"
#include "FrameSourceFor.h"
#include "Frames.h"
#include "InspectorWindow.h"
#include "RecordingNames.h"
#include "RecordingSession.h"
#include "Records.h"
#include "SourceTimingView.h"
#include "StreamStatistics.h"
#include "TimingPlot.h"
#include "WindowRig.h"

#include <QtTest>

namespace {

constexpr qint64 PeriodUs = 40000; // 25 frames a second
constexpr int WaitMs = 30000;
const QByteArray GrayPixels("\x00\x07\x40\xff\x10\x20\x30\x80", 8);

// A board's stream at 25 frames a second as a recorder took it, 4 x 2 Gray frames: frame 10
// stamped and sent 15 ms late, frame 20 on time but held 30 ms on the way, three frames lost
// before frame 30, frame 35 cut short.
QList<FrameSlot> troubledClip(QList<QDateTime> &arrivals)
{
    QList<FrameSlot> frames;
    for (int i = 0; i < 40; ++i) {
        const qint64 boardUs = 1000000 + qint64(i + (i >= 30 ? 3 : 0)) * PeriodUs + (i == 10 ? 15000 : 0);
        FrameSlot frame = frameOf(BoardProtocol::FormatGray, 4, 2, i == 35 ? GrayPixels.left(5) : GrayPixels);
        frame.timestamp_s = qint32(boardUs / 1000000);
        frame.timestamp_us = qint32(boardUs % 1000000);
        frames << frame;
        arrivals << QDateTime::fromMSecsSinceEpoch(1700000000000 + boardUs / 1000 + (i == 20 ? 30 : 0), Qt::UTC);
    }
    return frames;
}

// The frames recorded into a Matroska recording with its index, as the recorder leaves it.
bool record(const QString &folder, const QList<FrameSlot> &frames, const QList<QDateTime> &arrivals)
{
    StreamStatistics statistics;
    const RecordingNames names = RecordingNames::recorder(folder, QStringLiteral("bvtgrab_"));
    RecordingSession session(FrameStorage::make(FrameStorage::Kind::Matroska, names), names.indexFile(), statistics);
    if (!session.open())
        return false;
    QSignalSpy finished(&session, &RecordingSession::finished);
    for (int i = 0; i < frames.size(); ++i)
        session.take(frames[i], arrivals[i]);
    session.finish();
    return !finished.isEmpty() || finished.wait(WaitMs);
}

std::unique_ptr<InspectorWindow> windowOn(const QString &path)
{
    std::unique_ptr<FrameSource> source = frameSourceFor(path);
    if (!source->open())
        return nullptr;
    auto window = std::make_unique<InspectorWindow>(std::move(source));
    window->show();
    return window;
}

QString figuresText(InspectorWindow &window)
{
    return labelText(&window, "timingStretch") + '\n' + labelText(&window, "timingFigures");
}

} // namespace

class tst_InspectorTiming : public QObject
{
    Q_OBJECT

private slots:
    // The figures of a recording, for all of it and for a stretch marked; T shows and hides
    // them; both plots show, a click on one goes to the frame under it.
    void recording()
    {
        QTemporaryDir dir;
        QList<QDateTime> arrivals;
        QVERIFY(record(dir.path(), troubledClip(arrivals), arrivals));
        const auto window = windowOn(dir.path());
        QVERIFY(window && QTest::qWaitForWindowActive(window.get()));
        QVERIFY(window->timingView()->isKnown());
        QTRY_VERIFY(window->marksComplete());

        QVERIFY(!window->timingShown());
        QTest::keyClick(window.get(), Qt::Key_T);
        QVERIFY(window->timingShown());
        QCOMPARE(figuresText(*window),
                 QString::fromUtf8("All 40 frames\n"
                                   "Frames: 40\n"
                                   "Nominal period: 40000 µs (median of the last 10 s)\n"
                                   "Board interval jitter: σ 3441 µs, p50 0, p95 15000, p99 15000, max 15000 µs\n"
                                   "Arrival interval jitter: σ 7695 µs, p50 0, p95 30000, p99 30000, max 30000 µs\n"
                                   "Late frames: 1 (at the board 0, on the way 1)\n"
                                   "Relative latency: σ 4684 µs, p50 0, p95 0, p99 30000, max 30000 µs\n"
                                   "Clock drift: board 0.0 ppm against the host\n"
                                   "Lost: 3, damaged: 1, clock restarts: 0"));

        window->showFrame(15);
        QTest::keyClick(window.get(), Qt::Key_I);
        window->showFrame(25);
        QTest::keyClick(window.get(), Qt::Key_O);
        QCOMPARE(figuresText(*window),
                 QString::fromUtf8("Stretch: frames 16 to 26\n"
                                   "Frames: 11\n"
                                   "Nominal period: 40000 µs (median of the last 10 s)\n"
                                   "Board interval jitter: σ 0 µs, p50 0, p95 0, p99 0, max 0 µs\n"
                                   "Arrival interval jitter: σ 12792 µs, p50 0, p95 30000, p99 30000, max 30000 µs\n"
                                   "Late frames: 1 (at the board 0, on the way 1)\n"
                                   "Relative latency: σ 8624 µs, p50 0, p95 30000, p99 30000, max 30000 µs\n"
                                   "Clock drift: not known\n"
                                   "Lost: 0, damaged: 0, clock restarts: 0"));
        QTest::keyClick(window.get(), Qt::Key_T);
        QVERIFY(!window->timingShown());

        auto *intervals = child<TimingPlot>(window.get(), "boardIntervalPlot");
        auto *latencies = child<TimingPlot>(window.get(), "latencyPlot");
        QVERIFY(intervals->isVisible() && latencies->isVisible());
        for (TimingPlot *plot : {intervals, latencies}) {
            const qint64 frame = plot == intervals ? 17 : 38;
            const QRect area = plot->plotArea();
            const int column = int(std::lround(double(frame) * (area.width() - 1) / 39.0));
            QTest::mouseClick(plot, Qt::LeftButton, {}, QPoint(area.left() + column, area.center().y()));
            QCOMPARE(window->currentFrame(), frame);
            QCOMPARE(child<QSlider>(window.get(), "frameSlider")->value(), frame);
        }
    }

    // A wire dump, small or of more frames than the window reads at once (those are read aside
    // while the first frame shows): it keeps no arrival, so there is no latency to plot; the
    // frame cut short counts as damaged once the marks scan has judged its payload.
    void wireDump_data()
    {
        QTest::addColumn<int>("frames");
        QTest::newRow("read at once") << 100;
        QTest::newRow("read aside") << int(SourceTimingView::ReadOnWindowThreadFrames) + 1000;
    }

    void wireDump()
    {
        QFETCH(int, frames);
        const bool aside = frames > SourceTimingView::ReadOnWindowThreadFrames;
        QByteArray dump;
        for (int i = 0; i < frames; ++i) {
            const qint64 boardUs = 1000000 + qint64(i + (i >= frames / 2 ? 2 : 0)) * PeriodUs;
            const QByteArray pixels = i == frames * 7 / 10 ? GrayPixels.left(5) : GrayPixels;
            FrameRecord r = makeRecord(BoardProtocol::FormatGray, 4, 2, pixels, qint32(boardUs / 1000000));
            r.timestamp_us = qint32(boardUs % 1000000);
            dump += r.toBytes();
        }
        QTemporaryDir dir;
        writeFile(dir.filePath("dump.bin"), dump);
        const auto window = windowOn(dir.filePath("dump.bin"));
        QVERIFY(window);
        QCOMPARE(window->timingView()->isKnown(), !aside);
        if (aside)
            QCOMPARE(labelText(window.get(), "timingFigures"), QStringLiteral("Reading the times of %1 frames...").arg(frames));
        QVERIFY(QTest::qWaitForWindowActive(window.get()));
        QTest::keyClick(window.get(), Qt::Key_T);
        QTRY_VERIFY_WITH_TIMEOUT(window->timingView()->isKnown() && window->marksComplete(), WaitMs);
        QCOMPARE(figuresText(*window),
                 QString::fromUtf8("All %1 frames\n"
                                   "Frames: %1\n"
                                   "Nominal period: 40000 µs (median of the last 10 s)\n"
                                   "Board interval jitter: σ 0 µs, p50 0, p95 0, p99 0, max 0 µs\n"
                                   "Arrival interval jitter: not known\n"
                                   "Late frames: 0 (at the board 0, on the way 0)\n"
                                   "Relative latency: not known\n"
                                   "Clock drift: not known\n"
                                   "Lost: 2, damaged: 1, clock restarts: 0").arg(frames));
        QVERIFY(child<TimingPlot>(window.get(), "boardIntervalPlot")->isVisible());
        QVERIFY(!child<TimingPlot>(window.get(), "latencyPlot")->isVisible());
    }
};

QTEST_MAIN(tst_InspectorTiming)
#include "tst_inspectortiming.moc"
