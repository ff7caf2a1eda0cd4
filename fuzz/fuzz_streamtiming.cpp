// The stream timing on arbitrary board and arrival times: clocks going back, standing still,
// leaping, wrapping; frames lost and damaged; connections restarting. Its figures must stay
// finite and its points match the frames kept; it must never crash or read out of bounds.
//
// Input: a rate byte, a kept-span byte, then per frame 8 bytes board time, 4 bytes arrival step
// (signed), 1 byte of events (low bits: frames lost; 0x40 damaged; 0x80 a new connection first).

#include "StreamTiming.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

template <typename T> T take(const uint8_t *&data, size_t &size)
{
    T value{};
    const size_t n = std::min(size, sizeof value);
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

void mustBeFinite(const TimingSpread &spread)
{
    if (!std::isfinite(spread.sigmaUs) || spread.p50Us > spread.p95Us || spread.p95Us > spread.p99Us
        || spread.p99Us > spread.maxUs || spread.p50Us < 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int rate = take<uint8_t>(data, size) % 40;
    const qint64 keptUs = qint64(take<uint8_t>(data, size)) * 100000;
    StreamTiming timing(keptUs);
    timing.setFrameRate(rate);
    qint64 arrivalUs = 0;
    qint64 added = 0;
    while (size > 0) {
        const qint64 boardUs = take<qint64>(data, size);
        arrivalUs += take<int32_t>(data, size);
        const uint8_t events = take<uint8_t>(data, size);
        if (events & 0x80)
            timing.restart();
        timing.add(boardUs, arrivalUs, events & 0x3f);
        ++added;
        if (events & 0x40)
            timing.markNewestDamaged();
    }
    if (timing.size() > added || (keptUs == 0 && timing.size() != added))
        std::abort();
    for (const TimingFigures &figures : {timing.figures(), timing.figures(timing.size() / 2, timing.size())}) {
        mustBeFinite(figures.boardJitter);
        mustBeFinite(figures.arrivalJitter);
        mustBeFinite(figures.latency);
        if (figures.driftKnown && !std::isfinite(figures.driftPpm))
            std::abort();
        figures.text();
    }
    std::vector<TimingPoint> points;
    timing.points(0, timing.size(), points);
    if (qint64(points.size()) != timing.size())
        std::abort();
    return 0;
}
