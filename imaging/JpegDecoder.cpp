#include "JpegDecoder.h"

#include <QtDebug>

JpegDecoder::JpegDecoder()
    : output(new QByteArray)
{
}

JpegDecoder::~JpegDecoder()
{
    if (initialised)
        jpeg_destroy_decompress(&cinfo);
    delete output;
}

void JpegDecoder::init()
{
    if (initialised)
        return;
    cinfo.err = jpeg_std_error(&jerr.pub);
    jerr.pub.error_exit = errorExit;
    jerr.pub.emit_message = emitMessage;
    if (!runGuarded(createStep)) {
        qDebug("JPEG error: %s", jerr.message);
        jpeg_destroy_decompress(&cinfo);
        return;
    }
    initialised = true;
}

void JpegDecoder::setSource(const unsigned char *data, int size)
{
    srcData = data;
    srcSize = size;
    attachSource();
}

int JpegDecoder::jpeg_check_header(int width, int height)
{
    if (checkHeader(width, height) < 0)
        return -1;
    const long long needed = 3LL * width * height;
    if (output->size() != needed) {
        output->resize(static_cast<int>(needed));
        qDebug("Resizing  JPEG buffer to %d", static_cast<int>(needed));
    }
    return 0;
}

int JpegDecoder::checkHeader(int width, int height)
{
    // A second check of the same frame starts again from its first byte.
    if (stage == Stage::HeaderRead && !attachSource())
        return -1;
    if (stage != Stage::SourceSet)
        return -1;

    readFailed = false;
    if (!runGuarded(readHeaderStep) || readFailed) {
        qDebug("JPEG error: %s", readFailed ? "no image in data" : jerr.message);
        resetToStart();
        return -1;
    }
    stage = Stage::HeaderRead;

    if (static_cast<long long>(cinfo.image_width) != width
        || static_cast<long long>(cinfo.image_height) != height) {
        qDebug("Error: incompatible jpeg sizes");
        resetToStart();
        return -1;
    }
    // The bound also keeps a picture of 4 bytes a pixel within an int.
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > MaxPixels) {
        qDebug("Error: jpeg size too large: %d x %d", width, height);
        resetToStart();
        return -1;
    }
    // libjpeg's default output is RGB for colour and one sample for grey; CMYK and others are not shown.
    if (cinfo.out_color_space != JCS_RGB && cinfo.out_color_space != JCS_GRAYSCALE) {
        qDebug("Error: unsupported jpeg colour space with %d components", cinfo.num_components);
        resetToStart();
        return -1;
    }
    checkedWidth = width;
    checkedHeight = height;
    return 0;
}

int JpegDecoder::decode()
{
    if (stage != Stage::HeaderRead)
        return -1;
    return decodeInto(outputData(), static_cast<size_t>(output->size()),
                      3 * static_cast<size_t>(checkedWidth), Pixels::Rgb);
}

int JpegDecoder::decodeInto(unsigned char *dst, size_t dstLength, size_t stride, Pixels pixels)
{
    if (stage != Stage::HeaderRead)
        return -1;
    const size_t width = static_cast<size_t>(checkedWidth);
    const size_t rowBytes = (pixels == Pixels::Rgb ? 3 : 4) * width;
    if (!dst || stride < rowBytes || dstLength < stride * (checkedHeight - 1) + rowBytes) {
        qDebug("JPEG error: the picture does not fit its buffer");
        resetToStart();
        return -1;
    }
    // libjpeg-turbo writes the 32-bit words itself, grey images included.
    int wordComponents = 0;
#ifdef JCS_EXTENSIONS
    if (pixels == Pixels::Xrgb32) {
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
        cinfo.out_color_space = JCS_EXT_BGRX;
#else
        cinfo.out_color_space = JCS_EXT_XRGB;
#endif
        wordComponents = 4;
    }
#endif

    if (!runGuarded(startStep)) {
        qDebug("JPEG error: %s", jerr.message);
        resetToStart();
        return -1;
    }
    const int components = cinfo.output_components;
    const bool direct = pixels == Pixels::Rgb ? components == 3 : components == wordComponents;
    if (static_cast<long long>(cinfo.output_width) != checkedWidth
        || static_cast<long long>(cinfo.output_height) != checkedHeight
        || (!direct && components != 1 && components != 3)) {
        qDebug("JPEG error: unexpected output layout");
        resetToStart();
        return -1;
    }

    // Each image gets the row length of its own output; rows of the picture's own layout go
    // straight into it.
    rowStride = checkedWidth * components;
    outputRows.resize(checkedHeight);
    for (int row = 0; row < checkedHeight; ++row)
        outputRows[row] = dst + row * stride;

    readFailed = false;
    const Step readRows = direct ? readRgbRowsStep
        : pixels == Pixels::Rgb  ? readGrayRowsStep
                                 : readRgbRowsAsWordsStep;
    const bool read = runGuarded(readRows);
    if (!read || readFailed) {
        qDebug("JPEG error: %s", read ? "scan lines ended early" : jerr.message);
        resetToStart();
        return -1;
    }
    if (!runGuarded(finishStep)) {
        qDebug("JPEG error: %s", jerr.message);
        resetToStart();
        return -1;
    }
    rowBuffer = nullptr;
    stage = Stage::Idle;
    return 0;
}

