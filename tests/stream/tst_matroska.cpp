#include "FileBytes.h"
#include "JpegEncoder.h"
#include "MatroskaReader.h"
#include "MatroskaWriter.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

using namespace BoardProtocol;

namespace {

constexpr qint64 PeriodUs = 33367;
// Board times of the test frames after the first: a burst 0.1 ms and 1 ms apart that shares a
// cluster, then a gap of three frame periods, then two frames 5 µs apart.
const QList<qint64> OffsetsUs = { 0, 101, 1102, 1102 + PeriodUs, 1102 + 4 * PeriodUs, 1102 + 5 * PeriodUs,
                                  1102 + 6 * PeriodUs, 1102 + 6 * PeriodUs + 5, 1102 + 7 * PeriodUs };
// 20 ms before a whole second, so that the microseconds wrap within the burst's cluster.
constexpr qint64 StartUs = 41 * 1000000LL + 980000;
constexpr int ProcessTimeoutMs = 60000;

int rawBytes(int format, int width, int height)
{
    const int chroma = 2 * ((width + 1) / 2) * ((height + 1) / 2);
    return format == FormatGray ? width * height : format == FormatUyvy ? 2 * width * height : width * height + chroma;
}

FrameSlot makeFrame(int format, int width, int height, int index, qint64 boardTimeUs)
{
    FrameSlot frame;
    frame.format = format;
    frame.width = width;
    frame.height = height;
    if (format == FormatJpg) {
        QByteArray rgb(width * height * 3, Qt::Uninitialized);
        for (int i = 0; i < rgb.size(); ++i)
            rgb[i] = char(i * 5 + index * 40);
        frame.payload = encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 90);
    } else {
        frame.payload.resize(rawBytes(format, width, height));
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

QList<FrameSlot> clip(int format, int width, int height, int frames = int(OffsetsUs.size()))
{
    QList<FrameSlot> list;
    for (int i = 0; i < frames; ++i)
        list << makeFrame(format, width, height, i, StartUs + OffsetsUs.value(i, OffsetsUs.last() + i * PeriodUs));
    return list;
}

QByteArray payloads(const QList<FrameSlot> &frames, qsizetype count)
{
    QByteArray all;
    for (qsizetype i = 0; i < count; ++i)
        all += frames[i].payload;
    return all;
}

// Every field a reader gives back, for whole-list comparisons.
QByteArray describe(const FrameSlot &frame)
{
    return QByteArray::number(frame.format) + ' ' + QByteArray::number(frame.width) + 'x'
           + QByteArray::number(frame.height) + ' ' + QByteArray::number(frame.size) + ' '
           + QByteArray::number(frame.timestamp_s) + '.' + QByteArray::number(frame.timestamp_us) + ' '
           + QByteArray(frame.CLum, SensorBlockBytes).toHex() + ' ' + QByteArray(frame.CPos, SensorBlockBytes).toHex()
           + ' ' + frame.payload.toHex();
}

QByteArrayList described(const QList<FrameSlot> &frames)
{
    QByteArrayList list;
    for (const FrameSlot &frame : frames)
        list << describe(frame);
    return list;
}

QByteArrayList readBack(const QString &path, QString *error = nullptr)
{
    MatroskaReader reader;
    QByteArrayList list;
    if (!reader.open(path)) {
        if (error)
            *error = reader.errorString();
        return { "open failed: " + reader.errorString().toUtf8() };
    }
    for (qint64 i = 0; i < reader.frameCount(); ++i) {
        FrameSlot frame;
        list << (reader.frame(i, frame) ? describe(frame) : reader.errorString().toUtf8());
    }
    return list;
}

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    Run result;
    if (!process.waitForFinished(ProcessTimeoutMs))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool have(const char *tool)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty();
}

QByteArray ffmpegCopy(const QString &path)
{
    return run("ffmpeg", { "-v", "error", "-i", path, "-map", "0:v", "-c", "copy", "-f", "rawvideo", "-" }).out;
}

// The frames a cut file gives back must be whole frames from the start, at least `atLeast`.
bool isWholePrefix(const QByteArray &bytes, const QList<FrameSlot> &frames, qsizetype atLeast)
{
    for (qsizetype count = atLeast; count <= frames.size(); ++count)
        if (bytes == payloads(frames, count))
            return true;
    return false;
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

// What a damage does to the frames read back, beyond those it leaves out.
using Changes = void (*)(QList<FrameSlot> &);

} // namespace

Q_DECLARE_METATYPE(Changes)

class tst_Matroska : public QObject
{
    Q_OBJECT

private slots:
    void readers_data();
    void readers();
    void cutFile_data();
    void cutFile();
    void writeFailure_data();
    void writeFailure();
    void otherFiles_data();
    void otherFiles();
    void damaged_data();
    void damaged();

private:
    QTemporaryDir dir;
};

void tst_Matroska::readers_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<QByteArray>("stream");

