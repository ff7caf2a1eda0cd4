// The wire-dump source on arbitrary files: open (the one scan that indexes every record), then
// every frame (up to a bound) and its header. It must give frames or an error text, never
// crash, hang or read out of bounds.
//
// Input: the file's bytes.

#include "WireDumpSource.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace {
constexpr qint64 MaxFramesRead = 64;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A file in memory: the source opens paths.
    const int fd = memfd_create("fuzz_wiredump", MFD_CLOEXEC);
    if (fd < 0)
        return 0;
    if (::write(fd, data, size) == ssize_t(size)) {
        WireDumpSource source(QStringLiteral("/proc/self/fd/%1").arg(fd));
        if (source.open()) {
            FrameSlot frame;
            for (qint64 i = 0; i < source.count() && i < MaxFramesRead; ++i) {
                source.header(i, frame);
                source.frame(i, frame);
            }
        }
    }
    ::close(fd);
    return 0;
}