unsigned char *JpegDecoder::outputData()
{
    return reinterpret_cast<unsigned char *>(output->data());
}

int JpegDecoder::outputSize() const
{
    return static_cast<int>(output->size());
}

// Only plain calls happen between setjmp and a possible longjmp, and no object with a destructor
// lives in the frames that a longjmp skips.
bool JpegDecoder::runGuarded(Step step)
{
    if (setjmp(jerr.jumpBuffer) != 0)
        return false;
    step(this);
    return true;
}

bool JpegDecoder::attachSource()
{
    if (!initialised) {
        stage = Stage::Idle;
        return false;
    }
    resetToStart();
    // libjpeg keeps Huffman and quantisation tables from image to image, so a frame that leaves
    // out the standard tables would be decoded with those of an earlier frame: start afresh.
    jpeg_destroy_decompress(&cinfo);
    initialised = false;
    init();
    if (!initialised)
        return false;
    // libjpeg treats an empty or missing buffer as a fatal error.
    if (!runGuarded(memSrcStep)) {
        qDebug("JPEG error: %s", jerr.message);
        resetToStart();
        return false;
    }
    stage = Stage::SourceSet;
    return true;
}

void JpegDecoder::resetToStart()
{
    if (initialised)
        jpeg_abort_decompress(&cinfo);
    rowBuffer = nullptr;
    stage = Stage::Idle;
}

void JpegDecoder::errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->jumpBuffer, 1);
}

// A damaged frame can raise a warning per block; one line per frame is enough.
void JpegDecoder::emitMessage(j_common_ptr cinfo, int msgLevel)
{
    if (msgLevel >= 0)
        return;
    if (cinfo->err->num_warnings++ == 0) {
        char text[JMSG_LENGTH_MAX];
        (*cinfo->err->format_message)(cinfo, text);
        qDebug("JPEG warning: %s", text);
    }
}

void JpegDecoder::createStep(JpegDecoder *self)
{
    jpeg_create_decompress(&self->cinfo);
}

void JpegDecoder::memSrcStep(JpegDecoder *self)
{
    const unsigned long size = self->srcSize > 0 ? static_cast<unsigned long>(self->srcSize) : 0;
    jpeg_mem_src(&self->cinfo, self->srcData, size);
}

void JpegDecoder::readHeaderStep(JpegDecoder *self)
{
    if (jpeg_read_header(&self->cinfo, TRUE) != JPEG_HEADER_OK)
        self->readFailed = true;
}

void JpegDecoder::startStep(JpegDecoder *self)
{
    jpeg_start_decompress(&self->cinfo);
}

void JpegDecoder::readRgbRowsStep(JpegDecoder *self)
{
    jpeg_decompress_struct &c = self->cinfo;
    while (c.output_scanline < c.output_height) {
        const JDIMENSION row = c.output_scanline;
        if (jpeg_read_scanlines(&c, self->outputRows.data() + row, c.output_height - row) == 0) {
            self->readFailed = true;
            return;
        }
    }
}

void JpegDecoder::readGrayRowsStep(JpegDecoder *self)
{
    jpeg_decompress_struct &c = self->cinfo;
    self->rowBuffer = (*c.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&c), JPOOL_IMAGE,
                                             static_cast<JDIMENSION>(self->rowStride), 1);
    const int width = self->rowStride;
    while (c.output_scanline < c.output_height) {
        unsigned char *dst = self->outputRows[c.output_scanline];
        if (jpeg_read_scanlines(&c, self->rowBuffer, 1) != 1) {
            self->readFailed = true;
            return;
        }
        const unsigned char *src = self->rowBuffer[0];
        for (int x = 0; x < width; ++x) {
            dst[3 * x] = src[x];
            dst[3 * x + 1] = src[x];
            dst[3 * x + 2] = src[x];
        }
    }
}

// Where libjpeg cannot write the words itself: each row of grey or R,G,B samples widened.
void JpegDecoder::readRgbRowsAsWordsStep(JpegDecoder *self)
{
    jpeg_decompress_struct &c = self->cinfo;
    self->rowBuffer = (*c.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&c), JPOOL_IMAGE,
                                             static_cast<JDIMENSION>(self->rowStride), 1);
    const int components = c.output_components;
    const int width = static_cast<int>(c.output_width);
    while (c.output_scanline < c.output_height) {
        auto *dst = reinterpret_cast<quint32 *>(self->outputRows[c.output_scanline]);
        if (jpeg_read_scanlines(&c, self->rowBuffer, 1) != 1) {
            self->readFailed = true;
            return;
        }
        const unsigned char *src = self->rowBuffer[0];
        for (int x = 0; x < width; ++x) {
            const unsigned char *p = src + x * components;
            const quint32 red = p[0], green = p[components == 3 ? 1 : 0],
                          blue = p[components == 3 ? 2 : 0];
            dst[x] = 0xff000000u | red << 16 | green << 8 | blue;
        }
    }
}

void JpegDecoder::finishStep(JpegDecoder *self)
{
    jpeg_finish_decompress(&self->cinfo);
}
