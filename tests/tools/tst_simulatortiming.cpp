#include "FrameParser.h"
#include "StreamStatistics.h"
#include "StreamTiming.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <cmath>

namespace {

constexpr int NetworkTimeoutMs = 20000;
// How far this machine's scheduling may move a frame, for the figures that depend on it.
constexpr qint64 SchedulingSlackUs = 40000;

QString describe(const TimingFigures &figures)
{
    return QLatin1Char('\n') + figures.text();
}

} // namespace

// The simulator's timing faults as a viewer's stream timing sees them: each fault shows where it
// belongs (the board, the way) and nowhere else.
class TestSimulatorTiming : public QObject
{
    Q_OBJECT

private slots:
    // Every 10th frame held 150 ms, longer than the period, so the next frame queues behind it:
    // exactly the held frames are late on the way, none at the board, and the worst latency is
    // the hold. 10 fps, as a frame counts as late past 1.5 periods, and a busy machine's own
    // delays stay well under 50 ms.
    void lateFrames()
    {
        constexpr int Frames = 30, LateMs = 150;
        const TimingFigures figures = timingOf(QStringLiteral("--fault-late-every 10 --late-ms %1").arg(LateMs), 10, Frames);
        QCOMPARE(figures.frames, Frames);
        QVERIFY2(figures.lateOnArrival == Frames / 10 && figures.lateAtBoard == 0,
                 qPrintable(describe(figures)));
        QVERIFY2(figures.latency.p99Us >= LateMs * 1000 - 1000 && figures.latency.p99Us < LateMs * 1000 + SchedulingSlackUs,
                 qPrintable(describe(figures)));
    }

    // Timestamps jittering by up to 20 ms at 10 fps (well above this machine's scheduling noise,
    // under a quarter of the period, so the clock neither goes back nor reads as losing frames):
    // the board's intervals spread as the difference of two such draws does (sigma 20 ms x
    // sqrt(2/3)), the arrivals far less.
    void jitteringClock()
    {
        constexpr int JitterUs = 20000, Frames = 30;
        const TimingFigures figures = timingOf(QStringLiteral("--jitter-us %1").arg(JitterUs), 10, Frames);
        QCOMPARE(figures.frames, Frames);
        QVERIFY2(figures.boardJitter.maxUs > 0 && figures.boardJitter.maxUs <= 2 * JitterUs + SchedulingSlackUs
                     && std::abs(figures.boardJitter.sigmaUs - JitterUs * std::sqrt(2.0 / 3)) < JitterUs * 0.4,
                 qPrintable(describe(figures)));
        QVERIFY2(figures.arrivalJitter.sigmaUs < figures.boardJitter.sigmaUs / 2 && figures.clockRestarts == 0,
                 qPrintable(describe(figures)));
    }

    // A board clock 2 % fast. 4 s, as the drift is fitted to one minimum a second.
    void driftingClock()
    {
        constexpr int DriftPpm = 20000, Frames = 80;
        const TimingFigures figures = timingOf(QStringLiteral("--drift-ppm %1").arg(DriftPpm), 20, Frames);
        QCOMPARE(figures.frames, Frames);
        QVERIFY2(figures.driftKnown && std::abs(figures.driftPpm - DriftPpm) < DriftPpm * 0.2,
                 qPrintable(describe(figures)));
    }

private:
    TimingFigures timingOf(const QString &faults, int fps, int frames);
};

// Runs the simulator with these faults for this many frames; the timing of what a stream client
// received. Fails the test (empty figures) if the run goes wrong.
TimingFigures TestSimulatorTiming::timingOf(const QString &faults, int fps, int frames)
{
    QProcess simulator;
    simulator.start(QStringLiteral(BREVANT_SIMULATOR),
                    QStringLiteral("--video-port 0 --command-port 0 --width 16 --height 8 --fps %1 --frames %2 ")
                            .arg(fps)
                            .arg(frames)
                        .split(u' ')
                        + faults.split(u' '));
    QByteArray printed;
    const bool listening = QTest::qWaitFor([&] { return (printed += simulator.readAllStandardOutput()).contains('\n'); },
                                           NetworkTimeoutMs);
    const QRegularExpressionMatch port = QRegularExpression(QStringLiteral(":(\\d+) ")).match(QString::fromUtf8(printed));
    if (!listening || !port.hasMatch()) {
        QTest::qFail(qPrintable("The simulator did not start: " + printed + simulator.readAllStandardError()), __FILE__, __LINE__);
        return {};
    }

    QTcpSocket socket;
    FrameParser parser;
    StreamStatistics statistics(0);
    statistics.setFrameRate(fps);
    parser.setDevice(&socket);
    parser.setStatistics(&statistics);
    QObject::connect(&socket, &QTcpSocket::readyRead, &socket, [&] { parser.process(); });
    socket.connectToHost(QHostAddress::LocalHost, quint16(port.captured(1).toUInt()));
    // The simulator ends the run once the last frame, held or not, has gone out.
    const bool ended = QTest::qWaitFor([&] { return simulator.state() == QProcess::NotRunning
                                                    && socket.state() == QAbstractSocket::UnconnectedState; },
                                       NetworkTimeoutMs);
    if (!ended || simulator.exitCode() != 0 || statistics.timing().size() != frames) {
        QTest::qFail(qPrintable(QStringLiteral("The run did not end with %1 frames: %2 arrived")
                                    .arg(frames)
                                    .arg(statistics.timing().size())),
                     __FILE__, __LINE__);
        return {};
    }
    return statistics.timing().figures();
}

QTEST_GUILESS_MAIN(TestSimulatorTiming)
#include "tst_simulatortiming.moc"
