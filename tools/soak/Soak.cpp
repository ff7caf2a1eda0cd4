#include "Soak.h"

#include "BoardProtocol.h"
#include "JpegEncoder.h"
#include "RawConvert.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QImageReader>
#include <QPixmap>

#include <cstdio>
#include <cstring>

namespace {

const QString Prefix = QStringLiteral("soak_");

// The sanitizer's quarantine holds on to freed memory: its RSS says nothing about leaks.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool UnderAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool UnderAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool UnderAddressSanitizer = false;
#endif

qint64 residentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (QByteArray line = status.readLine(); !line.isEmpty(); line = status.readLine()) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// The picture a raw frame has to give; a null image for JPEG, which is only checked for its size.
QImage expectedPicture(const FrameSlot &frame, FrameDecoder &jpegReference)
{
    QImage picture;
    if (frame.format == BoardProtocol::FormatJpg) {
        jpegReference.decode(frame, picture);
        return picture;
    }
    const auto *pixels = reinterpret_cast<const uchar *>(frame.payload.constData());
    if (frame.format == BoardProtocol::FormatGray)
        return QImage(pixels, frame.width, frame.height, frame.width, QImage::Format_Grayscale8)
            .convertToFormat(QImage::Format_RGB32);
    picture = QImage(frame.width, frame.height, QImage::Format_RGB32);
    if (picture.isNull()
        || convertRawToXrgb32(pixels, size_t(frame.payload.size()), frame.format, frame.width,
                              frame.height, reinterpret_cast<uint32_t *>(picture.bits()),
                              size_t(picture.sizeInBytes()))
               < 0)
        return QImage();
    return picture;
}

double mib(qint64 kib)
{
    return double(kib) / 1024.0;
}

} // namespace

Soak::Soak(const SoakOptions &soakOptions) : options(soakOptions)
{
    warmup = options.warmupFrames >= 0 ? options.warmupFrames
                                       : qMax<qint64>(1000, options.frames / 10);
    server.pattern().setJpegEncoder(encodeJpeg);
    server.setRandomSeed(options.seed);
    server.setFaults(options.faults);
    server.setConfiguration(TestPattern::Gray, BoardProtocol::VgaSize.width, BoardProtocol::VgaSize.height, 0);
    connect(&server, &VideoServer::recordSent, this, &Soak::recordSent);
    connect(&server, &VideoServer::clientConnected, this, [this] {
        ++connections;
        model.connectionStarted();
    });
    connect(&server, &VideoServer::framesSent, this, [this] {
        serverDone = true;
        server.closeConnections();
    });

    reconnectTimer.setSingleShot(true);
    reconnectTimer.setInterval(options.reconnectDelayMs);
    connect(&reconnectTimer, &QTimer::timeout, this, [this] {
        if (serverDone) {
            QCoreApplication::exit(0);
            return;
        }
        ++reconnects;
        stream->reconnect();
    });
}

bool Soak::run()
{
    if (!folder.isValid() || !server.listen(QHostAddress(QHostAddress::LocalHost), 0)) {
        std::printf("Soak: cannot set up: %s\n", qPrintable(server.errorString()));
        return false;
    }
    clock.start();
    rssFirstKiB = residentKiB();
    stream = std::make_unique<imageStream>(QStringLiteral("127.0.0.1"), server.serverPort());
    // The window's handler: convert (and capture) every completed frame.
    connect(stream.get(), &imageStream::imageIsReady, this, &Soak::frameReady);
    connect(stream.get(), &imageStream::capture_in_progress, this, [this](const QString &text) {
        const QString number = text.section(QLatin1Char(' '), -1);
        if (reportedNumber >= 0 || !text.startsWith(QLatin1String("Capturing image... ")))
            fail(QStringLiteral("unexpected capture report \"%1\"").arg(text));
        reportedNumber = number.toInt();
    });
    // Losses come as socket errors; the window's delayed reconnect, with a short delay.
    connect(stream.get(), &imageStream::new_socket_error, this, &Soak::connectionLost);
    startCaptureMode();
    server.sendFrames(int(options.frames));
    QCoreApplication::exec();

    stream->stopCapture();
    model.finish();
    if (!stopped) {
        if (!model.expected.empty())
            fail(QStringLiteral("%1 frames the client should have completed never came")
                     .arg(model.expected.size()));
        // Every record that arrived whole is a completed frame.
        if (sentIntact != completedIntact || sentCorruptJpeg != completedCorruptJpeg
            || model.intactLost + model.damagedLost > 0)
            fail(QStringLiteral("intact frames: %1 sent, %2 completed; corrupt JPEG: %3 sent, %4 "
                                "completed")
                     .arg(sentIntact).arg(completedIntact).arg(sentCorruptJpeg).arg(completedCorruptJpeg));
        if (sentIntact != server.statistics().recordsIntact)
            fail(QStringLiteral("the simulator counts %1 intact records, the soak %2")
                     .arg(server.statistics().recordsIntact).arg(sentIntact));
        if (filesReported != filesWritten)
            fail(QStringLiteral("%1 files reported, %2 written").arg(filesReported).arg(filesWritten));
        const bool rssMeaningful = rssStartKiB >= 0 && !UnderAddressSanitizer;
        if (rssMeaningful && mib(rssPeakKiB - rssStartKiB) > options.maxRssGrowthMiB)
            fail(QStringLiteral("RSS grew by %1 MiB after warm-up (bound %2 MiB)")
                     .arg(mib(rssPeakKiB - rssStartKiB), 0, 'f', 1).arg(options.maxRssGrowthMiB));
    }
    printSummary(double(clock.elapsed()) / 1000.0);
    return failures.isEmpty();
}

