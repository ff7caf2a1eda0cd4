#include "TroubleClip.h"

#include "BoardProtocol.h"
#include "FrameStorage.h"
#include "RecordIndex.h"
#include "RecordingNames.h"

#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

// The clip's bytes as a stream for its own parser: what is written is offered to read, once.
class ByteFeed : public QIODevice
{
public:
    ByteFeed() { QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered); }
    void feed(const QByteArray &bytes) { held.append(bytes); }
    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return held.size() - readAt; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 taken = std::min<qint64>(maxSize, held.size() - readAt);
        std::memcpy(data, held.constData() + readAt, size_t(taken));
        readAt += taken;
        // What was read goes once it is most of what is held: a payload is then read straight.
        if (readAt == held.size() || readAt > (1 << 20)) {
            held.remove(0, readAt);
            readAt = 0;
        }
        return taken;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray held;
    qint64 readAt = 0;
};

TroubleClip::TroubleClip(const QString &folder, const QString &prefix, const QJsonObject &about, qint64 firstFrame,
                         qint64 wallClockOffsetUs, QObject *parent)
    : QObject(parent)
    , folderPath(folder)
    , prefix(prefix)
    , about(about)
    , firstFrame(firstFrame)
    , wallClockOffsetUs(wallClockOffsetUs)
{
    parser.onFrameReady = [this] { frameParsed(); };
    parser.onRecordDropped = [this](const FrameSlot &header) { recordDropped(header); };
}

TroubleClip::~TroubleClip() = default;

void TroubleClip::open()
{
    if (!QDir().mkpath(folderPath))
        return fail(QStringLiteral("cannot make the folder %1").arg(folderPath));
    wire.setFileName(QDir(folderPath).filePath(QLatin1String(WireFileName)));
    if (!wire.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return fail(QStringLiteral("cannot write %1: %2").arg(wire.fileName(), wire.errorString()));
    const RecordingNames names = RecordingNames::recorder(folderPath, prefix);
    auto opened = std::make_unique<RecordingSession>(FrameStorage::make(FrameStorage::Kind::Matroska, names),
                                                     names.indexFile(), statistics);
    if (!opened->open())
        return fail(opened->errorString());
    session = std::move(opened);
    feed = std::make_unique<ByteFeed>(); // made here, to belong to the clip's thread
    parser.setDevice(feed.get());
    connect(session.get(), &RecordingSession::failed, this, &TroubleClip::fail);
    connect(session.get(), &RecordingSession::finished, this, &TroubleClip::sessionFinished);
    writeDocument();
}

void TroubleClip::write(const std::vector<Arrival> &records, const std::vector<QByteArray> &pieces)
{
    if (!session || !error.isEmpty())
        return;
    expected.insert(expected.end(), records.begin(), records.end());
    for (const QByteArray &piece : pieces) {
        if (wire.write(piece) != piece.size())
            return fail(QStringLiteral("cannot write %1: %2").arg(wire.fileName(), wire.errorString()));
        bytes += piece.size();
        feed->feed(piece);
        parser.process();
    }
}

// The clip's parser meets the records the capture's met, in the same order.
void TroubleClip::frameParsed()
{
    const FrameSlot &frame = parser.completedSlot();
    const qint64 arrivalUs = takeArrival(false);
    statistics.frameReceived(FrameParser::stampOf(frame), BoardProtocol::RecordPrefixBytes + frame.payload.size(),
                             arrivalUs);
    session->take(frame, QDateTime::fromMSecsSinceEpoch((arrivalUs + wallClockOffsetUs) / 1000, Qt::UTC));
    ++frames;
    lastBoardUs = frame.boardTimeUs();
    if (firstBoardUs < 0)
        firstBoardUs = lastBoardUs;
}

// The arrival of the next record of that kind the capture announced; -1 if none was.
qint64 TroubleClip::takeArrival(bool dropped)
{
    while (!expected.empty() && expected.front().dropped != dropped)
        expected.pop_front();
    if (expected.empty())
        return -1;
    const qint64 arrivalUs = expected.front().arrivalUs;
    expected.pop_front();
    return arrivalUs;
}

void TroubleClip::recordDropped(const FrameSlot &header)
{
    statistics.recordDropped(FrameParser::stampOf(header), takeArrival(true));
    ++recordsDropped;
}

// trouble.json lists each trouble as it comes, so that a clip whose program is killed still
// says what it holds.
void TroubleClip::addTrouble(const Trouble &trouble)
{
    troubles.push_back(trouble);
    if (session)
        writeDocument();
}

void TroubleClip::close(const Ending &end)
{
    ending = end;
    if (!session)
        return emit closed(QString());
    if (!wire.flush())
        fail(QStringLiteral("cannot write %1: %2").arg(wire.fileName(), wire.errorString()));
    wire.close();
    session->finish();
}

void TroubleClip::writeDocument()
{
    QSaveFile file(QDir(folderPath).filePath(QLatin1String(TroubleFileName)));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(document()).toJson());
        if (!file.commit())
            fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    } else {
        fail(QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    }
}

