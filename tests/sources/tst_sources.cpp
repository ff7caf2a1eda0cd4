#include "FileBytes.h"
#include "FrameRecord.h"
#include "FrameSourceFor.h"
#include "FrameStorage.h"
#include "Frames.h"
#include "JpegEncoder.h"
#include "RecentFramesSource.h"
#include "RecordIndex.h"
#include "RecordingNames.h"
#include "RecordingSession.h"
#include "StreamStatistics.h"

#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cstring>
#include <thread>

namespace {

constexpr int WaitMs = 30000;

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
QList<FrameSlot> clip()
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

QByteArray describe(const FrameSlot &frame, const QString &status, const QDateTime &arrival, const QImage &picture)
{
    QByteArray text = QByteArray::number(frame.format) + ' ' + QByteArray::number(frame.width) + 'x'
                      + QByteArray::number(frame.height) + ' ' + QByteArray::number(frame.size) + ' '
                      + RecordIndex::boardTime(frame.boardTimeUs()).toLatin1() + ' '
                      + QByteArray(frame.CLum, BoardProtocol::SensorBlockBytes).toHex() + ' '
                      + QByteArray(frame.CPos, BoardProtocol::SensorBlockBytes).toHex() + ' ' + frame.payload.toHex();
    if (!status.isEmpty())
        text += ' ' + status.toUtf8();
    if (!arrival.isNull())
        text += " at " + RecordIndex::arrivalTime(arrival).toLatin1();
    if (!picture.isNull())
        text += " picture " + QByteArray::number(picture.width()) + 'x' + QByteArray::number(picture.height());
    return text;
}

// Every frame of an opened source, as a user would see it.
QByteArrayList described(FrameSource &source)
{
    QByteArrayList list;
    FrameSlot frame;
    for (qint64 i = 0; i < source.count(); ++i)
        list << (source.frame(i, frame) ? describe(frame, source.recordedStatus(i), source.arrival(i), source.picture(i))
                                        : "error " + source.errorString().toUtf8());
    return list;
}

// What the index of a Matroska recording says of each frame, with the payload of those stored.
QByteArrayList expected(const QList<Stored> &entries, bool withArrival = true)
{
    QByteArrayList list;
    for (const Stored &entry : entries) {
        FrameSlot frame = entry.frame;
        if (entry.stored.file.isEmpty())
            frame.payload.clear();
        list << describe(frame, entry.stored.status, withArrival ? entry.arrival : QDateTime(), QImage());
    }
    return list;
}

} // namespace

class TestSources : public QObject
{
    Q_OBJECT

private slots:
    // An index written before it named each frame's place in its file: the frames are found by
    // their order in each file. Without its index, a Matroska file is read alone.
    void olderIndex()
    {
        const QString folder = dir.filePath("older");
        QVERIFY(QDir().mkpath(folder));
        const QList<Stored> entries = store(folder, FrameStorage::Kind::Matroska, clip());
        QCOMPARE(entries.size(), clip().size());
        const QString indexPath = folder + "/bvtgrab_index.csv";
        QVERIFY(writeIndex(indexPath, entries, false));
        const QStringList files{"bvtgrab_0.mkv", "bvtgrab_1.mkv", "bvtgrab_2.mkv"};
        for (const QString &path : QStringList{folder, indexPath} + files) {
            std::unique_ptr<FrameSource> source = frameSourceFor(path.endsWith(".mkv") ? folder + "/" + path : path);
            QVERIFY2(source->open(), qPrintable(source->errorString()));
            QCOMPARE(described(*source), expected(entries));
            const auto first = std::find_if(entries.cbegin(), entries.cend(),
                                            [&](const Stored &entry) { return entry.stored.file == path; });
            QCOMPARE(source->startFrame(), first == entries.cend() ? 0 : qint64(first - entries.cbegin()));
            QCOMPARE(source->notice(), QString());
        }

        QVERIFY(QFile::remove(indexPath));
        std::unique_ptr<FrameSource> alone = frameSourceFor(folder + "/" + files.first());
        QVERIFY(alone->open());
        QCOMPARE(alone->name(), files.first());
        QCOMPARE(alone->count(), 3);
        QCOMPARE(alone->recordedStatus(0), QString());
    }

