#pragma once

#include <QByteArray>

#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>
#include <vector>

// One libjpeg decompression object reused for every frame, decoding JPEG data held in memory into
// packed R,G,B bytes. A corrupt frame is reported as -1, never by ending the process.
class JpegDecoder
{
public:
    // Rgb: 3 bytes a pixel, R,G,B. Xrgb32: one native-endian 32-bit word 0xffRRGGBB a pixel
    // (a QImage::Format_RGB32 picture).
    enum class Pixels { Rgb, Xrgb32 };

    // Far above the largest frame a board sends; a few hundred bytes of JPEG can announce up to
    // 65500 x 65500 pixels, which must not make the client allocate and decode gigabytes.
    static constexpr long long MaxPixels = 4096LL * 4096;

    JpegDecoder();
    ~JpegDecoder();
    JpegDecoder(const JpegDecoder &) = delete;
    JpegDecoder &operator=(const JpegDecoder &) = delete;

    void init();
    // The bytes must stay valid until the frame is decoded; they are never written.
    void setSource(const unsigned char *data, int size);
    // Reads the header and checks it against the announced size; sizes the output. 0 or -1.
    int jpeg_check_header(int width, int height);
    // The same check, for a decode into the caller's buffer: the output is left as it is.
    int checkHeader(int width, int height);
    // Decodes the image whose header was checked into the output. 0 or -1.
    int decode();
    // Decodes it into dst instead, rows stride bytes apart; -1, nothing decoded, when the picture
    // does not fit dstLength bytes or a row does not fit the stride.
    int decodeInto(unsigned char *dst, size_t dstLength, size_t stride, Pixels pixels);
    unsigned char *outputData();
    int outputSize() const;

private:
    struct ErrorManager
    {
        jpeg_error_mgr pub;
        jmp_buf jumpBuffer;
        char message[JMSG_LENGTH_MAX];
    };

    // Where the libjpeg object stands for the current source.
    enum class Stage { Idle, SourceSet, HeaderRead };

    using Step = void (*)(JpegDecoder *);
    bool runGuarded(Step step);
    bool attachSource();
    void resetToStart();
    static void errorExit(j_common_ptr cinfo);
    static void emitMessage(j_common_ptr cinfo, int msgLevel);

    static void createStep(JpegDecoder *self);
    static void memSrcStep(JpegDecoder *self);
    static void readHeaderStep(JpegDecoder *self);
    static void startStep(JpegDecoder *self);
    static void readRgbRowsStep(JpegDecoder *self);
    static void readGrayRowsStep(JpegDecoder *self);
    static void readRgbRowsAsWordsStep(JpegDecoder *self);
    static void finishStep(JpegDecoder *self);

    const unsigned char *srcData = nullptr;
    int srcSize = 0;
    QByteArray *output;
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    JSAMPARRAY rowBuffer = nullptr;
    int rowStride = 0;
    bool initialised = false;
    Stage stage = Stage::Idle;
    int checkedWidth = 0;
    int checkedHeight = 0;
    bool readFailed = false;
    std::vector<JSAMPROW> outputRows;
};
