// The Matroska reader on arbitrary files: open, then every frame (up to a bound). It must give
// frames or an error text, never crash, hang or read out of bounds.
//
// Input: the file's bytes.

#include "MatroskaReader.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {
constexpr qint64 MaxFramesRead = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A file in memory: the reader opens paths.
    const int fd = memfd_create("fuzz_matroskareader", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::write(fd, data, size) == ssize_t(size)) {
        MatroskaReader reader;
        if (reader.open(QStringLiteral("/proc/self/fd/%1").arg(fd))) {
            FrameSlot frame;
            for (qint64 i = 0; i < reader.frameCount() && i < MaxFramesRead; ++i)
                reader.frame(i, frame);
        }
    }
    ::close(fd);
    return 0;
}
