#include "FileBytes.h"
#include "FrameRecord.h"
#include "FrameSourceFor.h"
#include "FrameStorage.h"
#include "Frames.h"
#include "JpegEncoder.h"
#include "MatroskaReader.h"
#include "MatroskaSource.h"
#include "MatroskaWriter.h"
#include "RawConvert.h"
#include "RecentFramesSource.h"
#include "RecordIndex.h"
#include "RecordingFolderSource.h"
#include "RecordingNames.h"
#include "RecordingSession.h"
#include "StreamStatistics.h"
#include "WireDumpSource.h"

#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <thread>
#include <sys/resource.h>

using namespace BoardProtocol;

Q_DECLARE_METATYPE(FrameStorage::Kind)

namespace {

constexpr qint64 PeriodUs = 33367;
constexpr int SessionTimeoutMs = 120000;
constexpr int WaitMs = 30000;
// Board times of the test frames after the first: a burst 0.1 ms and 1 ms apart that shares a
// cluster, then a gap of three frame periods, then two frames 5 µs apart.
const QList<qint64> OffsetsUs = { 0, 101, 1102, 1102 + PeriodUs, 1102 + 4 * PeriodUs, 1102 + 5 * PeriodUs,
                                  1102 + 6 * PeriodUs, 1102 + 6 * PeriodUs + 5, 1102 + 7 * PeriodUs };
// 20 ms before a whole second, so that the microseconds wrap within the burst's cluster.
constexpr qint64 StartUs = 41 * 1000000LL + 980000;

FrameSlot makeFrame(int format, int width, int height, int index, qint64 boardTimeUs)
{
    FrameSlot frame = frameOf(format, width, height);
    if (format == FormatJpg) {
        QByteArray rgb(width * height * 3, Qt::Uninitialized);
        for (int i = 0; i < rgb.size(); ++i)
            rgb[i] = char(i * 5 + index * 40);
        frame.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 90);
    } else {
        frame.payload.resize(format == FormatGray ? width * height : int(rawPayloadSize(format, width, height)));
        for (int i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] = char(i * 3 + index * 17);
    }
    frame.size = qint32(frame.payload.size());
    frame.timestamp_s = qint32(boardTimeUs / 1000000);
    frame.timestamp_us = qint32(boardTimeUs % 1000000);
    for (int i = 0; i < SensorBlockBytes; ++i) {
        frame.CLum[i] = char(index * 32 + i);
        frame.CPos[i] = char(index * 32 + SensorBlockBytes + i);
    }
    return frame;
}

QList<FrameSlot> clip(int format, int width, int height, int frames = int(OffsetsUs.size()), qint64 startUs = StartUs)
{
    QList<FrameSlot> list;
    for (int i = 0; i < frames; ++i)
        list << makeFrame(format, width, height, i, startUs + OffsetsUs.value(i, OffsetsUs.last() + i * PeriodUs));
    return list;
}

QByteArray payloads(const QList<FrameSlot> &frames, qsizetype count)
{
    QByteArray all;
    for (qsizetype i = 0; i < count; ++i)
        all += frames[i].payload;
    return all;
}

// Every field a reader gives back, and how the frame was recorded where the reader knows, for
// whole-list comparisons.
QByteArray describe(const FrameSlot &frame, const QString &status = {}, const QDateTime &arrival = {}, bool picture = false)
{
    return QByteArray::number(frame.format) + ' ' + QByteArray::number(frame.width) + 'x'
           + QByteArray::number(frame.height) + ' ' + QByteArray::number(frame.size) + ' '
           + QByteArray::number(frame.timestamp_s) + '.' + QByteArray::number(frame.timestamp_us) + ' '
           + QByteArray(frame.CLum, SensorBlockBytes).toHex() + ' ' + QByteArray(frame.CPos, SensorBlockBytes).toHex()
           + ' ' + frame.payload.toHex() + (status.isEmpty() ? "" : " " + status.toUtf8())
           + (arrival.isNull() ? "" : " at " + arrival.toString(Qt::ISODateWithMs).toUtf8()) + (picture ? " picture" : "");
}

// Every frame of an opened source, as a user would see it, or why it cannot be read.
QByteArrayList described(FrameSource &source)
{
    QByteArrayList list;
    FrameSlot frame;
    for (qint64 i = 0; i < source.count(); ++i)
        list << (source.frame(i, frame) ? describe(frame, source.recordedStatus(i), source.arrival(i), !source.picture(i).isNull())
                                        : source.errorString().toUtf8());
    return list;
}

QByteArrayList described(const QList<FrameSlot> &frames)
{
    QByteArrayList list;
    for (const FrameSlot &frame : frames)
        list << describe(frame);
    return list;
}

QByteArrayList readBack(const QString &path)
{
    MatroskaReader reader;
    QByteArrayList list;
    if (!reader.open(path))
        return { "open failed: " + reader.errorString().toUtf8() };
    for (qint64 i = 0; i < reader.frameCount(); ++i) {
        FrameSlot frame;
        list << (reader.frame(i, frame) ? describe(frame) : reader.errorString().toUtf8());
    }
    return list;
}

