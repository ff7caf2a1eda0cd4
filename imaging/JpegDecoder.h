#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <memory>

// Decodes JPEG data held in memory into the picture the screen shows: native-endian 32-bit words
// 0xffRRGGBB, the layout of a QImage::Format_RGB32 picture. Each frame gets a libjpeg
// decompression object of its own, so no table of an earlier frame is ever used. A frame that
// libjpeg finds cut off or corrupt is reported as -1, never by ending the process and never as a
// picture with grey or garbled blocks; bytes an encoder left before the end-of-image marker are
// not damage. Damage that still decodes as valid data cannot be told from the frame. Nothing is
// printed: what libjpeg warned of and why a frame was refused are kept for the caller.
class JpegDecoder
{
public:
    // Far above the largest frame a board sends; a few hundred bytes of JPEG can announce up to
    // 65500 x 65500 pixels, which must not make the client allocate and decode gigabytes.
    static constexpr long long MaxPixels = 4096LL * 4096;

    // Ready to decode once constructed.
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    // Creates the libjpeg object again if the constructor could not; otherwise does nothing.
    void init();
    // The bytes must stay valid until the frame is decoded; they are never written.
    void setSource(const unsigned char *data, int size);
    // Reads the header and checks it against the size the frame announced. 0 or -1.
    int jpeg_check_header(int width, int height);
    // Decodes the image whose header was checked into dst, rows stride bytes apart. 0, or -1
    // when the picture does not fit dstLength bytes, a row does not fit the stride or the data
    // is damaged; what dst then holds is unspecified.
    int decodeInto(unsigned char *dst, size_t dstLength, size_t stride);
    // Tells whether the image whose header was checked decodes whole, as decodeInto would, for a
    // fraction of its cost: every coefficient is read, but only the last rows of an eighth-size
    // grey picture are made. 0, or -1 when the data is damaged.
    int verifyData();

    // libjpeg's warnings about the current source, in order, those it shrugged off included.
    const QStringList &warnings() const;
    // Why the current source was refused, as one line ("JPEG error: ...", "Error: ..."); empty
    // while it was not.
    const QString &failure() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
