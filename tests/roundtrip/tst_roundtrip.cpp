// What one program writes, the others read: a wire dump replayed by the simulator into the
// recorder in each storage, every recording opened as its folder, its index and each of its files,
// a stretch of it exported and opened again, every Matroska file judged by ffprobe, ffmpeg and
// mkvinfo.

#include "FileBytes.h"
#include "FrameDecoder.h"
#include "FrameExport.h"
#include "FrameRecord.h"
#include "FrameSource.h"
#include "FrameSourceFor.h"
#include "JpegEncoder.h"
#include "RawConvert.h"
#include "RecordIndex.h"
#include "WireDumpSource.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDeadlineTimer>
#include <QProcess>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int ProcessTimeoutMs = 60000;
constexpr int WaitMs = 30000;
constexpr qint32 PeriodUs = 40000;
constexpr int Width = 32;
constexpr int Height = 16;
constexpr qint32 HiddenCode = 5;

QByteArray payloadOf(qint32 format, int width, int height, int seed)
{
    if (format == BoardProtocol::FormatJpg) {
        QByteArray rgb(width * height * 3, Qt::Uninitialized);
        for (int i = 0; i < rgb.size(); ++i)
            rgb[i] = char(i * 5 + seed * 31);
        return encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 90);
    }
    const qint64 bytes = format == BoardProtocol::FormatGray ? qint64(width) * height
                                                             : rawPayloadSize(format, width, height);
    QByteArray samples(int(bytes), Qt::Uninitialized);
    for (int i = 0; i < samples.size(); ++i)
        samples[i] = char(i * 3 + seed * 17);
    return samples;
}

// A board's stream in two connections: frames of one format with a damaged, a hidden and (by
// the clock) lost frames, then a switch to another format and size; the second connection
// goes on in that format.
QList<QByteArray> boardStreams(qint32 format, qint32 switchedTo)
{
    QList<QByteArray> streams{QByteArray(), QByteArray()};
    qint64 boardUs = 5 * FrameSlot::MicrosPerSecond;
    for (int i = 0; i < 16; ++i) {
        const bool switched = i >= 9;
        FrameRecord r;
        r.format = switched ? switchedTo : format;
        r.width = switched ? Height : Width;
        r.height = switched ? Width / 2 : Height;
        r.payload = payloadOf(r.format, r.width, r.height, i);
        if (i == 3) { // damaged: a JPEG cut inside its data, a raw frame short
            r.payload.truncate(r.format == BoardProtocol::FormatJpg ? r.payload.size() / 2 : r.payload.size() - 7);
        } else if (i == 5) {
            r.format = HiddenCode;
        }
        if (i == 7)
            boardUs += 3 * PeriodUs; // three frames lost at the board
        r.timestamp_s = qint32(boardUs / FrameSlot::MicrosPerSecond);
        r.timestamp_us = qint32(boardUs % FrameSlot::MicrosPerSecond);
        r.CLum = FrameRecord::sensorBlock(i, 2, 3, 4);
        r.CPos = FrameRecord::sensorBlock(10, -i, 7, 11);
        streams[i < 12 ? 0 : 1] += r.toBytes();
        boardUs += PeriodUs;
    }
    return streams;
}

QString hexOf(const char *block)
{
    return QString::fromLatin1(QByteArray(block, BoardProtocol::SensorBlockBytes).toHex());
}

// What every reader must agree on about a frame: all but its payload.
QString described(const FrameSlot &frame, const QString &status)
{
    return u"%1 %2x%3 %4 bytes at %5 clum %6 cpos %7 %8"_s.arg(RecordIndex::formatName(frame.format)).arg(frame.width)
        .arg(frame.height).arg(frame.size).arg(RecordIndex::boardTime(frame.boardTimeUs()), hexOf(frame.CLum), hexOf(frame.CPos), status);
}

QString expectedStatus(const FrameSlot &frame)
{
    FrameDecoder decoder;
    const FrameDecoder::Outcome outcome = decoder.judge(frame);
    if (outcome == FrameDecoder::Outcome::Shown)
        return RecordIndex::statusWord(RecordIndex::FrameStatus::Stored);
    return RecordIndex::statusWord(outcome == FrameDecoder::Outcome::HiddenCode ? RecordIndex::FrameStatus::Hidden
                                                                                : RecordIndex::FrameStatus::Damaged);
}

