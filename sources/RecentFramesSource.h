#pragma once

#include "FrameSource.h"

#include <vector>

// The viewer's recent frames as they stood when it was made; the stream going on changes nothing
// here, and the payloads stay shared with the viewer's own.
class RecentFramesSource : public FrameSource
{
public:
    // arrivals: one per frame, or none when not known.
    RecentFramesSource(std::vector<FrameSlot> frames, const QString &name,
                       std::vector<QDateTime> arrivals = {})
        : frames(std::move(frames)), arrivals(std::move(arrivals)), sourceName(name) {}

    bool open() override;
    qint64 count() const override { return qint64(frames.size()); }
    bool frame(qint64 index, FrameSlot &slot) override;
    QString name() const override { return sourceName; }
    QString kind() const override { return QStringLiteral("recent frames"); }
    QString errorString() const override { return error; }
    QDateTime arrival(qint64 index) const override;
    std::unique_ptr<FrameSource> reopened() const override;

private:
    std::vector<FrameSlot> frames;
    std::vector<QDateTime> arrivals;
    QString sourceName;
    QString error;
};