void Soak::recordSent(const FrameRecord &record, bool intact)
{
    ++progress;
    if (server.clientCount() != 1)
        fail(QStringLiteral("a record went out with %1 connections open").arg(server.clientCount()),
             true);
    const qint64 garbage = server.statistics().garbageBytes - garbageSeen;
    if (garbage > 0) {
        garbageSeen += garbage;
        ++garbageRuns;
        model.garbage(garbage);
    }
    model.record(sent, record, intact);
    ++sent;
    if (intact)
        ++sentIntact;
    else if (!record.size)
        ++sentCorruptJpeg;
    else if (*record.size < 0 || *record.size > BoardProtocol::MaxPayloadBytes)
        ++sentBadSize;
    else
        ++sentCut;

    if (options.frames >= 10 && sent % (options.frames / 10) == 0) {
        std::printf("%7lld sent, %7lld completed, %4lld connections, RSS %.1f MiB, %.0f s\n",
                    sent, completed, connections, mib(residentKiB()), clock.elapsed() / 1000.0);
        std::fflush(stdout);
    }
}

void Soak::frameReady()
{
    ++progress;
    if (stopped)
        return;
    if (model.expected.empty()) {
        fail(QStringLiteral("frame %1 completed, but nothing was left to complete").arg(completed), true);
        return;
    }
    const StreamModel::Frame expected = std::move(model.expected.front());
    model.expected.pop_front();

    reportedNumber = -1;
    const QPixmap shown = stream->currentPixmap();
    const FrameSlot &frame = stream->completedFrame();
    const std::array<qint32, BoardProtocol::HeaderFields> fields = {frame.format, frame.reserved, frame.width, frame.height,
                                          frame.size, frame.timestamp_s, frame.timestamp_us};
    const QByteArray sensors = QByteArray(frame.CLum, BoardProtocol::SensorBlockBytes)
                               + QByteArray(frame.CPos, BoardProtocol::SensorBlockBytes);
    if (fields != expected.fields || sensors != expected.sensors
        || frame.payload.size() != frame.size
        || (expected.record >= 0 && frame.payload != expected.payload)) {
        fail(QStringLiteral("frame %1 (record %2, format %3 %4x%5, size %6) differs from what "
                            "was sent: format %7 %8x%9, size %10, %11 payload bytes")
                 .arg(completed).arg(expected.record).arg(expected.fields[0])
                 .arg(expected.fields[2]).arg(expected.fields[3]).arg(expected.fields[4])
                 .arg(frame.format).arg(frame.width).arg(frame.height).arg(frame.size)
                 .arg(frame.payload.size()),
             true);
        return;
    }
    ++completed;
    if (expected.intact) {
        ++completedIntact;
        const QImage picture = expectedPicture(frame, jpegReference);
        if (!stream->lastFrameResult().shown() || shown.toImage() != picture)
            fail(QStringLiteral("intact frame %1 (record %2) not shown").arg(completed - 1).arg(expected.record));
        else
            ++shownIntact;
    } else if (expected.record >= 0) {
        ++completedCorruptJpeg;
    }
    checkCapture(expected, frame);

    if (completed % options.captureCycle == 0) {
        rawCapture = !rawCapture;
        startCaptureMode();
    }
    if (completed % 100 == 0)
        sampleRss();
}

