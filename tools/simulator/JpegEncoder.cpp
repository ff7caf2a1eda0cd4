#include "JpegEncoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>

namespace {

struct ErrorManager
{
    jpeg_error_mgr pub;
    jmp_buf jumpBuffer;
};

void errorExit(j_common_ptr cinfo)
{
    longjmp(reinterpret_cast<ErrorManager *>(cinfo->err)->jumpBuffer, 1);
}

void ignoreMessage(j_common_ptr, int) {}

struct EncodeJob
{
    const uint8_t *pixels;
    int width;
    int height;
    int components;
    int quality;
    jpeg_compress_struct cinfo;
    ErrorManager jerr;
    unsigned char *buffer = nullptr; // where libjpeg left the data: ours, or one it grew into
    unsigned long size = 0;
};

void compress(EncodeJob *job)
{
    jpeg_compress_struct &c = job->cinfo;
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &job->buffer, &job->size);
    c.image_width = static_cast<JDIMENSION>(job->width);
    c.image_height = static_cast<JDIMENSION>(job->height);
    c.input_components = job->components;
    c.in_color_space = job->components == 3 ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, job->quality, TRUE); // colour: 4:2:0 by libjpeg's defaults, as boards send
    jpeg_start_compress(&c, TRUE);
    const size_t stride = static_cast<size_t>(job->width) * job->components;
    while (c.next_scanline < c.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(job->pixels + c.next_scanline * stride);
        jpeg_write_scanlines(&c, &row, 1);
    }
    jpeg_finish_compress(&c);
}

// Kept apart so that nothing with a destructor lives between setjmp and longjmp.
bool runCompress(EncodeJob *job)
{
    if (setjmp(job->jerr.jumpBuffer) != 0)
        return false;
    compress(job);
    return true;
}

} // namespace

QByteArray encodeJpeg(const uint8_t *pixels, int width, int height, int components, int quality)
{
    if (!pixels || width <= 0 || height <= 0 || width > JPEG_MAX_DIMENSION
        || height > JPEG_MAX_DIMENSION || (components != 1 && components != 3))
        return QByteArray();

    EncodeJob job{pixels, width, height, components, quality < 1 ? 1 : (quality > 100 ? 100 : quality), {}, {}};
    job.cinfo.err = jpeg_std_error(&job.jerr.pub);
    job.jerr.pub.error_exit = errorExit;
    job.jerr.pub.emit_message = ignoreMessage;

    // Our own first buffer: libjpeg never frees a buffer it was given, so every path can free it.
    const unsigned long firstSize = static_cast<unsigned long>(width) * height * components / 4 + 16384;
    auto *firstBuffer = static_cast<unsigned char *>(malloc(firstSize));
    if (!firstBuffer)
        return QByteArray();
    job.buffer = firstBuffer;
    job.size = firstSize;

    const bool ok = runCompress(&job);
    jpeg_destroy_compress(&job.cinfo);
    QByteArray result;
    if (ok)
        result = QByteArray(reinterpret_cast<const char *>(job.buffer), static_cast<qsizetype>(job.size));
    if (ok && job.buffer != firstBuffer)
        free(job.buffer);
    free(firstBuffer);
    return result;
}