// The picture a reader shows of a frame, as pixels.
QByteArray pixelsOf(QImage picture)
{
    picture = picture.convertToFormat(QImage::Format_RGB32);
    QByteArray pixels;
    for (int y = 0; y < picture.height(); ++y)
        pixels += QByteArray(reinterpret_cast<const char *>(picture.constScanLine(y)), picture.width() * 4);
    return QCryptographicHash::hash(pixels, QCryptographicHash::Sha1).toHex();
}

struct Frames
{
    QStringList described;
    QList<QByteArray> payloads; // empty where the reader holds none
    QList<QByteArray> pictures; // of stored pictures only
    QList<QDateTime> arrivals;
};

Frames readAll(FrameSource &source, qint64 first = 0, qint64 last = -1)
{
    Frames frames;
    if (last < 0)
        last = source.count() - 1;
    for (qint64 i = first; i <= last; ++i) {
        FrameSlot frame;
        if (!source.frame(i, frame)) {
            frames.described << u"unreadable: "_s + source.errorString();
            continue;
        }
        const QImage picture = source.picture(i);
        if (!frame.payload.isEmpty())
            frame.size = frame.payload.size();
        frames.described << described(frame, source.recordedStatus(i));
        frames.payloads << frame.payload;
        frames.pictures << (picture.isNull() ? QByteArray() : pixelsOf(picture));
        frames.arrivals << source.arrival(i);
    }
    return frames;
}

std::unique_ptr<FrameSource> opened(const QString &path)
{
    std::unique_ptr<FrameSource> source = frameSourceFor(path);
    if (!source->open())
        qWarning("%s: %s", qPrintable(path), qPrintable(source->errorString()));
    return source;
}

// A recording's folder, its index and each file the index names, with the frame each starts at.
QList<std::pair<QString, qint64>> opensOf(const QString &folder, const QString &indexName)
{
    const RecordIndex::Contents index = RecordIndex::read(folder + u'/' + indexName);
    QList<std::pair<QString, qint64>> opens{{folder, 0}, {folder + u'/' + indexName, 0}};
    QSet<QString> files;
    for (size_t i = 0; i < index.rows.size(); ++i) {
        const QString &file = index.rows[i].file;
        if (!file.isEmpty() && !files.contains(file)) {
            files << file;
            opens.append({folder + u'/' + file, qint64(i)});
        }
    }
    return opens;
}