QByteArray ffmpegCopy(const QString &path)
{
    return runProgram("ffmpeg", { "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "rawvideo", "-" }).out;
}

bool writeAll(MatroskaWriter &writer, const QString &path, const QList<FrameSlot> &frames)
{
    const FrameSlot &first = frames.first();
    if (!writer.open(path, first.format, first.width, first.height))
        return false;
    for (const FrameSlot &frame : frames)
        if (writer.writeFrame(frame) < 0)
            return false;
    return writer.close();
}

// The frame as a board sends it.
QByteArray wireBytes(const FrameSlot &frame)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << FrameMagic << frame.format << frame.reserved << frame.width << frame.height << frame.size
        << frame.timestamp_s << frame.timestamp_us;
    return bytes + QByteArray(frame.CLum, SensorBlockBytes) + QByteArray(frame.CPos, SensorBlockBytes) + frame.payload;
}

// "file status frame_in_file" of each row.
QStringList rowsOf(const QString &indexPath)
{
    const RecordIndex::Contents contents = RecordIndex::read(indexPath);
    QStringList rows;
    for (const RecordIndex::Row &row : contents.rows)
        rows << QStringLiteral("%1 %2 %3").arg(row.file, row.status).arg(row.frameInFile);
    return rows;
}

struct Stored
{
    FrameSlot frame;
    QDateTime arrival;
    struct
    {
        QString file;
        QString status;
        qint64 place = -1;
    } stored;
};

// Frames of several formats and sizes, so that a recording runs over several Matroska files:
// Gray, a code never shown, UYVY, a JPEG and a JPEG cut short.
QList<FrameSlot> mixedClip()
{
    QList<FrameSlot> frames;
    const auto add = [&](qint32 format, int width, int height, const QByteArray &payload) {
        FrameSlot frame = frameOf(format, width, height, payload);
        const int i = int(frames.size());
        frame.timestamp_s = 50 + i;
        frame.timestamp_us = 1000 * i + 7;
        std::memcpy(frame.CLum, FrameRecord::sensorBlock(i, 2, 3, 4).constData(), sizeof frame.CLum);
        std::memcpy(frame.CPos, FrameRecord::sensorBlock(9, i, 8, 7).constData(), sizeof frame.CPos);
        frames << frame;
    };
    QByteArray gray(8 * 4, Qt::Uninitialized);
    for (int i = 0; i < gray.size(); ++i)
        gray[i] = char(i * 7);
    const QByteArray grey(16 * 8, char(90));
    const QByteArray jpeg = encodeJpeg(reinterpret_cast<const uint8_t *>(grey.constData()), 16, 8, 1, 90);
    add(BoardProtocol::FormatGray, 8, 4, gray);
    add(BoardProtocol::FormatGray, 8, 4, gray.right(16) + gray.left(16));
    add(7, 8, 4, "unshown");
    add(BoardProtocol::FormatGray, 8, 4, gray);
    add(BoardProtocol::FormatUyvy, 4, 2, QByteArray(16, char(128)));
    add(BoardProtocol::FormatJpg, 16, 8, jpeg);
    add(BoardProtocol::FormatJpg, 16, 8, jpeg.left(jpeg.size() / 2));
    add(BoardProtocol::FormatJpg, 16, 8, jpeg);
    return frames;
}

// The frames through a recording session, as the recorder stores them; what became of each as its
// index says. The session's own index is left for the test to write again.
QList<Stored> store(const QString &folder, FrameStorage::Kind storage, const QList<FrameSlot> &frames)
{
    StreamStatistics statistics;
    const RecordingNames names = RecordingNames::recorder(folder, QStringLiteral("bvtgrab_"));
    RecordingSession session(FrameStorage::make(storage, names), names.indexFile(), statistics);
    if (!session.open())
        return {};
    QSignalSpy finished(&session, &RecordingSession::finished);
    const auto arrival = [](int i) { return QDateTime::fromMSecsSinceEpoch(1700000000000 + 33 * i, Qt::UTC); };
    for (int i = 0; i < frames.size(); ++i)
        session.take(frames[i], arrival(i));
    session.finish();
    if (finished.isEmpty() && !finished.wait(WaitMs))
        return {};
    const RecordIndex::Contents index = RecordIndex::read(names.indexFile());
    QFile::remove(names.indexFile());
    QList<Stored> entries;
    for (int i = 0; i < frames.size() && size_t(i) < index.rows.size(); ++i) {
        const RecordIndex::Row &row = index.rows[size_t(i)];
        Stored entry{frames[i], arrival(i), {row.file, row.status, row.frameInFile}};
        entries << entry;
    }
    return entries;
}

// The recording's index, written as the recorder writes it.
bool writeIndex(const QString &path, const QList<Stored> &entries, bool frameInFile)
{
    RecordIndex index;
    if (!index.open(path, frameInFile))
        return false;
    for (int i = 0; i < entries.size(); ++i) {
        const Stored &entry = entries[i];
        index.addRow({i, entry.stored.file, entry.stored.status, entry.frame, true, entry.arrival, entry.stored.place});
    }
    return index.writePending();
}

// What the index of a Matroska recording says of each frame, with the payload of those stored.
QByteArrayList expected(const QList<Stored> &entries, bool withArrival = true)
{
    QByteArrayList list;
    for (const Stored &entry : entries) {
        FrameSlot frame = entry.frame;
        if (entry.stored.file.isEmpty())
            frame.payload.clear();
        list << describe(frame, entry.stored.status, withArrival ? entry.arrival : QDateTime());
    }
    return list;
}

} // namespace