void TroubleClip::sessionFinished()
{
    writeDocument();
    std::set<QString> kinds;
    for (const Trouble &trouble : troubles)
        kinds.insert(troubleKindWord(trouble.kind));
    const QStringList kindList(kinds.begin(), kinds.end());
    emit closed(QStringLiteral("trouble clip %1: %2 (%3), %4 frames, %5 bytes")
                    .arg(QDir::toNativeSeparators(folderPath),
                         troubles.size() == 1 ? QStringLiteral("1 trouble")
                                              : QStringLiteral("%1 troubles").arg(troubles.size()),
                         kindList.join(QStringLiteral(", ")))
                    .arg(frames)
                    .arg(bytes));
}

QString TroubleClip::arrivalText(qint64 arrivalUs) const
{
    return RecordIndex::arrivalTime(
        QDateTime::fromMSecsSinceEpoch((arrivalUs + wallClockOffsetUs) / 1000, Qt::UTC));
}

QJsonObject TroubleClip::document() const
{
    QJsonArray list;
    for (const Trouble &trouble : troubles) {
        // A trouble that came after the clip's last frame (a lost connection) is told at that frame.
        const qint64 frame = std::clamp<qint64>(trouble.frame - firstFrame, 0, std::max<qint64>(frames - 1, 0));
        QJsonObject entry{{QStringLiteral("kind"), troubleKindWord(trouble.kind)},
                          {QStringLiteral("frame"), frame},
                          {QStringLiteral("board_time"), RecordIndex::boardTime(trouble.boardUs)},
                          {QStringLiteral("arrival"), arrivalText(trouble.arrivalUs)}};
        if (trouble.kind == TroubleKind::Lost)
            entry.insert(QStringLiteral("count"), qint64(trouble.count));
        list.append(entry);
    }
    const auto boardTime = [](qint64 us) { return us < 0 ? QJsonValue() : QJsonValue(RecordIndex::boardTime(us)); };
    QJsonObject document = about;
    // None while the clip is being written.
    document.insert(QStringLiteral("ended"), ending.reason.isEmpty() ? QJsonValue() : QJsonValue(ending.reason));
    document.insert(QStringLiteral("seconds_before"), std::round(ending.secondsBefore * 1000) / 1000);
    document.insert(QStringLiteral("memory_limited"), ending.memoryLimited);
    document.insert(QStringLiteral("frames"), frames);
    document.insert(QStringLiteral("records_dropped"), recordsDropped);
    document.insert(QStringLiteral("bytes"), bytes);
    document.insert(QStringLiteral("first_board_time"), boardTime(firstBoardUs));
    document.insert(QStringLiteral("last_board_time"), boardTime(lastBoardUs));
    document.insert(QStringLiteral("troubles"), list);
    document.insert(QStringLiteral("timing"), statistics.timing().figures().toJson());
    return document;
}

void TroubleClip::fail(const QString &text)
{
    if (!error.isEmpty())
        return;
    error = text;
    emit failed(error);
}

std::vector<TroubleClip::Listed> TroubleClip::read(const QString &folder, QString &problem)
{
    std::vector<Listed> listed;
    QFile file(QDir(folder).filePath(QLatin1String(TroubleFileName)));
    if (!file.open(QIODevice::ReadOnly)) {
        problem = file.errorString();
        return listed;
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &parseError);
    if (!document.isObject()) {
        problem = parseError.errorString();
        return listed;
    }
    for (const QJsonValue &value : document.object().value(QStringLiteral("troubles")).toArray()) {
        const QJsonObject entry = value.toObject();
        const std::optional<TroubleKind> kind = troubleKindOf(entry.value(QStringLiteral("kind")).toString());
        const qint64 frame = entry.value(QStringLiteral("frame")).toInteger(-1);
        if (kind && frame >= 0)
            listed.push_back({*kind, frame});
    }
    return listed;
}

bool TroubleClip::isClip(const QString &folder)
{
    return QFileInfo(QDir(folder).filePath(QLatin1String(TroubleFileName))).isFile();
}