// A recording's source as the window names it, at the frame it was opened at.
bool namedAndPlaced(const FrameSource &source, const QString &name, qint64 start)
{
    return source.name() == QDir::toNativeSeparators(name) && source.startFrame() == start && source.hasBoardTime()
           && source.notice().isEmpty();
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class tst_RoundTrip : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    // The recorder against the simulator replaying each connection's part of the stream; the
    // first simulator is stopped once the recorder has indexed its frames, a second one then
    // takes the port as a board back from a restart would.
    ProgramRun record(const QList<QString> &parts, int frames, const QStringList &storage, const QString &folder)
    {
        const quint16 port = freePort();
        const QStringList replay{u"--video-port"_s, QString::number(port), u"--command-port"_s, u"0"_s,
                                 u"--replay-rate"_s, u"max"_s, u"--replay"_s};
        QProcess board;
        board.start(QStringLiteral(BREVANT_SIMULATOR), replay + QStringList{parts[0]});
        if (!board.waitForStarted())
            return {};
        QProcess recorder;
        recorder.start(QStringLiteral(BREVANT_RECORD),
                       storage + QStringList{u"--quiet"_s, u"--host"_s, u"127.0.0.1"_s, u"--video-port"_s,
                                             QString::number(port), u"--reconnect"_s, u"--wire"_s, folder + u".wire"_s,
                                             u"--frames"_s, QString::number(frames), folder});
        const QString index = folder + u"/bvtgrab_index.csv"_s;
        const int firstRows = 12;
        QDeadlineTimer deadline(WaitMs);
        while (!deadline.hasExpired() && QString::fromUtf8(fileBytes(index)).count(u'\n') < firstRows + 1)
            QTest::qWait(20);
        board.terminate();
        board.waitForFinished();
        board.start(QStringLiteral(BREVANT_SIMULATOR), replay + QStringList{parts[1]});
        ProgramRun result;
        if (recorder.waitForFinished(ProcessTimeoutMs)) {
            result.exitCode = recorder.exitStatus() == QProcess::NormalExit ? recorder.exitCode() : -1;
            result.err = recorder.readAllStandardError();
        }
        board.terminate();
        board.waitForFinished();
        return result;
    }

    // ffprobe, ffmpeg and mkvinfo on one Matroska file, against the index rows that name it.
    void judgeMatroska(const QString &path, const std::vector<RecordIndex::Row> &rows, const Frames &frames)
    {
        QByteArray payloads;
        QStringList times;
        qint64 firstUs = -1;
        int count = 0;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].file != QFileInfo(path).fileName())
                continue;
            QCOMPARE(rows[i].frameInFile, qint64(count));
            ++count;
            payloads += frames.payloads[int(i)];
            const qint64 us = rows[i].frame.boardTimeUs();
            if (firstUs < 0)
                firstUs = us;
            times << QString::number(double(us - firstUs) / 1e6, 'f', 6);
        }
        const ProgramRun probe = runProgram(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-select_streams"_s, u"v:0"_s, u"-show_entries"_s,
                                             u"packet=pts_time"_s, u"-of"_s,
                                             u"default=noprint_wrappers=1:nokey=1"_s, path});
        QCOMPARE(probe.exitCode, 0);
        QCOMPARE(QString::fromLatin1(probe.out).split(u'\n', Qt::SkipEmptyParts), times);
        const ProgramRun copy = runProgram(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-i"_s, path, u"-map"_s, u"0:v"_s, u"-c"_s, u"copy"_s,
                                           u"-f"_s, u"rawvideo"_s, u"-"_s});
        QCOMPARE(copy.exitCode, 0);
        QVERIFY(copy.out == payloads);
        const ProgramRun info = runProgram(u"mkvinfo"_s, {path});
        QCOMPARE(info.exitCode, 0);
        QVERIFY2(info.err.isEmpty(), info.err.constData());
    }

    // A stretch exported in each storage and opened again gives the frames it was made of.
    void exportAndReopen(FrameSource &source, const QString &into)
    {
        const qint64 first = 1;
        const qint64 last = source.count() - 2;
        const Frames expected = readAll(source, first, last);
        for (const auto storage : {FrameExport::Storage::Matroska, FrameExport::Storage::Payloads}) {
            const bool matroska = storage == FrameExport::Storage::Matroska;
            const QString folder = into + (matroska ? u"/mkv"_s : u"/files"_s);
            QVERIFY(QDir().mkpath(folder));
            FrameExport exporter(source.reopened(), first, last, folder + u"/cut.mkv"_s, storage);
            QSignalSpy done(&exporter, &FrameExport::finished);
            exporter.start();
            QVERIFY(!done.isEmpty() || done.wait(WaitMs));
            const auto result = done.at(0).at(0).value<FrameExport::Result>();
            QVERIFY2(result.error.isEmpty(), qPrintable(result.error));
            QCOMPARE(result.frames, last - first + 1);
            QVERIFY(QFileInfo::exists(folder + u"/cut.csv"_s));
            for (const auto &[path, start] : opensOf(folder, u"cut.csv"_s)) {
                const std::unique_ptr<FrameSource> again = opened(path);
                QVERIFY2(namedAndPlaced(*again, folder + u"/cut*"_s, start), qPrintable(path));
                const Frames read = readAll(*again);
                QCOMPARE(read.described, expected.described);
                for (int i = 0; i < read.payloads.size(); ++i) {
                    if (!expected.payloads[i].isEmpty())
                        QVERIFY2(read.payloads[i] == expected.payloads[i], qPrintable(path + u" frame "_s + QString::number(i)));
                }
            }
        }
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        qRegisterMetaType<FrameExport::Result>();
    }

    void everyWriterEveryReader_data()
    {
        QTest::addColumn<qint32>("format");
        QTest::addColumn<QStringList>("storage");
        const QList<qint32> formats{BoardProtocol::FormatJpg, BoardProtocol::FormatGray, BoardProtocol::FormatUyvy,
                                    BoardProtocol::FormatYuv420, BoardProtocol::FormatNv12};
        for (const qint32 format : formats) {
            for (const QStringList &storage : {QStringList(), QStringList{u"--raw"_s}, QStringList{u"--mkv"_s}}) {
                const QString name = RecordIndex::formatName(format) + u" "_s
                                     + (storage.isEmpty() ? u"pictures"_s : storage.first().mid(2));
                QTest::newRow(qPrintable(name)) << format << storage;
            }
        }
    }

    void everyWriterEveryReader()
    {
        QFETCH(qint32, format);
        QFETCH(QStringList, storage);
        const QString root = dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_'));
        QVERIFY(QDir().mkpath(root));
        const qint32 switchedTo = (format + 1) % BoardProtocol::FormatCount;
        const QList<QByteArray> streams = boardStreams(format, switchedTo);
        QList<QString> parts;
        for (int i = 0; i < streams.size(); ++i) {
            parts << root + u"/part%1.wire"_s.arg(i);
            QFile file(parts.last());
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(streams[i]) == streams[i].size());
        }
        // The reference: the stream as the dumps hold it, each frame judged as the viewer would.
        const QString whole = root + u"/whole.wire"_s;
        {
            QFile file(whole);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(streams[0] + streams[1]) > 0);
        }
        WireDumpSource dump(whole);
        QVERIFY2(dump.open(), qPrintable(dump.errorString()));
        Frames expected;
        for (qint64 i = 0; i < dump.count(); ++i) {
            FrameSlot frame;
            QVERIFY(dump.frame(i, frame));
            expected.described << described(frame, expectedStatus(frame));
            expected.payloads << frame.payload;
            FrameDecoder decoder;
            QImage picture;
            expected.pictures << (decoder.decode(frame, picture) == FrameDecoder::Outcome::Shown ? pixelsOf(picture)
                                                                                                 : QByteArray());
        }

        const QString folder = root + u"/recording"_s;
        const ProgramRun recorded = record(parts, int(dump.count()), storage, folder);
        // Damaged and lost frames: the recorder says frames are missing, and nothing else. Its wire
        // dump of each connection holds the bytes the board sent on it.
        QCOMPARE(recorded.exitCode, 3);
        QVERIFY(fileBytes(folder + u".wire"_s) == streams[0] && fileBytes(folder + u".wire.1"_s) == streams[1]);

        const RecordIndex::Contents index = RecordIndex::read(folder + u"/bvtgrab_index.csv"_s);
        QVERIFY2(index.error.isEmpty(), qPrintable(index.error));
        QVERIFY(index.missingColumns.isEmpty() && index.unknownColumns.isEmpty());
        QCOMPARE(qint64(index.rows.size()), dump.count());
        QSet<QString> files;
        for (const RecordIndex::Row &row : index.rows) {
            QVERIFY(row.arrival.isValid());
            if (!row.file.isEmpty())
                files << row.file;
        }

        const bool pictures = storage.isEmpty();
        for (const auto &[path, start] : opensOf(folder, u"bvtgrab_index.csv"_s)) {
            const std::unique_ptr<FrameSource> source = opened(path);
            QVERIFY2(namedAndPlaced(*source, folder + u"/bvtgrab_*"_s, start), qPrintable(path));
            const Frames read = readAll(*source);
            QCOMPARE(read.described, expected.described);
            for (int i = 0; i < read.payloads.size(); ++i) {
                const QString where = path + u" frame "_s + QString::number(i + 1);
                QCOMPARE(read.arrivals[i], index.rows[size_t(i)].arrival);
                // A frame's bytes as received, or its picture; nothing of a frame not stored.
                if (index.rows[size_t(i)].file.isEmpty())
                    QVERIFY2(read.payloads[i].isEmpty() && read.pictures[i].isEmpty(), qPrintable(where));
                else if (!read.pictures[i].isEmpty())
                    QVERIFY2(pictures && read.pictures[i] == expected.pictures[i], qPrintable(where));
                else
                    QVERIFY2(read.payloads[i] == expected.payloads[i], qPrintable(where));
            }
        }

        if (storage.contains(u"--mkv"_s)) {
            if (!have(u"ffprobe"_s) || !have(u"ffmpeg"_s) || !have(u"mkvinfo"_s))
                QSKIP("ffmpeg or mkvtoolnix is not installed");
            QCOMPARE(files.size(), 2); // one file a format
            for (const QString &file : std::as_const(files))
                judgeMatroska(folder + u'/' + file, index.rows, expected);
        }
        if (!pictures) {
            const std::unique_ptr<FrameSource> source = opened(folder);
            exportAndReopen(*source, root + u"/export"_s);
        }
    }
};

QTEST_GUILESS_MAIN(tst_RoundTrip)
#include "tst_roundtrip.moc"
