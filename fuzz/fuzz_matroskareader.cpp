// The Matroska reader on arbitrary files: open, then every frame (up to a bound). It must give
// frames or an error text, never crash, hang or read out of bounds.
//
// Input: the file's bytes.

#include "MatroskaReader.h"
#include "MemoryFile.h"

#include <cstdint>

namespace {
constexpr qint64 MaxFramesRead = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const MemoryFile file(data, size);
    if (!file.isReady())
        return 0;
    MatroskaReader reader;
    if (reader.open(file.path())) {
        FrameSlot frame;
        for (qint64 i = 0; i < reader.frameCount() && i < MaxFramesRead; ++i)
            reader.frame(i, frame);
    }
    return 0;
}
