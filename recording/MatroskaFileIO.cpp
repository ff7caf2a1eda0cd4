#include "MatroskaFileIO.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef Q_OS_WIN
#include <io.h>
#else
#include <sys/uio.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace {
// Below this a write is copied: element heads and small elements. Payloads are larger.
constexpr size_t BorrowFromBytes = 4096;
// Large enough for an element head and a block head, small enough that skipping a payload does
// not read much of it.
constexpr size_t ReadWindowBytes = 4096;

// The descriptor calls, named once for both systems.
#ifdef Q_OS_WIN
struct iovec
{
    void *iov_base;
    size_t iov_len;
};
constexpr int VectorsPerWrite = 1024;

int openFile(const QString &path, MatroskaFileIO::Mode mode)
{
    const auto name = reinterpret_cast<const wchar_t *>(path.utf16());
    return mode == MatroskaFileIO::Mode::Read
               ? ::_wopen(name, _O_RDONLY | _O_BINARY | _O_NOINHERIT)
               : ::_wopen(name, _O_RDWR | _O_CREAT | _O_TRUNC | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
}

qint64 sizeOf(int fd)
{
    struct _stati64 status;
    return ::_fstati64(fd, &status) == 0 ? qint64(status.st_size) : -1;
}

// The C runtime has no gathered write: one call a piece, as writev() reports a short one.
qint64 writeVectors(int fd, const iovec *vectors, int count)
{
    qint64 total = 0;
    for (int i = 0; i < count; ++i) {
        const unsigned size = unsigned(std::min<size_t>(vectors[i].iov_len, INT_MAX));
        const int written = ::_write(fd, vectors[i].iov_base, size);
        if (written < 0)
            return total > 0 ? total : -1;
        total += written;
        if (unsigned(written) < vectors[i].iov_len)
            break;
    }
    return total;
}

// Nor a read at an offset: the descriptor's own offset is put back, as pread() leaves it.
qint64 readAt(int fd, void *buffer, size_t size, qint64 offset)
{
    const qint64 was = ::_lseeki64(fd, 0, SEEK_CUR);
    if (was < 0 || ::_lseeki64(fd, offset, SEEK_SET) < 0)
        return -1;
    const int got = ::_read(fd, buffer, unsigned(std::min<size_t>(size, INT_MAX)));
    const int readError = errno;
    if (::_lseeki64(fd, was, SEEK_SET) < 0)
        return -1;
    errno = readError;
    return got;
}

bool seekTo(int fd, qint64 offset)
{
    return ::_lseeki64(fd, offset, SEEK_SET) >= 0;
}

int closeFile(int fd)
{
    return ::_close(fd);
}
#else
constexpr int VectorsPerWrite = IOV_MAX;

int openFile(const QString &path, MatroskaFileIO::Mode mode)
{
    const QByteArray name = QFile::encodeName(path);
    return mode == MatroskaFileIO::Mode::Read ? ::open(name.constData(), O_RDONLY | O_CLOEXEC)
                                              : ::open(name.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
}

qint64 sizeOf(int fd)
{
    struct stat status;
    return ::fstat(fd, &status) == 0 ? qint64(status.st_size) : -1;
}

qint64 writeVectors(int fd, const iovec *vectors, int count)
{
    return ::writev(fd, vectors, count);
}

qint64 readAt(int fd, void *buffer, size_t size, qint64 offset)
{
    return ::pread(fd, buffer, size, off_t(offset));
}

bool seekTo(int fd, qint64 offset)
{
    return ::lseek(fd, off_t(offset), SEEK_SET) >= 0;
}

int closeFile(int fd)
{
    return ::close(fd);
}
#endif
} // namespace

MatroskaFileIO::~MatroskaFileIO()
{
    close();
}

bool MatroskaFileIO::open(const QString &path, Mode mode)
{
    close();
    failed = false;
    error.clear();
    position = 0;
    windowBytes = 0;
    fd = openFile(path, mode);
    if (fd < 0) {
        fail(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

qint64 MatroskaFileIO::fileSize() const
{
    return fd >= 0 ? sizeOf(fd) : -1;
}

void MatroskaFileIO::fail(const QString &what)
{
    if (!failed)
        error = what;
    failed = true;
}

size_t MatroskaFileIO::write(const void *buffer, size_t size)
{
    if (failed || fd < 0)
        return 0;
    const char *bytes = static_cast<const char *>(buffer);
    if (borrowLargeWrites && size >= BorrowFromBytes) {
        pieces.push_back({ bytes, 0, size });
    } else if (!pieces.empty() && !pieces.back().borrowed) {
        gathered.append(bytes, size);
        pieces.back().size += size;
    } else {
        pieces.push_back({ nullptr, gathered.size(), size });
        gathered.append(bytes, size);
    }
    position += size;
    return size;
}

bool MatroskaFileIO::writeAllPieces()
{
    std::vector<iovec> vectors;
    vectors.reserve(pieces.size());
    for (const Piece &piece : pieces) {
        const char *start = piece.borrowed ? piece.borrowed : gathered.data() + piece.offset;
        vectors.push_back({ const_cast<char *>(start), piece.size });
    }
    size_t next = 0;
    while (next < vectors.size()) {
        const int count = int(std::min<size_t>(vectors.size() - next, VectorsPerWrite));
        const qint64 written = writeVectors(fd, vectors.data() + next, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        // A short write: step over what went, go on with the rest.
        size_t left = size_t(written);
        while (next < vectors.size() && left >= vectors[next].iov_len)
            left -= vectors[next++].iov_len;
        if (next < vectors.size()) {
            vectors[next].iov_base = static_cast<char *>(vectors[next].iov_base) + left;
            vectors[next].iov_len -= left;
        }
    }
    return true;
}

bool MatroskaFileIO::flush()
{
    if (failed || fd < 0)
        return false;
    const bool written = pieces.empty() || writeAllPieces();
    pieces.clear();
    gathered.clear();
    return written;
}

uint32_t MatroskaFileIO::read(void *buffer, size_t size)
{
    if (failed || fd < 0 || !flush())
        return 0;
    char *out = static_cast<char *>(buffer);
    size_t done = 0;
    while (done < size) {
        if (position >= windowStart && position < windowStart + windowBytes) {
            const size_t from = size_t(position - windowStart);
            const size_t take = std::min(size - done, windowBytes - from);
            std::memcpy(out + done, window.data() + from, take);
            done += take;
            position += take;
            continue;
        }
        // Large reads (payloads) go straight into the caller's buffer.
        const bool direct = size - done >= ReadWindowBytes;
        window.resize(ReadWindowBytes);
        char *target = direct ? out + done : window.data();
        const size_t want = direct ? size - done : ReadWindowBytes;
        const qint64 got = readAt(fd, target, want, qint64(position));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            fail(QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        if (got == 0)
            break;
        if (direct) {
            done += size_t(got);
            position += uint64_t(got);
        } else {
            windowStart = position;
            windowBytes = size_t(got);
        }
    }
    return uint32_t(done);
}

void MatroskaFileIO::setFilePointer(int64_t offset, libebml::seek_mode mode)
{
    if (failed || fd < 0 || !flush())
        return;
    int64_t base = 0;
    if (mode == libebml::seek_current)
        base = int64_t(position);
    else if (mode == libebml::seek_end)
        base = fileSize();
    const int64_t target = base + offset;
    if (target < 0 || !seekTo(fd, target)) {
        fail(QStringLiteral("cannot seek to %1").arg(target));
        return;
    }
    position = uint64_t(target);
}

void MatroskaFileIO::close()
{
    if (fd < 0)
        return;
    flush();
    if (closeFile(fd) != 0)
        fail(QString::fromLocal8Bit(std::strerror(errno)));
    fd = -1;
}