void Soak::checkCapture(const StreamModel::Frame &expected, const FrameSlot &frame)
{
    QDir dir(folder.path());
    const QStringList files = dir.entryList(QDir::Files);
    filesWritten += files.size();
    const QString extension = rawCapture ? QStringLiteral("bvt") : QStringLiteral("bmp");
    const QString name = Prefix + QString::number(reportedNumber) + QLatin1Char('.') + extension;
    if (reportedNumber >= 0) {
        ++filesReported;
        if (reportedNumber != captureNumber++)
            fail(QStringLiteral("file number %1 reported, %2 due").arg(reportedNumber).arg(captureNumber - 1));
        if (files != QStringList{name}) {
            fail(QStringLiteral("%1 reported, on disk: %2").arg(name, files.join(QLatin1Char(' '))));
        } else if (rawCapture || frame.format == BoardProtocol::FormatJpg) {
            QFile file(dir.filePath(name));
            const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
            if (bytes != frame.payload || (expected.record >= 0 && bytes != expected.payload))
                fail(QStringLiteral("%1 (record %2) differs from the payload").arg(name).arg(expected.record));
            else if (expected.record >= 0)
                ++byteExact;
        } else {
            QImageReader reader(dir.filePath(name));
            if (reader.format() != "bmp" || reader.size() != QSize(frame.width, frame.height))
                fail(QStringLiteral("%1 is no %2x%3 BMP picture").arg(name).arg(frame.width).arg(frame.height));
            else
                ++picturesChecked;
        }
    } else if (!files.isEmpty()) {
        fail(QStringLiteral("written but not reported: %1").arg(files.join(QLatin1Char(' '))));
    }
    if (expected.record >= 0) {
        if (reportedNumber < 0)
            fail(QStringLiteral("record %1 completed but not captured").arg(expected.record));
        else
            ++capturedWellFormed;
    }
    for (const QString &file : files)
        dir.remove(file);
}

void Soak::startCaptureMode()
{
    stream->stopCapture();
    stream->startCapture(folder.path(), Prefix, rawCapture ? QStringLiteral("bvt") : QStringLiteral("bmp"),
                         rawCapture);
    captureNumber = 0;
}

void Soak::connectionLost()
{
    if (!reconnectTimer.isActive())
        reconnectTimer.start();
}

void Soak::sampleRss()
{
    if (completed < warmup)
        return;
    const qint64 rss = residentKiB();
    if (rssStartKiB < 0)
        rssStartKiB = rss;
    rssPeakKiB = qMax(rssPeakKiB, rss);
    rssEndKiB = rss;
}

void Soak::fail(const QString &message, bool stop)
{
    if (failures.size() < 20)
        std::printf("FAIL: %s\n", qPrintable(message));
    failures << message;
    if (stop && !stopped) {
        stopped = true;
        QCoreApplication::exit(1);
    }
}

void Soak::printSummary(double seconds) const
{
    std::printf("\nSoak of %lld frames, seed %u\n", options.frames, options.seed);
    std::printf("Frames sent        %lld: %lld intact, %lld corrupt JPEG, %lld bad size, %lld cut off; "
                "%lld garbage runs (%lld bytes)\n",
                sent, sentIntact, sentCorruptJpeg, sentBadSize, sentCut, garbageRuns, garbageSeen);
    std::printf("Connections        %lld (%lld reconnects), %lld ended inside a record\n",
                connections, reconnects, model.cuts);
    std::printf("Frames completed   %lld: %lld intact, %lld corrupt JPEG, %lld other\n", completed,
                completedIntact, completedCorruptJpeg, completed - completedIntact - completedCorruptJpeg);
    std::printf("Intact, shown      %lld of %lld completed (pixel-exact); "
                "%lld intact and %lld corrupt JPEG records lost\n",
                shownIntact, completedIntact, model.intactLost, model.damagedLost);
    std::printf("Capture            %lld files reported, %lld written: %lld payload files byte-exact "
                "copies of a sent record, %lld pictures of the frame's size; %lld of %lld completed "
                "sent records captured\n",
                filesReported, filesWritten, byteExact, picturesChecked, capturedWellFormed,
                completedIntact + completedCorruptJpeg);
    if (rssStartKiB >= 0)
        std::printf("RSS                %.1f MiB at start, %.1f after %lld warm-up frames, peak %.1f, "
                    "end %.1f (growth %.1f MiB, bound %.0f)\n",
                    mib(rssFirstKiB), mib(rssStartKiB), warmup, mib(rssPeakKiB), mib(rssEndKiB),
                    mib(rssPeakKiB - rssStartKiB), options.maxRssGrowthMiB);
    else
        std::printf("RSS                not checked: the run ended within the %lld warm-up frames\n", warmup);
    std::printf("Run time           %.1f s, %.0f frames/s\n", seconds, double(sent) / qMax(seconds, 0.001));
    std::printf("Result             %s\n", failures.isEmpty() ? "PASS" : qPrintable(QStringLiteral("FAIL (%1 failures)").arg(failures.size())));
    std::fflush(stdout);
}
