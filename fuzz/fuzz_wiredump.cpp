// The wire-dump source on arbitrary files: open (the one scan that indexes every record), then
// every frame (up to a bound) and its header. It must give frames or an error text, never
// crash, hang or read out of bounds.
//
// Input: the file's bytes.

#include "MemoryFile.h"
#include "WireDumpSource.h"

#include <cstdint>

namespace {
constexpr qint64 MaxFramesRead = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const MemoryFile file(data, size);
    if (!file.isReady())
        return 0;
    WireDumpSource source(file.path());
    if (source.open()) {
        FrameSlot frame;
        for (qint64 i = 0; i < source.count() && i < MaxFramesRead; ++i) {
            source.header(i, frame);
            source.frame(i, frame);
        }
    }
    return 0;
}