    QTest::newRow("JPEG") << int(FormatJpg) << 7 << 5
                          << QByteArray("codec_name=mjpeg\nwidth=7\nheight=5\npix_fmt=yuvj420p\nnb_read_packets=9\n");
    QTest::newRow("Gray") << int(FormatGray) << 7 << 5
                          << QByteArray("codec_name=rawvideo\nwidth=7\nheight=5\npix_fmt=gray\nnb_read_packets=9\n");
    QTest::newRow("UYVY") << int(FormatUyvy) << 6 << 5
                          << QByteArray("codec_name=rawvideo\nwidth=6\nheight=5\npix_fmt=uyvy422\nnb_read_packets=9\n");
    QTest::newRow("YUV420") << int(FormatYuv420) << 7 << 5
                            << QByteArray("codec_name=rawvideo\nwidth=7\nheight=5\npix_fmt=yuv420p\nnb_read_packets=9\n");
    QTest::newRow("NV12") << int(FormatNv12) << 7 << 5
                          << QByteArray("codec_name=rawvideo\nwidth=7\nheight=5\npix_fmt=nv12\nnb_read_packets=9\n");
}

void tst_Matroska::readers()
{
    QFETCH(int, format);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QByteArray, stream);
    const QList<FrameSlot> frames = clip(format, width, height);
    const QString path = dir.filePath(QStringLiteral("readers%1.mkv").arg(format));
    MatroskaWriter writer;
    QVERIFY2(writeAll(writer, path, frames), qPrintable(writer.errorString()));
    QCOMPARE(writer.framesWritten(), frames.size());

    QCOMPARE(readBack(path), described(frames));

    if (!have("ffprobe") || !have("ffmpeg") || !have("mkvinfo"))
        QSKIP("ffmpeg or mkvtoolnix is not installed");
    const Run probe = run("ffprobe", { "-v", "error", "-select_streams", "v:0", "-count_packets", "-show_entries",
                                       "stream=codec_name,width,height,pix_fmt,nb_read_packets", "-of",
                                       "default=noprint_wrappers=1", path });
    QCOMPARE(probe.err, QByteArray());
    QCOMPARE(probe.out, stream);

    QByteArray times;
    for (qint64 offset : OffsetsUs)
        times += QByteArray::number(offset / 1e6, 'f', 6) + '\n';
    const Run packets = run("ffprobe", { "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time",
                                         "-of", "default=noprint_wrappers=1:nokey=1", path });
    QCOMPARE(packets.out, times);

    QCOMPARE(ffmpegCopy(path), payloads(frames, frames.size()));

    // An independent reader of the sensor blocks: mkvinfo's dump of each block addition.
    const Run info = run("mkvinfo", { "-v", "-v", "-v", "-X", path });
    QCOMPARE(info.exitCode, 0);
    QByteArrayList additions;
    for (const QByteArray &line : info.out.split('\n'))
        if (line.contains("+ Block additional: length 32, data: "))
            additions << line.mid(line.indexOf("data: ") + 6, 5 * SensorBytes - 1).replace("0x", "");
    QByteArrayList expected;
    for (const FrameSlot &frame : frames)
        expected << (QByteArray(frame.CLum, SensorBlockBytes) + QByteArray(frame.CPos, SensorBlockBytes)).toHex(' ');
    QCOMPARE(additions, expected);
}

void tst_Matroska::cutFile_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<double>("ofNextCluster");

    QTest::newRow("complete clusters, as written") << int(FormatGray) << 0.0;
    QTest::newRow("and half the next cluster") << int(FormatGray) << 0.5;
    QTest::newRow("and the next cluster but its last byte") << int(FormatUyvy) << 1.0;
    QTest::newRow("JPEG and half the next cluster") << int(FormatJpg) << 0.5;
}

