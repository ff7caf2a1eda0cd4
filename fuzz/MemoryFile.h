#pragma once

// The fuzz input as a file for readers that open paths: a memory file, named by its path under
// /proc/self/fd, gone when this goes.

#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

class MemoryFile
{
public:
    MemoryFile(const uint8_t *data, size_t size)
        : fd(memfd_create("fuzz_input", MFD_CLOEXEC))
    {
        written = fd >= 0 && ::write(fd, data, size) == ssize_t(size);
    }
    ~MemoryFile()
    {
        if (fd >= 0)
            ::close(fd);
    }
    MemoryFile(const MemoryFile &) = delete;
    MemoryFile &operator=(const MemoryFile &) = delete;

    bool isReady() const { return written; }
    QString path() const { return QStringLiteral("/proc/self/fd/%1").arg(fd); }

private:
    const int fd;
    bool written = false;
};
