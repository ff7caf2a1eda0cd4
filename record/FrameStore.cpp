#include "FrameStore.h"

#include "BoardProtocol.h"
#include "JpegDecoder.h"

#include <QFileInfo>

#include <chrono>
#include <memory>

FrameStore::FrameStore(const QString &folder, const QString &prefix, bool raw,
                       StreamStatistics &statistics)
    : raw(raw)
{
    framePath.setStatistics(&statistics);
    framePath.setScreenless(true);
    framePath.capture().start(folder, prefix, QStringLiteral("jpg"), raw);
}

FrameStore::~FrameStore()
{
    judges.waitForDone();
}

QString FrameStore::statusWord(Status status)
{
    switch (status) {
    case Status::Stored:
        return QStringLiteral("stored");
    case Status::Damaged:
        return QStringLiteral("damaged");
    case Status::Failed:
        break;
    }
    return QStringLiteral("failed");
}

void FrameStore::take(const FrameSlot &frame, const QDateTime &arrival)
{
    InHand taken{frame, arrival, {}};
    if (frame.format == BoardProtocol::FormatJpg) {
        auto judgement = std::make_shared<std::promise<FramePath::Outcome>>();
        taken.judgement = judgement->get_future();
        // The payload is shared, never copied: the parser fills a buffer of its own next time.
        judges.start([this, judgement, frame] {
            thread_local JpegDecoder decoder;
            decoder.init();
            judgement->set_value(FramePath::judgeJpeg(decoder, frame));
            QMetaObject::invokeMethod(&judgedNotices, [this] {
                if (onJudged)
                    onJudged();
            }, Qt::QueuedConnection);
        });
    }
    frames.push_back(std::move(taken));
}

bool FrameStore::giveBack(Entry &entry, bool wait)
{
    if (frames.empty())
        return false;
    InHand &oldest = frames.front();
    const bool judgedApart = oldest.judgement.valid();
    if (judgedApart && !wait
        && oldest.judgement.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
        return false;

    CaptureWriter &capture = framePath.capture();
    if (oldest.frame.format == BoardProtocol::FormatJpg)
        capture.setExtension(QStringLiteral("jpg"));
    else
        capture.setExtension(raw ? QStringLiteral("bvt") : QStringLiteral("bmp"));
    const FramePath::Result result = judgedApart
                                         ? framePath.showJudged(oldest.frame, oldest.judgement.get())
                                         : framePath.show(oldest.frame);

    entry.stored = Stored();
    if (result.capture == FramePath::CaptureFailed) {
        entry.stored.status = Status::Failed;
    } else {
        if (result.capture >= 0)
            entry.stored.file = QFileInfo(capture.fileName(result.capture)).fileName();
        // A frame left without its picture for want of memory is no clean conversion either.
        entry.stored.status = result.shown() ? Status::Stored : Status::Damaged;
    }
    entry.frame = std::move(oldest.frame);
    entry.arrival = oldest.arrival;
    frames.pop_front();
    return true;
}