    // An index of another shape opens, and says what it lacks and what it leaves aside.
    void indexOfAnotherShape()
    {
        const QString folder = dir.filePath("shape");
        QVERIFY(QDir().mkpath(folder));
        const QList<Stored> entries = store(folder, FrameStorage::Kind::Matroska, clip());
        const QString indexPath = folder + "/bvtgrab_index.csv";
        QVERIFY(writeIndex(indexPath, entries, true));
        // arrival_time (the 9th column) gives way to a column this reader does not know.
        QByteArrayList lines = fileBytes(indexPath).trimmed().split('\n');
        for (int i = 0; i < lines.size(); ++i) {
            QByteArrayList fields = lines[i].split(',');
            fields.removeAt(8);
            fields.insert(2, i == 0 ? "lens" : "wide");
            lines[i] = fields.join(',');
        }
        writeFile(indexPath, lines.join('\n') + '\n');

        for (const QString &path : {folder, indexPath, folder + "/bvtgrab_1.mkv"}) {
            std::unique_ptr<FrameSource> source = frameSourceFor(path);
            QVERIFY2(source->open(), qPrintable(source->errorString()));
            QCOMPARE(source->notice(), "bvtgrab_index.csv has no column arrival_time; column lens is not known and left aside");
            QCOMPARE(described(*source), expected(entries, false));
        }
    }

    void reopened_data()
    {
        QTest::addColumn<QString>("path"); // empty: the viewer's recent frames
        const QString folder = dir.filePath("again");
        QVERIFY(QDir().mkpath(folder + "/files"));
        const QList<Stored> recorded = store(folder, FrameStorage::Kind::Matroska, clip());
        QVERIFY(writeIndex(folder + "/bvtgrab_index.csv", recorded, true));
        const QList<Stored> pictures = store(folder + "/files", FrameStorage::Kind::Pictures, clip());
        QVERIFY(writeIndex(folder + "/files/bvtgrab_index.csv", pictures, false));
        QByteArray dump = "garbage!";
        for (const FrameSlot &frame : clip()) {
            FrameRecord record = makeRecordOf(frame);
            dump += record.toBytes();
        }
        writeFile(folder + "/run.wire", dump);
        QVERIFY(QFile::copy(folder + "/bvtgrab_2.mkv", folder + "/alone.mkv"));

        QTest::newRow("recording") << folder + "/bvtgrab_1.mkv";
        QTest::newRow("pictures") << folder + "/files";
        QTest::newRow("wire dump") << folder + "/run.wire";
        QTest::newRow("matroska file") << folder + "/alone.mkv";
        QTest::newRow("recent frames") << QString();
    }

    // Another source of the same frames, read on another thread while the first is read too.
    void reopened()
    {
        QFETCH(QString, path);
        std::unique_ptr<FrameSource> source;
        if (path.isEmpty()) {
            const QList<FrameSlot> frames = clip();
            source = std::make_unique<RecentFramesSource>(std::vector<FrameSlot>(frames.cbegin(), frames.cend()), "recent");
        } else {
            source = frameSourceFor(path);
        }
        QVERIFY2(source->open(), qPrintable(source->errorString()));
        const QByteArrayList frames = described(*source);
        QVERIFY(frames.size() >= 3 && !frames.join().contains("error"));
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
    static FrameRecord makeRecordOf(const FrameSlot &frame)
    {
        FrameRecord record;
        record.format = frame.format;
        record.width = frame.width;
        record.height = frame.height;
        record.payload = frame.payload;
        record.timestamp_s = frame.timestamp_s;
        record.timestamp_us = frame.timestamp_us;
        record.CLum = QByteArray(frame.CLum, BoardProtocol::SensorBlockBytes);
        record.CPos = QByteArray(frame.CPos, BoardProtocol::SensorBlockBytes);
        return record;
    }

    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TestSources)
#include "tst_sources.moc"
