#pragma once

#include <QByteArray>

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

// One libjpeg decompression object reused for every frame, decoding JPEG data held in memory into
// packed R,G,B bytes. A corrupt frame is reported as -1, never by ending the process.
class JpegDecoder
{
public:
    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    void init();
    void setSource(const unsigned char *data, int size);
    // Reads the header and checks it against the announced size; sizes the output. 0 or -1.
    int jpeg_check_header(int width, int height);
    // Decodes the image whose header was checked into the output. 0 or -1.
    int decode();
    unsigned char *outputData();
    int outputSize() const;

private:
    struct ErrorManager
    {
        jpeg_error_mgr pub;
        jmp_buf jumpBuffer;
    };

    const unsigned char *srcData = nullptr;
    int srcSize = 0;
    QByteArray *output;
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    JSAMPARRAY rowBuffer = nullptr;
    int rowStride = 0;
    bool initialised = false;
};
