#pragma once

#include "FrameParser.h"
#include "RecordingSession.h"
#include "StreamStatistics.h"
#include "TroubleKind.h"

#include <QFile>
#include <QJsonObject>
#include <QObject>
#include <QString>

#include <deque>
#include <memory>
#include <vector>

class ByteFeed;

// One clip of the stream around troubles, in a folder of its own: the bytes as received
// (stream.wire), the same records parsed again and recorded through a recording session as
// Matroska with its index, and trouble.json, which lists the troubles and the timing of the clip.
// Frames are numbered as the clip's index numbers them, from 0.
// A clip is written on a thread of its own, beside the stream's reader, which hands it work through
// queued calls: every call below is made on the clip's thread.
class TroubleClip : public QObject
{
    Q_OBJECT

public:
    static constexpr const char *WireFileName = "stream.wire";
    static constexpr const char *TroubleFileName = "trouble.json";

    struct Trouble
    {
        TroubleKind kind;
        qint64 frame; // the frame it befell or came before, as the capture numbers frames
        qint64 boardUs; // as the board sent it
        qint64 arrivalUs; // the host's monotonic clock
        quint32 count = 0; // frames lost
    };
    // What the capture knows of the clip as it ends.
    struct Ending
    {
        QString reason; // "after time", "connection lost", ...
        double secondsBefore = 0; // board time held before the first trouble
        bool memoryLimited = false; // the ring let go of bytes within the seconds asked
    };

    // about: the program, its version and options, copied into trouble.json. firstFrame: the
    // capture's number of the clip's first frame. wallClockOffsetUs turns the monotonic clock
    // into UTC.
    TroubleClip(const QString &folder, const QString &prefix, const QJsonObject &about, qint64 firstFrame,
                qint64 wallClockOffsetUs, QObject *parent = nullptr);
    ~TroubleClip() override;

    // How a record came: when, and whether it is a frame or a record dropped for its size.
    struct Arrival
    {
        qint64 arrivalUs;
        bool dropped;
    };

    // Makes the folder and opens its files; failed() when it cannot, and the clip then takes
    // nothing more.
    void open();
    // The next records, in order, and the bytes as received that end with them.
    void write(const std::vector<Arrival> &records, const std::vector<QByteArray> &bytes);
    void addTrouble(const Trouble &trouble);
    // No more bytes: once every frame is stored, trouble.json is written and closed() emitted,
    // with no description when the clip could not be opened.
    void close(const Ending &ending);

    // The troubles a clip's folder lists, each with the frame it befell; empty with problem set
    // when the list cannot be read.
    struct Listed
    {
        TroubleKind kind;
        qint64 frame;
    };
    static std::vector<Listed> read(const QString &folder, QString &problem);
    static bool isClip(const QString &folder);

    QString folder() const { return folderPath; }

signals:
    // description: one line for a log, the folder, its troubles, frames and bytes.
    void closed(const QString &description);
    void failed(const QString &error);

private:
    void frameParsed();
    void recordDropped(const FrameSlot &header);
    qint64 takeArrival(bool dropped);
    void sessionFinished();
    QJsonObject document() const;
    void writeDocument();
    QString arrivalText(qint64 arrivalUs) const;
    void fail(const QString &text);

    const QString folderPath;
    const QString prefix;
    const QJsonObject about;
    const qint64 firstFrame;
    const qint64 wallClockOffsetUs;
    QFile wire;
    std::unique_ptr<ByteFeed> feed;
    FrameParser parser;
    StreamStatistics statistics{0};
    std::unique_ptr<RecordingSession> session;
    std::deque<Arrival> expected;
    std::vector<Trouble> troubles;
    Ending ending;
    qint64 frames = 0;
    qint64 recordsDropped = 0;
    qint64 bytes = 0;
    qint64 firstBoardUs = -1;
    qint64 lastBoardUs = -1;
    QString error;
};