class tst_Recording : public QObject
{
    Q_OBJECT

private slots:
    void readers_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<int>("width"); // of 5 rows
        QTest::addColumn<QByteArray>("codec"); // as ffprobe names it
        QTest::addColumn<QByteArray>("pixels"); // ffprobe's pixel format
        QTest::addColumn<qint64>("startUs"); // the first frame's board time
        QTest::newRow("JPEG") << int(FormatJpg) << 7 << QByteArray("mjpeg") << QByteArray("yuvj420p") << StartUs;
        QTest::newRow("Gray") << int(FormatGray) << 7 << QByteArray("rawvideo") << QByteArray("gray") << StartUs;
        QTest::newRow("UYVY") << int(FormatUyvy) << 6 << QByteArray("rawvideo") << QByteArray("uyvy422") << StartUs;
        QTest::newRow("YUV420") << int(FormatYuv420) << 7 << QByteArray("rawvideo") << QByteArray("yuv420p") << StartUs;
        QTest::newRow("NV12") << int(FormatNv12) << 7 << QByteArray("rawvideo") << QByteArray("nv12") << StartUs;
        QTest::newRow("Gray, the board's clock in its last second")
            << int(FormatGray) << 7 << QByteArray("rawvideo") << QByteArray("gray") << qint64(UINT32_MAX) * 1000000;
    }

    void readers()
    {
        QFETCH(int, format);
        QFETCH(int, width);
        QFETCH(QByteArray, codec);
        QFETCH(QByteArray, pixels);
        QFETCH(qint64, startUs);
        const QList<FrameSlot> frames = clip(format, width, 5, int(OffsetsUs.size()), startUs);
        const QString path = dir.filePath(QStringLiteral("readers%1.mkv").arg(format));
        MatroskaWriter writer;
        QVERIFY2(writeAll(writer, path, frames), qPrintable(writer.errorString()));
        QCOMPARE(writer.framesWritten(), frames.size());

        QCOMPARE(readBack(path), described(frames));

        if (!have("ffprobe") || !have("ffmpeg") || !have("mkvinfo"))
            QSKIP("ffmpeg or mkvtoolnix is not installed");
        const ProgramRun probe = runProgram("ffprobe", { "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                                           "stream=codec_name,width,height,pix_fmt,nb_read_packets", "-of",
                                           "default=noprint_wrappers=1", path });
        QCOMPARE(probe.err, QByteArray());
        QCOMPARE(probe.out, "codec_name=" + codec + "\nwidth=" + QByteArray::number(width) + "\nheight=5\npix_fmt=" + pixels
                                + "\nnb_read_packets=9\n");

        QByteArray times;
        for (qint64 offset : OffsetsUs)
            times += QByteArray::number(offset / 1e6, 'f', 6) + '\n';
        // The file lasts until the last frame's period is over, as long as the one before it.
        const qint64 durationUs = 2 * OffsetsUs.last() - OffsetsUs[OffsetsUs.size() - 2];
        times += QByteArray::number(durationUs / 1e6, 'f', 6) + '\n';
        const ProgramRun packets = runProgram("ffprobe", { "-v", "error", "-select_streams", "v:0", "-show_entries",
                                             "packet=pts_time:format=duration", "-of", "default=noprint_wrappers=1:nokey=1", path });
        QCOMPARE(packets.out, times);

        QCOMPARE(ffmpegCopy(path), payloads(frames, frames.size()));

        // An independent reader of the sensor blocks: mkvinfo's dump of each block addition.
        const ProgramRun info = runProgram("mkvinfo", { "-v", "-v", "-v", "-X", path });
        QCOMPARE(info.exitCode, 0);
        QByteArrayList additions;
        QList<qint64> clusters, cued; // each cue names a cluster's place, counted from the segment's data
        QByteArrayList seekHead;          // "(KaxTracks) 256": each entry's element and where it points
        QHash<QByteArray, qint64> placeOf; // of the segment's children, by mkvinfo's name
        qint64 segmentData = 0;
        for (const QByteArray &line : info.out.split('\n')) {
            const QByteArrayList words = line.simplified().split(' ');
            if (line.contains("+ Block additional: length 32, data: "))
                additions << line.mid(line.indexOf("data: ") + 6, 5 * SensorBytes - 1).replace("0x", "");
            else if (line.startsWith("+ Segment:"))
                segmentData = words.last().toLongLong() + 12; // after its id and 8-byte size
            else if (line.contains("+ Cue cluster position: "))
                cued << segmentData + words.at(words.size() - 3).toLongLong();
            else if (line.contains("+ Seek ID: "))
                seekHead << words.at(words.size() - 3);
            else if (line.contains("+ Seek position: "))
                seekHead.last() += ' ' + QByteArray::number(segmentData + words.at(words.size() - 3).toLongLong());
            else if (line.startsWith("|+ ") && words.size() > 2)
                placeOf[line.mid(3, line.lastIndexOf(" at ") - 3)] = words.last().toLongLong();
            if (line.startsWith("|+ Cluster at "))
                clusters << words.last().toLongLong();
        }
        auto entry = [&](const char *id, const char *name) { return id + (' ' + QByteArray::number(placeOf.value(name, -1))); };
        QCOMPARE(seekHead, QByteArrayList({ entry("(KaxInfo)", "Segment information"), entry("(KaxTracks)", "Tracks"),
                                            entry("(KaxTags)", "Tags"), entry("(KaxCues)", "Cues") }));
        QByteArrayList expected;
        for (const FrameSlot &frame : frames)
            expected << (QByteArray(frame.CLum, SensorBlockBytes) + QByteArray(frame.CPos, SensorBlockBytes)).toHex(' ');
        QCOMPARE(additions, expected);
        QVERIFY(!cued.isEmpty() && std::all_of(cued.begin(), cued.end(), [&](qint64 at) { return clusters.contains(at); }));
    }

    // The largest payload a board may send is a frame; a byte more is no board's and is refused.
    void largestPayload()
    {
        const uint filesBefore = QDir(QStringLiteral("/proc/self/fd")).count();
        const QString path = dir.filePath(QStringLiteral("largest.mkv"));
        for (const int extra : {0, 1}) {
            FrameSlot frame = makeFrame(FormatGray, 2, 2, 0, StartUs);
            frame.payload = QByteArray(MaxPayloadBytes + extra, '\x7f');
            frame.size = qint32(frame.payload.size());
            MatroskaWriter writer;
            QVERIFY(writeAll(writer, path, {frame}));
            MatroskaReader reader;
            FrameSlot back;
            QCOMPARE(reader.open(path) && reader.frame(0, back) && back.payload == frame.payload, extra == 0);
        }
        // A file written over a larger one keeps nothing of it.
        const QList<FrameSlot> small = clip(FormatGray, 8, 4, 1);
        MatroskaWriter over, fresh;
        QVERIFY(writeAll(over, path, small) && writeAll(fresh, dir.filePath(QStringLiteral("fresh.mkv")), small));
        QCOMPARE(fileBytes(path), fileBytes(dir.filePath(QStringLiteral("fresh.mkv"))));
        // Opened again before it was closed, the writer finishes the first file.
        const QString first = dir.filePath(QStringLiteral("first.mkv"));
        MatroskaWriter twice;
        QVERIFY(twice.open(first, FormatGray, 8, 4) && twice.writeFrame(small.first()) == 0);
        QVERIFY(writeAll(twice, path, small));
        QCOMPARE(fileBytes(first), fileBytes(dir.filePath(QStringLiteral("fresh.mkv"))));
        QCOMPARE(QDir(QStringLiteral("/proc/self/fd")).count(), filesBefore); // every file closed once done
    }

    void writeFailure_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("fileLimitFrames"); // 0: no limit; -1, -2: where the whole file's index, its tags begin
        QTest::addColumn<int>("otherSizeAt");     // -1: every frame of one size
        QTest::addColumn<qint64>("written");
        QTest::addColumn<qint64>("lastTaken"); // the last frame's place, -1 if refused, -2 if none was offered
        QTest::addColumn<QString>("error");
        const QString tooLarge = QStringLiteral("cannot write %1: File too large");
        QTest::newRow("full device") << "/dev/full" << 0 << -1 << qint64(0) << qint64(-2)
                                     << "cannot write /dev/full: No space left on device";
        QTest::newRow("file size limit") << "limited.mkv" << 3 << -1 << qint64(2) << qint64(-1) << tooLarge;
        QTest::newRow("file size limit met by the last frame") << "closed.mkv" << 6 << -1 << qint64(5) << qint64(-1) << tooLarge;
        QTest::newRow("file size limit met by the index") << "indexed.mkv" << -1 << -1 << qint64(6) << qint64(5) << tooLarge;
        QTest::newRow("file size limit met by the first board time") << "untimed.mkv" << -2 << -1 << qint64(0) << qint64(-1) << tooLarge;
        QTest::newRow("frame of another size") << "switched.mkv" << 0 << 4 << qint64(4) << qint64(-1)
                                               << "cannot write %1: a 641x480 frame of format 1 does not belong in a file of 640x480 format 1";
    }

    // A full disk ends the file at its last complete cluster and names the file; a frame that does
    // not fit the file is refused and leaves it good.
    void writeFailure()
    {
        QFETCH(QString, path);
        QFETCH(int, fileLimitFrames);
        QFETCH(int, otherSizeAt);
        QFETCH(qint64, written);
        QFETCH(QString, error);
        if (!path.startsWith('/'))
            path = dir.filePath(path);
        QList<FrameSlot> frames;
        for (int i = 0; i < 6; ++i) // a frame period apart: a cluster each
            frames << makeFrame(FormatGray, i == otherSizeAt ? 641 : 640, 480, i, StartUs + i * PeriodUs);

        rlimit unlimited {};
        getrlimit(RLIMIT_FSIZE, &unlimited);
        if (fileLimitFrames != 0) {
            MatroskaWriter whole;
            const QString wholePath = dir.filePath(QStringLiteral("whole.mkv"));
            QVERIFY(fileLimitFrames > 0 || writeAll(whole, wholePath, frames));
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit = unlimited;
            limit.rlim_cur = fileLimitFrames > 0 ? rlim_t(fileLimitFrames) * frames[0].payload.size()
                                                 : rlim_t(fileBytes(wholePath).lastIndexOf(fileLimitFrames == -1 ? "\x1c\x53\xbb\x6b" : "\x12\x54\xc3\x67"));
            QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
        }
        MatroskaWriter writer;
        qint64 taken = -2;
        if (writer.open(path, FormatGray, 640, 480))
            for (const FrameSlot &frame : frames)
                if ((taken = writer.writeFrame(frame)) < 0)
                    break;
        QCOMPARE(writer.isOpen(), path != "/dev/full"); // a file whose head failed is not left open
        QCOMPARE(writer.errorString().isEmpty(), taken >= 0); // a failure is told when it happens
        const bool closed = writer.close();
        QVERIFY(!writer.flush()); // closed, nothing more goes in
        setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, SIG_DFL);

        QCOMPARE(writer.errorString(), QString(error).replace("%1", path));
        QCOMPARE(writer.framesWritten(), written);
        QCOMPARE(closed, otherSizeAt >= 0);
        QTEST(taken, "lastTaken");
        if (path == "/dev/full")
            return;
        QCOMPARE(readBack(path), written ? described(frames.mid(0, written))
                                         : QByteArrayList{"open failed: cannot read " + path.toUtf8() + ": it holds no whole frame"});
        if (!have("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        // What ffmpeg gives back is whole frames from the start, at least those written.
        const QByteArray copied = ffmpegCopy(path);
        bool whole = false;
        for (qsizetype count = written; count <= (otherSizeAt >= 0 ? otherSizeAt : frames.size()); ++count)
            whole = whole || copied == payloads(frames, count);
        QVERIFY(whole);
    }

    void refusedOpen_data()
    {
        QTest::addColumn<int>("format");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QString>("path"); // in the test's folder
        QTest::addColumn<QString>("error");
        QTest::newRow("hidden code") << 5 << QSize(640, 480) << "a.mkv" << "cannot write %1: frame format 5 has no Matroska codec";
        QTest::newRow("no size") << int(FormatGray) << QSize(640, 0) << "a.mkv" << "cannot write %1: no image size (640x0)";
        QTest::newRow("no width") << int(FormatGray) << QSize(0, 480) << "a.mkv" << "cannot write %1: no image size (0x480)";
        QTest::newRow("folder gone") << int(FormatGray) << QSize(640, 480) << "gone/a.mkv" << "cannot create %1: No such file or directory";
    }

    // Refused with the reason before any file is made.
    void refusedOpen()
    {
        QFETCH(int, format);
        QFETCH(QSize, size);
        QFETCH(QString, path);
        QFETCH(QString, error);
        path = dir.filePath(path);
        MatroskaWriter writer;
        QVERIFY(!writer.open(path, format, size.width(), size.height()));
        QCOMPARE(writer.errorString(), error.arg(path));
        QVERIFY(!writer.isOpen() && !QFile::exists(path));
        QCOMPARE(writer.writeFrame(makeFrame(format, size.width(), size.height(), 0, StartUs)), qint64(-1));
    }

    void otherFiles_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("ffmpegMakes"); // the file from ffmpeg, when given
        QTest::addColumn<QString>("error");
        QTest::addColumn<QByteArray>("firstFrame");
        const QStringList testPattern = { "-v", "error", "-f", "lavfi", "-i", "testsrc=size=8x6:rate=5", "-frames:v", "3" };
        QTest::newRow("missing") << QByteArray() << QStringList() << "cannot read %1: No such file or directory" << QByteArray();
        QTest::newRow("empty") << QByteArray("") << QStringList() << "cannot read %1: not a Matroska file" << QByteArray();
        QTest::newRow("garbage") << QByteArray(5000, '\x5a') << QStringList() << "cannot read %1: not a Matroska file" << QByteArray();
        QTest::newRow("head only") << QByteArray::fromHex("1a45dfa39b4286810142f7810142f2810442f381084282886d6174726f736b61")
                                   << QStringList() << "cannot read %1: no segment after the head" << QByteArray();
        QTest::newRow("MPEG-4 video") << QByteArray() << (testPattern + QStringList { "-c:v", "mpeg4" })
            << "cannot read %1: its video is \"V_MPEG4/ISO/ASP\", which this program does not show" << QByteArray();
        QTest::newRow("YUY2 video") << QByteArray() << (testPattern + QStringList { "-c:v", "rawvideo", "-pix_fmt", "yuyv422" })
                                         << "cannot read %1: its video is \"V_UNCOMPRESSED\" with colour space \"YUY2\", which this program does not show"
                                       << QByteArray();
        // Head, segment, a timestamp scale of one second, a 2x2 Y800 track, a cluster at 3 s with one block.
        QTest::newRow("one-second ticks") << QByteArray::fromHex("1a45dfa39b4286810142f7810142f2810442f381084282886d6174726f736b61"
                                                                 "1853806701ffffffffffffff1549a966882ad7b1843b9aca001654ae6ba8aea6d78101838101"
                                                                 "868e565f554e434f4d50524553534544e08eb08102ba81022eb5248459383030"
                                                                 "1f43b6758de78103a3888100008010203040")
                                          << QStringList() << QString() << QByteArray("1 2x2 4 3.0 ");
        QTest::newRow("grey video from ffmpeg") << QByteArray() << (testPattern + QStringList { "-c:v", "rawvideo", "-pix_fmt", "gray" })
                                                << QString() << QByteArray("1 8x6 48 0.0 ");
    }

    // Files this program did not write: a clear message, or the frames when it can show them.
    void otherFiles()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, ffmpegMakes);
        QFETCH(QString, error);
        QFETCH(QByteArray, firstFrame);
        const QString path = dir.filePath(QStringLiteral("other-%1.mkv").arg(QTest::currentDataTag()));
        if (!ffmpegMakes.isEmpty()) {
            if (!have("ffmpeg"))
                QSKIP("ffmpeg is not installed");
            QCOMPARE(runProgram("ffmpeg", ffmpegMakes + QStringList { "-y", path }).exitCode, 0);
        } else if (!bytes.isNull()) {
            writeFile(path, bytes);
        }
        const QByteArrayList frames = readBack(path);
        if (!error.isEmpty())
            QCOMPARE(frames, QByteArrayList{"open failed: " + error.arg(path).toUtf8()});
        else
            QCOMPARE(frames.size(), ffmpegMakes.isEmpty() ? 1 : 3);
        QVERIFY2(frames[0].startsWith(firstFrame), frames[0].left(60).constData());
    }

    void damaged_data()
    {
        QTest::addColumn<QString>("open");    // in the row's folder of good files; empty: the folder
        QTest::addColumn<QString>("damaged"); // the file damaged, none when empty
        QTest::addColumn<QByteArray>("at");   // the first of its bytes that are damaged
        QTest::addColumn<QByteArray>("put");  // what is written instead; null: the file ends before them
        QTest::addColumn<QString>("error");   // of open(); %1 the path opened
        QTest::addColumn<QByteArrayList>("frames"); // each frame read, or the reason it is not
        const auto row = [](const char *tag, const char *open, const char *damaged, const QByteArray &at,
                            const QByteArray &put, const QString &error, const QByteArrayList &frames) {
            QTest::newRow(tag) << open << damaged << at << put << error << frames;
        };
        const auto mkv = [&](const char *tag, const char *at, const char *put, const char *error,
                             const QList<FrameSlot> &frames) {
            row(tag, "rec.mkv", "rec.mkv", QByteArray::fromHex(at), put ? QByteArray::fromHex(put) : QByteArray(),
                error ? QStringLiteral("cannot read %1: ") + error : QString(), described(frames));
        };
        const QList<FrameSlot> good = clip(FormatGray, 8, 4);
        QList<FrameSlot> but1 = good, sensorless = good, earlier = good, back = good;
        but1.removeAt(1);
        std::memset(sensorless[3].CLum, 0, 2 * SensorBlockBytes);
        earlier[1].timestamp_us -= 202; // 101 µs before the first frame instead of after it
        back[4].timestamp_s = good[0].timestamp_s, back[4].timestamp_us = good[0].timestamp_us;
        QList<FrameSlot> untagged; // without the tag of its board time, time counts from the first frame
        for (int i = 0; i < good.size(); ++i)
            untagged << makeFrame(FormatGray, 8, 4, i, OffsetsUs[i]);
        // Damage found by its bytes in the writer's file: 1f43b675 and a size open a cluster, e783 its
        // time; a1a4 810065 opens frame 1's block (track 1, 101 µs), a5a0 6061 frame 3's sensor blocks.
        mkv("head's id", "1a45dfa3", "1a45dfa4", "not a Matroska file", {});
        mkv("cut in the head", "4282886d", nullptr, "not a Matroska file", {});
        mkv("document type", "6d6174726f736b61", "6d61747472657373", "not a Matroska file (document type \"mattress\")", {});
        mkv("timestamp scale 0", "2ad7b18203e8", "2ad7b1820000", "timestamp scale 0 ns is out of range", {});
        mkv("tracks' id", "1654ae6bb3", "1654ae6cb3", "a cluster comes before the tracks", {});
        mkv("cut before the tracks", "1654ae6bb3", nullptr, "no video track", {});
        mkv("cut in the tracks", "868e565f", nullptr, "no video track", {});
        mkv("audio track", "838101", "838102", "no video track", {});
        mkv("unknown codec", "565f554e434f4d50524553534544", "565f554e4b4e4f574e5f434f4445",
            "its video is \"V_UNKNOWN_CODE\", which this program does not show", {});
        mkv("no width", "b08108", "b08100", "its video has no usable size (0x4)", {});
        mkv("no height", "ba8104", "ba8100", "its video has no usable size (8x0)", {});
        // The lacing flag's three bytes make room for a width of four bytes; with the largest addition's id, of eight.
        mkv("width beyond an int", "9c810055ee8101868e565f554e434f4d50524553534544e08eb08108",
            "55ee8101868e565f554e434f4d50524553534544e091b08480000000", "its video has no usable size (2147483648x4)", {});
        mkv("width of eight bytes", "9c810055ee8101868e565f554e434f4d50524553534544e08eb08108",
            "868e565f554e434f4d50524553534544e095b0880000000000000008", nullptr, good);
        mkv("cut before the first cluster", "1f43b675", nullptr, "it holds no whole frame", {});
        mkv("cut in the second block", "1114171a", nullptr, nullptr, good.mid(0, 1));
        mkv("cut after a cluster", "1f43b675d3", nullptr, nullptr, good.mid(0, 3));
        mkv("block of another track", "a1a4810065", "a1a4820065", nullptr, but1);
        mkv("element of no known kind in a track", "9c810055ee", "8a810055ee", nullptr, good);
        mkv("element of no known kind in a cluster", "a0cda1a4810065", "8acda1a4810065", nullptr, but1);
        mkv("laced block", "a1a481006500", "a1a481006502", nullptr, but1);
        mkv("block shorter than its head", "a1a4810065", "a183810065", nullptr, but1);
        mkv("cluster of unknown size", "1f43b67540f0", "1f43b6757fff", nullptr, good);
        mkv("cluster size beyond the file", "1f43b67540f0", "1f43b6757ffe", nullptr, good);
        mkv("cluster size over the next", "1f43b675d3", "1f43b675fe", nullptr, good);
        mkv("addition of another size", "a5a06061", "a59f6061", nullptr, sensorless);
        mkv("addition of another id", "a5a06061", "ee810261", nullptr, sensorless);
        mkv("block before the first frame", "a1a4810065", "a1a481ff9b", nullptr, earlier);
        mkv("cluster time going back", "e783020daa", "e783000000", nullptr, back);
        mkv("index beyond the segment's end", "18538067010000000000044c", "185380670100000000000439", nullptr, good);
        mkv("second tracks, in place of the tags", "1254c367ae7373", "1654ae6bae7373", nullptr, untagged);

        // A recorder's capture of good[0] and good[1], and a wire dump of them.
        const auto stored = [](int i) { return " stored at 1970-01-01T00:00:01.00" + QByteArray::number(i) + "Z"; };
        const QByteArrayList two{ describe(good[0]) + stored(0), describe(good[1]) + stored(1) };
        FrameSlot cut = good[0], notStored = good[1];
        cut.payload.truncate(20);
        cut.size = 20;
        notStored.payload.clear(); // its size stays as the index gives it
        const QString unreadable = QStringLiteral("%1: line 3 of cap_index.csv cannot be read");
        row("no capture", "rec.mkv", "", "", "", "%1: not a captured frame (prefix, number, .jpg, .bmp or .bvt), nor a file that an index beside it names, nor an index", {});
        row("nothing there", "cap_7.bvt", "", "", "", "%1: no such file or folder", {});
        row("index without its file column", "", "cap_index.csv", "record,file,", "record,name,",
            "%1: cap_index.csv is not a recorder's index: its first line names no file column", {});
        row("empty index", "", "cap_index.csv", "0,cap", QByteArray(), "%1: the index cap_index.csv lists no frames", {});
        row("row short", "", "cap_index.csv", "Gray,8,4,32,41.980000", "Gray,8", "%1: line 2 of cap_index.csv has 8 fields, not 11", {});
        row("bad number", "", "cap_index.csv", "Gray,8,4,32,41.980101", "Gray,8x,4,32,41.980101", unreadable, {});
        row("unknown format", "", "cap_index.csv", "Gray,8,4,32,41.980101", "Grey,8,4,32,41.980101", unreadable, {});
        row("format as its code", "", "cap_index.csv", "Gray", "1", "", two);
        row("board time without decimals", "", "cap_index.csv", "41.980101", "41", unreadable, {});
        row("board time of 7 decimals", "", "cap_index.csv", "41.980101", "41.9801010", unreadable, {});
        row("board time of 2 decimals", "", "cap_index.csv", "41.980000", "41.98", "", two);
        row("sensor hex not hex", "", "cap_index.csv", "2021222324", "202122232g", unreadable, {});
        row("sensor hex short", "", "cap_index.csv", "2021222324", "20212223", unreadable, {});
        row("file outside the folder", "", "cap_index.csv", "cap_1", "..\\cap_1", "%1: line 3 of cap_index.csv names a file outside the folder", {});
        row("missing file", "", "cap_index.csv", "cap_1", "cap_7", "", { two[0], "cap_7.bvt: No such file or directory" });
        row("frame not stored", "", "cap_index.csv", "cap_1.bvt", "", "", { two[0], describe(notStored) + stored(1) });
        row("payload file cut", "", "cap_0.bvt", good[0].payload.mid(20), QByteArray(), "", { describe(cut) + stored(0), two[1] });
        FrameSlot picture;
        picture.format = -1, picture.width = 3, picture.height = 2;
        row("pictures", "pic_0.bmp", "", "", "", "", { describe(picture) + " picture" });

        const QByteArray second = wireBytes(good[1]).left(32); // its board time tells it from the first
        row("dump as written", "dump.bin", "", "", "", "", described(good.mid(0, 2)));
        row("dump cut in a record", "dump.bin", "dump.bin", good[1].payload.mid(8), QByteArray(), "", described({ good[0] }));
        row("dump with garbage of whole words", "dump.bin", "dump.bin", second, "garbage!" + second, "", described(good.mid(0, 2)));
        // The stream searches for a record in whole words: one that does not start on one is passed over.
        row("dump with garbage of 6 bytes", "dump.bin", "dump.bin", second, "rubble" + second, "", described({ good[0] }));
        row("dump with an absurd size", "dump.bin", "dump.bin", QByteArray::fromHex("0000000400000020"),
            QByteArray::fromHex("000000047fffffff"), "", described({ good[1] }));
        row("dump missing", "none.bin", "", "", "", "%1: No such file or directory", {});
        row("viewer's recent frames", "", "", "", "", "", described(good.mid(0, 2)));
    }

    // Good recordings, captures and wire dumps, damaged as a crash, a disk or an editor leaves them:
    // refused with the reason, or read as far as they are sound.
    void damaged()
    {
        QFETCH(QString, open);
        QFETCH(QString, damaged);
        QFETCH(QByteArray, at);
        QFETCH(QByteArray, put);
        QFETCH(QString, error);
        QFETCH(QByteArrayList, frames);
        const QList<FrameSlot> good = clip(FormatGray, 8, 4);
        const QString folder = dir.filePath(QTest::currentDataTag());
        RecordIndex index;
        QVERIFY(QDir().mkpath(folder) && index.open(folder + "/cap_index.csv"));
        for (int i = 0; i < 2; ++i) {
            index.addRow({i, QStringLiteral("cap_%1.bvt").arg(i), "stored", good[i], true, QDateTime::fromMSecsSinceEpoch(1000 + i, Qt::UTC)});
            QVERIFY(index.writePending());
            writeFile(folder + QStringLiteral("/cap_%1.bvt").arg(i), good[i].payload);
        }
        writeFile(folder + "/dump.bin", wireBytes(good[0]) + wireBytes(good[1]));
        QVERIFY(QImage(3, 2, QImage::Format_RGB32).save(folder + "/pic_0.bmp"));
        MatroskaWriter writer;
        QVERIFY(writeAll(writer, folder + "/rec.mkv", good));
        if (!damaged.isEmpty()) {
            QByteArray bytes = fileBytes(folder + "/" + damaged);
            const qsizetype from = bytes.indexOf(at);
            QVERIFY(from >= 0);
            writeFile(folder + "/" + damaged, put.isNull() ? bytes.left(from) : bytes.replace(from, at.size(), put));
        }

        const QString path = open.isEmpty() ? folder : folder + "/" + open;
        std::unique_ptr<FrameSource> source;
        if (QByteArray(QTest::currentDataTag()).startsWith("dump"))
            source = std::make_unique<WireDumpSource>(path);
        else if (QByteArray(QTest::currentDataTag()).startsWith("viewer"))
            source = std::make_unique<RecentFramesSource>(std::vector<FrameSlot>(good.begin(), good.begin() + 2), path);
        else if (damaged == "rec.mkv")
            source = std::make_unique<MatroskaSource>(path);
        else
            source = std::make_unique<RecordingFolderSource>(path);
        QCOMPARE(source->open() ? QString() : source->errorString(), QString(error).replace("%1", path));
        const QByteArrayList read = described(*source);
        QCOMPARE(read, frames);
        FrameSlot frame;
        // A frame's header alone, as the timing reads it, tells the time its frame tells; a
        // Matroska file's, the size of the payload left unread as well.
        FrameSlot header;
        for (qint64 i = 0; i < source->count(); ++i) {
            if (source->frame(i, frame)) {
                QVERIFY(source->header(i, header) && header.boardTimeUs() == frame.boardTimeUs());
                QVERIFY(damaged != "rec.mkv" || header.size == frame.size);
            }
        }
        QVERIFY(!source->frame(-1, frame) && !source->header(-1, frame) && !source->header(read.size(), frame));
        QVERIFY2(source->errorString().endsWith(QStringLiteral("no frame %1").arg(read.size())), qPrintable(source->errorString()));
        for (const qint64 past : {qint64(-1), source->count()}) // nothing recorded past either end
            QVERIFY(source->recordedStatus(past).isEmpty() && source->arrival(past).isNull() && source->picture(past).isNull());
        if (damaged == "rec.mkv" && put.isNull() && !read.isEmpty() && have("ffmpeg"))
            QCOMPARE(ffmpegCopy(path), payloads(good, read.size()));
        // The file cut after it was opened: the frames gone are refused, not read short.
        if (!read.isEmpty() && (damaged == "rec.mkv" || open == "dump.bin")) {
            QVERIFY(QFile::resize(path, 0) && !source->frame(0, frame));
            QCOMPARE(source->errorString(), QString(damaged == "rec.mkv" ? "cannot read %1: frame 0 is damaged"
                                                                         : "%1: frame 0 cannot be read: the file changed since it was opened")
                                                .replace("%1", path));
        }
    }


    // JPEG frames judged on other threads, as fast as they come with 16 in hand: every one is
    // indexed once, in order, with its own judgement, and is in the file. Judging that raced
    // with the giving back crashed now and then.
    void judgedApartInOrder()
    {
        constexpr int Frames = 50000;
        const FrameSlot jpeg = makeFrame(FormatJpg, 8, 8, 0, 0);
        StreamStatistics statistics;
        const RecordingNames names = RecordingNames::recorder(dir.path(), QStringLiteral("judged_"));
        RecordingSession session(FrameStorage::make(FrameStorage::Kind::Matroska, names), names.indexFile(), statistics,
                                 [](FrameDecoder &, const FrameSlot &frame) {
                                     return frame.timestamp_us % 7 ? FrameDecoder::Outcome::Shown
                                                                   : FrameDecoder::Outcome::JpegUndecodable;
                                 });
        QVERIFY(session.open());
        int next = 0;
        const auto feed = [&] {
            while (next < Frames && session.unstored() < RecordingSession::MaxFramesInHand) {
                FrameSlot frame = jpeg;
                frame.timestamp_us = next++;
                session.take(frame, QDateTime());
            }
            if (next == Frames)
                session.finish();
        };
        connect(&session, &RecordingSession::judged, &session, feed, Qt::QueuedConnection);
        QSignalSpy finished(&session, &RecordingSession::finished);
        feed();
        QVERIFY(finished.wait(SessionTimeoutMs));

        const RecordIndex::Contents index = RecordIndex::read(names.indexFile());
        QCOMPARE(qint64(index.rows.size()), qint64(Frames));
        for (int i = 0; i < Frames; ++i) {
            const RecordIndex::Row &row = index.rows[size_t(i)];
            if (row.frame.timestamp_us != i || (row.status == QLatin1String("damaged")) != (i % 7 == 0))
                QFAIL(qPrintable(QStringLiteral("row %1: frame %2 %3").arg(i).arg(row.frame.timestamp_us).arg(row.status)));
        }
        QCOMPARE(statistics.counters().framesDamaged, quint64((Frames + 6) / 7));
        MatroskaReader reader;
        QVERIFY(reader.open(dir.filePath(QStringLiteral("judged_0.mkv"))));
        QCOMPARE(reader.frameCount(), qint64(Frames));
    }

    // Gray, a JPEG judged apart, a code never shown, UYVY of another size, then a board clock gone
    // back: each storage names its files by the recorder's rule or an export's, and indexes every
    // frame in order, the hidden one with no file.
    void storedAsNamed_data()
    {
        QTest::addColumn<FrameStorage::Kind>("storage");
        QTest::addColumn<QString>("typed"); // an export's name; empty: the recorder's prefix "rec_"
        QTest::addColumn<QString>("files"); // the four stored frames' files, then the index
        using K = FrameStorage::Kind;
        QTest::newRow("recorder, matroska") << K::Matroska << "" << "rec_0.mkv rec_1.mkv rec_2.mkv rec_3.mkv rec_index.csv";
        QTest::newRow("export, matroska") << K::Matroska << "cut" << "cut.mkv cut-2.mkv cut-3.mkv cut-4.mkv cut.csv";
        QTest::newRow("export, matroska of another suffix") << K::Matroska << "cut.webm" << "cut.webm cut-2.webm cut-3.webm cut-4.webm cut.csv";
        QTest::newRow("export, matroska named as its index") << K::Matroska << "cut.csv" << "cut.mkv cut-2.mkv cut-3.mkv cut-4.mkv cut.csv";
        QTest::newRow("recorder, payloads") << K::Payloads << "" << "rec_0.bvt rec_1.jpg rec_2.bvt rec_3.bvt rec_index.csv";
        QTest::newRow("export, pictures") << K::Pictures << "cut.bmp" << "cut-0.bmp cut-1.jpg cut-2.bmp cut-3.bmp cut.csv";
    }

    void storedAsNamed()
    {
        QFETCH(FrameStorage::Kind, storage);
        QFETCH(QString, typed);
        QFETCH(QString, files);
        QStringList written = files.split(' ');
        QStringList rows; // one frame a Matroska file, each its first
        for (const QString &file : written.mid(0, 4))
            rows << file + (storage == FrameStorage::Kind::Matroska ? " stored 0" : " stored -1");
        rows.insert(2, " hidden -1");

        QTemporaryDir folder;
        const RecordingNames names = typed.isEmpty() ? RecordingNames::recorder(folder.path(), QStringLiteral("rec_"))
                                                     : RecordingNames::exported(folder.filePath(typed));
        StreamStatistics statistics;
        RecordingSession session(FrameStorage::make(storage, names), names.indexFile(), statistics);
        QSignalSpy fileWritten(&session, &RecordingSession::fileWritten);
        QSignalSpy finished(&session, &RecordingSession::finished);
        QVERIFY(session.open());
        FrameSlot hidden = makeFrame(FormatGray, 4, 2, 0, 3000);
        hidden.format = 7;
        const QList<FrameSlot> frames{makeFrame(FormatGray, 4, 2, 0, 1000), makeFrame(FormatJpg, 8, 8, 0, 2000), hidden,
                                      makeFrame(FormatUyvy, 6, 2, 0, 4000), makeFrame(FormatUyvy, 6, 2, 0, 500)};
        for (const FrameSlot &frame : frames)
            session.take(frame, QDateTime());
        // A frame's row is written once its file is: a recording cut short keeps its index.
        if (storage != FrameStorage::Kind::Matroska)
            QTRY_COMPARE_WITH_TIMEOUT(rowsOf(names.indexFile()), rows, 20000);
        session.finish();
        QTRY_COMPARE_WITH_TIMEOUT(finished.size(), 1, SessionTimeoutMs);
        QCOMPARE(session.errorString(), QString());
        QCOMPARE(rowsOf(names.indexFile()), rows);
        QCOMPARE(fileWritten.size(), written.size() - 1);
        for (int i = 0; i < fileWritten.size(); ++i)
            QCOMPARE(fileWritten.at(i).at(0).toString(), written.at(i));
        written.sort();
        QCOMPARE(QDir(folder.path()).entryList(QDir::Files), written);
        const StreamCounters &counts = statistics.counters();
        QCOMPARE(QList<quint64>({counts.framesShown, counts.framesHidden, counts.captureFilesWritten, counts.captureFailures}),
                 QList<quint64>({4, 1, 4, 0}));
    }

    void olderIndexes_data()
    {
        QTest::addColumn<bool>("frameInFile"); // the index names each frame's place in its file
        QTest::addColumn<bool>("reshaped"); // arrival_time (the 9th column) gives way to a column this reader does not know
        QTest::addColumn<QString>("notice");
        QTest::newRow("before the place in the file") << false << false << QString();
        QTest::newRow("of another shape") << true << true
                                          << "bvtgrab_index.csv has no column arrival_time; column lens is not known and left aside";
    }

    // An index written before it named each frame's place in its file: the frames are found by
    // their order in each file. One of another shape opens, and says what it lacks and what it
    // leaves aside. Without its index, a Matroska file is read alone.
    void olderIndexes()
    {
        QFETCH(bool, frameInFile);
        QFETCH(bool, reshaped);
        QFETCH(QString, notice);
        const QString folder = dir.filePath(QTest::currentDataTag());
        QVERIFY(QDir().mkpath(folder));
        const QList<Stored> entries = store(folder, FrameStorage::Kind::Matroska, mixedClip());
        QCOMPARE(entries.size(), mixedClip().size());
        const QString indexPath = folder + "/bvtgrab_index.csv";
        QVERIFY(writeIndex(indexPath, entries, frameInFile));
        if (reshaped) {
            QByteArrayList lines = fileBytes(indexPath).trimmed().split('\n');
            for (int i = 0; i < lines.size(); ++i) {
                QByteArrayList fields = lines[i].split(',');
                fields.removeAt(8);
                fields.insert(2, i == 0 ? "lens" : "wide");
                lines[i] = fields.join(',');
            }
            writeFile(indexPath, lines.join('\n') + '\n');
        }
        const QStringList files{"bvtgrab_0.mkv", "bvtgrab_1.mkv", "bvtgrab_2.mkv"};
        for (const QString &path : QStringList{folder, indexPath} + files) {
            std::unique_ptr<FrameSource> source = frameSourceFor(path.endsWith(".mkv") ? folder + "/" + path : path);
            QVERIFY2(source->open(), qPrintable(source->errorString()));
            QCOMPARE(described(*source), expected(entries, !reshaped));
            const auto first = std::find_if(entries.cbegin(), entries.cend(),
                                            [&](const Stored &entry) { return entry.stored.file == path; });
            QCOMPARE(source->startFrame(), first == entries.cend() ? 0 : qint64(first - entries.cbegin()));
            QCOMPARE(source->notice(), notice);
        }

        // A file the index names gone: its frames say so, the others still read.
        QVERIFY(QFile::remove(folder + "/bvtgrab_1.mkv"));
        std::unique_ptr<FrameSource> partly = frameSourceFor(folder);
        QVERIFY(partly->open());
        FrameSlot slot;
        for (int i = 0; i < entries.size(); ++i) {
            const bool gone = entries[i].stored.file == "bvtgrab_1.mkv";
            QCOMPARE(partly->frame(i, slot), !gone);
            if (gone)
                QCOMPARE(partly->errorString(), "cannot read " + folder + "/bvtgrab_1.mkv: No such file or directory");
        }

        QVERIFY(QFile::remove(indexPath));
        std::unique_ptr<FrameSource> alone = frameSourceFor(folder + "/" + files.first());
        QVERIFY(alone->open());
        QCOMPARE(alone->name(), files.first());
        QCOMPARE(alone->count(), 3);
        QCOMPARE(alone->recordedStatus(0), QString());
    }

    void reopened_data()
    {
        QTest::addColumn<QString>("path"); // empty: the viewer's recent frames
        const QString folder = dir.filePath("again");
        QVERIFY(QDir().mkpath(folder + "/files"));
        const QList<Stored> recorded = store(folder, FrameStorage::Kind::Matroska, mixedClip());
        QVERIFY(writeIndex(folder + "/bvtgrab_index.csv", recorded, true));
        const QList<Stored> pictures = store(folder + "/files", FrameStorage::Kind::Pictures, mixedClip());
        QVERIFY(writeIndex(folder + "/files/bvtgrab_index.csv", pictures, false));
        QByteArray dump = "garbage!";
        for (const FrameSlot &frame : mixedClip())
            dump += wireBytes(frame);
        writeFile(folder + "/run.wire", dump);
        QVERIFY(QFile::copy(folder + "/bvtgrab_2.mkv", folder + "/alone.mkv"));

        QTest::newRow("recording") << folder + "/bvtgrab_1.mkv"; QTest::newRow("pictures") << folder + "/files";
        QTest::newRow("wire dump") << folder + "/run.wire"; QTest::newRow("matroska file") << folder + "/alone.mkv";
        QTest::newRow("recent frames") << QString();
    }

    // Another source of the same frames, read on another thread while the first is read too.
    void reopened()
    {
        QFETCH(QString, path);
        std::unique_ptr<FrameSource> source;
        if (path.isEmpty()) {
            const QList<FrameSlot> frames = mixedClip();
            source = std::make_unique<RecentFramesSource>(std::vector<FrameSlot>(frames.cbegin(), frames.cend()), "recent");
        } else {
            source = frameSourceFor(path);
        }
        QVERIFY2(source->open(), qPrintable(source->errorString()));
        const QByteArrayList frames = described(*source);
        QVERIFY(frames.size() >= 3 && !frames.contains(source->errorString().toUtf8()));
        std::unique_ptr<FrameSource> again = source->reopened();
        QVERIFY(again);
        QCOMPARE(again->name(), source->name());
        QCOMPARE(again->startFrame(), source->startFrame());
        QCOMPARE(again->hasBoardTime(), source->hasBoardTime());

        QByteArrayList readThere;
        std::thread there([&] {
            for (int round = 0; round < 20; ++round)
                readThere = described(*again);
        });
        QByteArrayList readHere;
        for (int round = 0; round < 20; ++round)
            readHere = described(*source);
        there.join();
        QCOMPARE(readHere, frames);
        QCOMPARE(readThere, frames);
        // The copy stands on its own.
        source.reset();
        QCOMPARE(described(*again), frames);
    }

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(tst_Recording)
#include "tst_recording.moc"