// The file as a killed process leaves it: written up to some point, never closed.
void tst_Matroska::cutFile()
{
    QFETCH(int, format);
    QFETCH(double, ofNextCluster);
    const QList<FrameSlot> frames = clip(format, 64, 48);
    const QString path = dir.filePath(QStringLiteral("cut.mkv"));
    MatroskaWriter writer;
    QVERIFY(writer.open(path, format, 64, 48));
    QMap<qint64, QByteArray> asWritten; // frames in the file -> the file's bytes then
    for (const FrameSlot &frame : frames) {
        QVERIFY(writer.writeFrame(frame) >= 0);
        asWritten.insert(writer.framesWritten(), fileBytes(path));
    }
    constexpr qint64 Complete = 3; // the burst's cluster
    QVERIFY(asWritten.contains(Complete) && asWritten.contains(Complete + 1));
    const QByteArray &later = asWritten[Complete + 1];
    const qint64 clusterBytes = later.size() - asWritten[Complete].size();
    const qint64 keep = asWritten[Complete].size() + qMin<qint64>(qint64(clusterBytes * ofNextCluster), clusterBytes - 1);
    const QString cutPath = dir.filePath(QStringLiteral("cut-copy.mkv"));
    QFile cut(cutPath);
    QVERIFY(cut.open(QIODevice::WriteOnly) && cut.write(later.left(keep)) == keep);
    cut.close();

    QCOMPARE(readBack(cutPath), described(frames.mid(0, Complete)));
    const QByteArray copied = have("ffmpeg") ? ffmpegCopy(cutPath) : payloads(frames, Complete);
    QVERIFY2(isWholePrefix(copied, frames, Complete), qPrintable(QString::number(copied.size())));
    // Cut again while open: the frame lost is refused, not read short.
    MatroskaReader reader;
    FrameSlot frame;
    QVERIFY(reader.open(cutPath) && cut.resize(asWritten[Complete].size() - 1));
    QVERIFY(reader.frame(0, frame) && !reader.frame(Complete, frame));
    QCOMPARE(reader.errorString(), QStringLiteral("cannot read %1: no frame %2").arg(cutPath).arg(Complete));
    QVERIFY(!reader.frame(Complete - 1, frame));
    QCOMPARE(reader.errorString(), QStringLiteral("cannot read %1: frame %2 is damaged").arg(cutPath).arg(Complete - 1));
}

void tst_Matroska::writeFailure_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("fileLimitFrames"); // 0: no limit
    QTest::addColumn<int>("otherSizeAt");     // -1: every frame of one size
    QTest::addColumn<qint64>("written");
    QTest::addColumn<QString>("error");

    QTest::newRow("full device") << "/dev/full" << 0 << -1 << qint64(0)
                                 << "cannot write /dev/full: No space left on device";
    QTest::newRow("file size limit") << "limited.mkv" << 3 << -1 << qint64(2) << "cannot write %1: File too large";
    QTest::newRow("frame of another size") << "switched.mkv" << 0 << 4 << qint64(4)
                                           << "cannot write %1: a 641x480 frame of format 1 does not belong in a file of 640x480 format 1";
}

// A full disk ends the file at its last complete cluster and names the file; a frame that does
// not fit the file is refused and leaves it good.
void tst_Matroska::writeFailure()
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
    if (fileLimitFrames > 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = unlimited;
        limit.rlim_cur = rlim_t(fileLimitFrames) * frames[0].payload.size();
        QVERIFY(setrlimit(RLIMIT_FSIZE, &limit) == 0);
    }
    MatroskaWriter writer;
    qint64 lastTaken = -2;
    if (writer.open(path, FormatGray, 640, 480))
        for (const FrameSlot &frame : frames)
            if ((lastTaken = writer.writeFrame(frame)) < 0)
                break;
    QCOMPARE(writer.isOpen(), path != "/dev/full"); // a file whose head failed is not left open
    const bool closed = writer.close();
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, SIG_DFL);

    QCOMPARE(writer.errorString(), QString(error).replace("%1", path));
    QCOMPARE(writer.framesWritten(), written);
    QCOMPARE(closed, otherSizeAt >= 0);
    QCOMPARE(lastTaken, qint64(-1 - (path == "/dev/full")));
    if (path == "/dev/full")
        return;
    QCOMPARE(readBack(path), described(frames.mid(0, written)));
    if (!have("ffmpeg"))
        QSKIP("ffmpeg is not installed");
    QVERIFY(isWholePrefix(ffmpegCopy(path), frames.mid(0, otherSizeAt >= 0 ? otherSizeAt : frames.size()), written));
}

