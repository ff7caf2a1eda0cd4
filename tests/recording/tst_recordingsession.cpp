#include "FileBytes.h"
#include "FrameFilesStorage.h"
#include "Frames.h"
#include "JpegEncoder.h"
#include "MatroskaReader.h"
#include "MatroskaStorage.h"
#include "RecordIndex.h"
#include "RecordingNames.h"
#include "RecordingSession.h"
#include "StreamStatistics.h"

#include <QtTest>

using namespace BoardProtocol;

namespace {

constexpr int SessionTimeoutMs = 120000;

FrameSlot frameAt(int format, int width, int height, qint64 boardTimeUs)
{
    QByteArray payload;
    if (format == FormatJpg) {
        const QByteArray rgb(width * height * 3, '\x50');
        payload = encodeJpeg(reinterpret_cast<const uint8_t *>(rgb.constData()), width, height, 3, 90);
    } else {
        payload = QByteArray(format == FormatGray ? width * height : 2 * width * height, '\x33');
    }
    FrameSlot frame = frameOf(format, width, height, payload);
    frame.timestamp_s = qint32(boardTimeUs / FrameSlot::MicrosPerSecond);
    frame.timestamp_us = qint32(boardTimeUs % FrameSlot::MicrosPerSecond);
    return frame;
}

std::unique_ptr<FrameStorage> storageOf(const QString &kind, const RecordingNames &names)
{
    if (kind == QLatin1String("mkv"))
        return std::make_unique<MatroskaStorage>(names);
    return std::make_unique<FrameFilesStorage>(names, kind == QLatin1String("bvt") ? FrameFilesStorage::Form::Payloads
                                                                                    : FrameFilesStorage::Form::Pictures);
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

} // namespace

class TestRecordingSession : public QObject
{
    Q_OBJECT

private slots:
    // JPEG frames judged on other threads, as fast as they come with 16 in hand: every one is
    // indexed once, in order, with its own judgement, and is in the file. Judging that raced
    // with the giving back crashed now and then.
    void judgedApartInOrder()
    {
        constexpr int Frames = 50000;
        const FrameSlot jpeg = frameAt(FormatJpg, 8, 8, 0);
        StreamStatistics statistics;
        const RecordingNames names = RecordingNames::recorder(dir.path(), QStringLiteral("judged_"));
        RecordingSession session(std::make_unique<MatroskaStorage>(names), names.indexFile(), statistics,
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
        QTest::addColumn<QString>("storage");
        QTest::addColumn<QString>("typed"); // an export's name; empty: the recorder's prefix "rec_"
        QTest::addColumn<QString>("files"); // the four stored frames' files, then the index
        QTest::newRow("recorder, matroska") << "mkv" << "" << "rec_0.mkv rec_1.mkv rec_2.mkv rec_3.mkv rec_index.csv";
        QTest::newRow("export, matroska") << "mkv" << "cut" << "cut.mkv cut-2.mkv cut-3.mkv cut-4.mkv cut.csv";
        QTest::newRow("export, matroska of another suffix") << "mkv" << "cut.webm" << "cut.webm cut-2.webm cut-3.webm cut-4.webm cut.csv";
        QTest::newRow("export, matroska named as its index") << "mkv" << "cut.csv" << "cut.mkv cut-2.mkv cut-3.mkv cut-4.mkv cut.csv";
        QTest::newRow("recorder, payloads") << "bvt" << "" << "rec_0.bvt rec_1.jpg rec_2.bvt rec_3.bvt rec_index.csv";
        QTest::newRow("export, pictures") << "bmp" << "cut.bmp" << "cut-0.bmp cut-1.jpg cut-2.bmp cut-3.bmp cut.csv";
    }

    void storedAsNamed()
    {
        QFETCH(QString, storage);
        QFETCH(QString, typed);
        QFETCH(QString, files);
        QStringList written = files.split(' ');
        QStringList rows; // one frame a Matroska file, each its first
        for (const QString &file : written.mid(0, 4))
            rows << file + (storage == "mkv" ? " stored 0" : " stored -1");
        rows.insert(2, " hidden -1");

        QTemporaryDir folder;
        const RecordingNames names = typed.isEmpty() ? RecordingNames::recorder(folder.path(), QStringLiteral("rec_"))
                                                     : RecordingNames::exported(folder.filePath(typed));
        StreamStatistics statistics;
        RecordingSession session(storageOf(storage, names), names.indexFile(), statistics);
        QSignalSpy fileWritten(&session, &RecordingSession::fileWritten);
        QSignalSpy finished(&session, &RecordingSession::finished);
        QVERIFY(session.open());
        FrameSlot hidden = frameAt(FormatGray, 4, 2, 3000);
        hidden.format = 7;
        const QList<FrameSlot> frames{frameAt(FormatGray, 4, 2, 1000), frameAt(FormatJpg, 8, 8, 2000), hidden,
                                      frameAt(FormatUyvy, 6, 2, 4000), frameAt(FormatUyvy, 6, 2, 500)};
        for (const FrameSlot &frame : frames)
            session.take(frame, QDateTime());
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

private:
    QTemporaryDir dir;
};

QTEST_GUILESS_MAIN(TestRecordingSession)
#include "tst_recordingsession.moc"
