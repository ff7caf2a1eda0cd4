#pragma once

#include <ebml/IOCallback.h>

#include <QString>

#include <string>
#include <vector>

// The file under libebml's reads and writes, over a C runtime descriptor. A failed call is
// recorded (errorString) and answered with a short count, never with an exception, so the
// failure reaches the caller through its return value. Writes are gathered and handed to the
// kernel in one writev() by flush() (a call a piece on Windows, which has none); reads go
// through a small window, because the element scanner reads a byte at a time.
class MatroskaFileIO : public libebml::IOCallback
{
public:
    enum class Mode { Read, Create };

    MatroskaFileIO() = default;
    ~MatroskaFileIO() override;
    MatroskaFileIO(const MatroskaFileIO &) = delete;
    MatroskaFileIO &operator=(const MatroskaFileIO &) = delete;

    bool open(const QString &path, Mode mode);
    bool hasFailed() const { return failed; }
    QString errorString() const { return error; }
    qint64 fileSize() const;

    // While set, a large write keeps a pointer to the caller's bytes instead of a copy: the
    // caller promises they stay untouched until the next flush().
    void setBorrowLargeWrites(bool borrow) { borrowLargeWrites = borrow; }
    bool flush();

    uint32_t read(void *buffer, size_t size) override;
    void setFilePointer(int64_t offset, libebml::seek_mode mode = libebml::seek_beginning) override;
    size_t write(const void *buffer, size_t size) override;
    uint64_t getFilePointer() override { return position; }
    void close() override;

private:
    struct Piece
    {
        const char *borrowed; // null: the bytes are in `gathered` at `offset`
        size_t offset;
        size_t size;
    };

    void fail(const QString &what);
    bool writeAllPieces();

    int fd = -1;
    bool failed = false;
    QString error;
    uint64_t position = 0;

    bool borrowLargeWrites = false;
    std::string gathered;
    std::vector<Piece> pieces;

    std::vector<char> window;
    uint64_t windowStart = 0;
    size_t windowBytes = 0;
};