void tst_Matroska::otherFiles_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("ffmpegMakes"); // the file from ffmpeg, when given
    QTest::addColumn<QString>("error");
    QTest::addColumn<QByteArray>("firstFrame");

    const QStringList testPattern = { "-v", "error", "-f", "lavfi", "-i", "testsrc=size=8x6:rate=5", "-frames:v", "3" };
    QTest::newRow("missing") << QByteArray() << QStringList() << "cannot read %1: No such file or directory" << QByteArray();
    QTest::newRow("empty") << QByteArray("") << QStringList() << "cannot read %1: not a Matroska file" << QByteArray();
    QTest::newRow("garbage") << QByteArray(5000, '\x5a') << QStringList() << "cannot read %1: not a Matroska file"
                             << QByteArray();
    QTest::newRow("head only") << QByteArray::fromHex("1a45dfa39b4286810142f7810142f2810442f381084282886d6174726f736b61")
                               << QStringList() << "cannot read %1: no segment after the head" << QByteArray();
    QTest::newRow("MPEG-4 video") << QByteArray() << (testPattern + QStringList { "-c:v", "mpeg4" })
                                  << "cannot read %1: its video is \"V_MPEG4/ISO/ASP\", which this program does not show"
                                  << QByteArray();
    QTest::newRow("YUY2 video") << QByteArray() << (testPattern + QStringList { "-c:v", "rawvideo", "-pix_fmt", "yuyv422" })
                                     << "cannot read %1: its video is \"V_UNCOMPRESSED\" with colour space \"YUY2\", which this program does not show"
                                   << QByteArray();
    QTest::newRow("grey video from ffmpeg") << QByteArray() << (testPattern + QStringList { "-c:v", "rawvideo", "-pix_fmt", "gray" })
                                            << QString() << QByteArray("1 8x6 48 0.0 ");
}

// Files this program did not write: a clear message, or the frames when it can show them.
void tst_Matroska::otherFiles()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, ffmpegMakes);
    QFETCH(QString, error);
    QFETCH(QByteArray, firstFrame);
    const QString path = dir.filePath(QStringLiteral("other-%1.mkv").arg(QTest::currentDataTag()));
    if (!ffmpegMakes.isEmpty()) {
        if (!have("ffmpeg"))
            QSKIP("ffmpeg is not installed");
        QCOMPARE(run("ffmpeg", ffmpegMakes + QStringList { "-y", path }).exitCode, 0);
    } else if (!bytes.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    }
    QString message;
    const QByteArrayList frames = readBack(path, &message);
    QCOMPARE(message, QString(error).replace("%1", path));
    if (!firstFrame.isEmpty()) {
        QCOMPARE(frames.size(), 3);
        QVERIFY2(frames[0].startsWith(firstFrame), frames[0].left(60).constData());
    }
}

void tst_Matroska::damaged_data()
{
    QTest::addColumn<QByteArray>("at");  // hex of the first bytes of the writer's file that are damaged
    QTest::addColumn<QByteArray>("put"); // hex written over them; empty: the file ends before them
    QTest::addColumn<QString>("error");
    QTest::addColumn<QList<int>>("kept"); // frames read back
    QTest::addColumn<Changes>("changes");

    const QList<int> all = { 0, 1, 2, 3, 4, 5, 6, 7, 8 }, but1 = { 0, 2, 3, 4, 5, 6, 7, 8 };
    const auto refused = [](const char *tag, const char *at, const char *put, const char *error) {
        QTest::newRow(tag) << QByteArray(at) << QByteArray(put) << "cannot read %1: " + QString(error) << QList<int>()
                           << Changes();
    };
    refused("head's id", "1a45dfa3", "1a45dfa4", "not a Matroska file");
    refused("cut in the head", "4282886d", "", "not a Matroska file");
    refused("document type", "6d6174726f736b61", "6d61747472657373", "not a Matroska file (document type \"mattress\")");
    refused("timestamp scale 0", "2ad7b18203e8", "2ad7b1820000", "timestamp scale 0 ns is out of range");
    refused("tracks' id", "1654ae6bb3", "1654ae6cb3", "a cluster comes before the tracks");
    refused("cut in the tracks", "868e565f", "", "no video track");
    refused("audio track", "838101", "838102", "no video track");
    refused("unknown codec", "565f554e434f4d50524553534544", "565f554e4b4e4f574e5f434f4445",
            "its video is \"V_UNKNOWN_CODE\", which this program does not show");
    refused("no width", "b08108", "b08100", "its video has no usable size (0x4)");
    refused("cut before the first cluster", "1f43b675", "", "it holds no whole frame");
    QTest::newRow("cut in the second block") << QByteArray("1114171a") << QByteArray() << QString() << QList<int> { 0 } << Changes();
    QTest::newRow("block of another track") << QByteArray("a1a4810065") << QByteArray("a1a4820065") << QString() << but1 << Changes();
    QTest::newRow("laced block") << QByteArray("a1a481006500") << QByteArray("a1a481006502") << QString() << but1 << Changes();
    QTest::newRow("block shorter than its head") << QByteArray("a1a4810065") << QByteArray("a183810065") << QString() << but1 << Changes();
    QTest::newRow("cluster of unknown size") << QByteArray("1f43b67540f0") << QByteArray("1f43b6757fff") << QString() << all << Changes();
    QTest::newRow("cluster size beyond the file") << QByteArray("1f43b67540f0") << QByteArray("1f43b6757ffe") << QString() << all << Changes();
    QTest::newRow("cluster size over the next") << QByteArray("1f43b675d3") << QByteArray("1f43b675fe") << QString() << all << Changes();
    QTest::newRow("addition of another size") << QByteArray("a5a06061") << QByteArray("a59f6061") << QString() << all
                                              << Changes([](QList<FrameSlot> &f) { std::memset(f[3].CLum, 0, 2 * SensorBlockBytes); });
    QTest::newRow("addition of another id") << QByteArray("a5a06061") << QByteArray("eea06061") << QString() << all
                                            << Changes([](QList<FrameSlot> &f) { std::memset(f[3].CLum, 0, 2 * SensorBlockBytes); });
    QTest::newRow("block before the first frame") << QByteArray("a1a4810065") << QByteArray("a1a481ff9b") << QString() << all
                                                  << Changes([](QList<FrameSlot> &f) { f[1].timestamp_us = 979899; });
    QTest::newRow("cluster time going back") << QByteArray("e783020daa") << QByteArray("e783000000") << QString() << all
                                             << Changes([](QList<FrameSlot> &f) { f[4].timestamp_s = 41, f[4].timestamp_us = 980000; });
}

// A recording of the writer's, damaged as a crash, a disk or an editor leaves it: refused with
// the reason, or read as far as it is sound.
void tst_Matroska::damaged()
{
    QFETCH(QByteArray, at);
    QFETCH(QByteArray, put);
    QFETCH(QString, error);
    QFETCH(QList<int>, kept);
    QFETCH(Changes, changes);
    QList<FrameSlot> frames = clip(FormatGray, 8, 4);
    const QString path = dir.filePath(QStringLiteral("damaged.mkv"));
    MatroskaWriter writer;
    QVERIFY(writeAll(writer, path, frames));
    QByteArray bytes = fileBytes(path);
    const qsizetype from = bytes.indexOf(QByteArray::fromHex(at));
    QVERIFY(from > 0 || at.startsWith("1a45"));
    bytes = put.isEmpty() ? bytes.left(from) : bytes.replace(from, put.size() / 2, QByteArray::fromHex(put));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();

    QString message;
    const QByteArrayList read = readBack(path, &message);
    QCOMPARE(message, QString(error).replace("%1", path));
    if (changes)
        changes(frames);
    QList<FrameSlot> expected;
    for (int i : kept)
        expected << frames[i];
    if (!kept.isEmpty())
        QCOMPARE(read, described(expected));
    if (put.isEmpty() && !kept.isEmpty() && have("ffmpeg"))
        QCOMPARE(ffmpegCopy(path), payloads(frames, kept.size()));
}

QTEST_GUILESS_MAIN(tst_Matroska)
#include "tst_matroska.moc"
