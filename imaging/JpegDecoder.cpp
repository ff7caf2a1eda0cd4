#include "JpegDecoder.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
#include <vector>

// Pictures are decoded straight into 32-bit words, which only libjpeg-turbo's colour spaces give.
#ifndef JCS_EXTENSIONS
#error "libjpeg-turbo (JCS_EXTENSIONS) is needed"
#endif

namespace {

struct ErrorManager
{
    jpeg_error_mgr pub;
    jmp_buf jumpBuffer;
    char message[JMSG_LENGTH_MAX];
    // Bytes found between the last scan and the end-of-image marker, judged once it is read.
    unsigned leftoverBytes;
    char leftoverMessage[JMSG_LENGTH_MAX];
    QStringList *warnings;
};

// Warnings after which the picture would not be the frame: blocks left grey, garbled or decoded
// against the wrong coefficients. Bytes left over before a restart marker or another scan mean a
// stretch of data ended before its bytes did, which is how damage inside it mostly shows (those
// before the end-of-image marker are judged apart, by what they hold). Scan
// parameters a sequential image does not use are ignored by its decode, so their warning, raised
// by encoders that write zeros there, is harmless.
bool damagesPicture(int messageCode)
{
    switch (messageCode) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_BOGUS_PROGRESSION:
        return true;
    default:
        return false;
    }
}

[[noreturn]] void errorExit(j_common_ptr cinfo)
{
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    longjmp(err->jumpBuffer, 1);
}

void keepWarning(ErrorManager &err, const char *text)
{
    err.warnings->append(QString::fromUtf8(text));
}

// A damaging warning ends the decode like an error; a benign one is kept.
void emitMessage(j_common_ptr cinfo, int msgLevel)
{
    if (msgLevel >= 0)
        return;
    auto *err = reinterpret_cast<ErrorManager *>(cinfo->err);
    if (err->pub.msg_code == JWRN_EXTRANEOUS_DATA && err->pub.msg_parm.i[1] == JPEG_EOI) {
        err->leftoverBytes = static_cast<unsigned>(err->pub.msg_parm.i[0]);
        (*cinfo->err->format_message)(cinfo, err->leftoverMessage);
        return;
    }
    if (damagesPicture(err->pub.msg_code))
        errorExit(cinfo);
    char text[JMSG_LENGTH_MAX];
    (*cinfo->err->format_message)(cinfo, text);
    keepWarning(*err, text);
}

// Whether the bytes left before the end-of-image marker, which ends at end, are padding: many
// encoders fill frames with a run of one value after the last scan, which changes nothing.
// Anything else is more coded data, which a scan whose blocks ended early leaves over.
bool isPadding(const unsigned char *data, const unsigned char *end, unsigned count)
{
    if (end - data < 2 || end[-1] != JPEG_EOI || end[-2] != 0xFF)
        return false;
    const unsigned char *marker = end - 2;
    while (marker > data && marker[-1] == 0xFF) // fill bytes before a marker are not counted
        --marker;
    if (static_cast<size_t>(marker - data) < count)
        return false;
    return std::all_of(marker - count, marker, [&](unsigned char b) { return b == marker[-1]; });
}

} // namespace

struct JpegDecoder::Impl
{
    // Where the libjpeg object stands for the current source.
    enum class Stage { Idle, SourceSet, HeaderRead };

    const unsigned char *srcData = nullptr;
    int srcSize = 0;
    jpeg_decompress_struct cinfo;
    ErrorManager jerr;
    bool initialised = false;
    Stage stage = Stage::Idle;
    int checkedWidth = 0;
    int checkedHeight = 0;
    bool readFailed = false;
    std::vector<JSAMPROW> outputRows;
    QStringList warnings;
    QString failure;

    // Only plain calls happen between setjmp and a possible longjmp, and no object with a
    // destructor lives in the frames that a longjmp skips.
    using Step = void (*)(Impl *);
    bool runGuarded(Step step)
    {
        if (setjmp(jerr.jumpBuffer) != 0)
            return false;
        step(this);
        return true;
    }

    // Keeps the reason, returns the object to its start state and gives -1.
    int refuse(const QString &line)
    {
        failure = line;
        resetToStart();
        return -1;
    }
    int fail(const char *reason)
    {
        return refuse(QStringLiteral("JPEG error: ") + QString::fromUtf8(reason));
    }

    void create()
    {
        cinfo.err = jpeg_std_error(&jerr.pub);
        jerr.leftoverBytes = 0;
        jerr.warnings = &warnings;
        jerr.pub.error_exit = errorExit;
        jerr.pub.emit_message = emitMessage;
        if (!runGuarded([](Impl *self) { jpeg_create_decompress(&self->cinfo); })) {
            failure = QStringLiteral("JPEG error: ") + QString::fromUtf8(jerr.message);
            jpeg_destroy_decompress(&cinfo);
            return;
        }
        initialised = true;
    }

    bool attachSource()
    {
        if (!initialised) {
            stage = Stage::Idle;
            return false;
        }
        resetToStart();
        failure.clear();
        warnings.clear();
        // libjpeg keeps Huffman and quantisation tables from image to image, so a frame that
        // leaves out the standard tables would be decoded with those of an earlier frame.
        jpeg_destroy_decompress(&cinfo);
        initialised = false;
        create();
        if (!initialised)
            return false;
        // libjpeg treats an empty or missing buffer as a fatal error.
        if (!runGuarded([](Impl *self) {
                jpeg_mem_src(&self->cinfo, self->srcData,
                             self->srcSize > 0 ? static_cast<unsigned long>(self->srcSize) : 0);
            })) {
            fail(jerr.message);
            return false;
        }
        stage = Stage::SourceSet;
        return true;
    }

    void resetToStart()
    {
        if (initialised)
            jpeg_abort_decompress(&cinfo);
        stage = Stage::Idle;
    }

    // Reads every row with the given step, then the end of the image. 0 or -1.
    int readToEnd(Step readRowsStep)
    {
        readFailed = false;
        const bool read = runGuarded(readRowsStep);
        if (!read || readFailed)
            return fail(read ? "scan lines ended early" : jerr.message);
        if (!runGuarded([](Impl *self) { jpeg_finish_decompress(&self->cinfo); }))
            return fail(jerr.message);
        // libjpeg's memory source stands just past the end-of-image marker.
        if (jerr.leftoverBytes > 0) {
            if (!isPadding(srcData, cinfo.src->next_input_byte, jerr.leftoverBytes))
                return fail(jerr.leftoverMessage);
            keepWarning(jerr, jerr.leftoverMessage);
        }
        stage = Stage::Idle;
        return 0;
    }

    static void readHeader(Impl *self)
    {
        self->readFailed = jpeg_read_header(&self->cinfo, TRUE) != JPEG_HEADER_OK;
    }

    static void readRows(Impl *self)
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

    // libjpeg-turbo entropy-decodes the rows it skips and drops their coefficients, with no
    // transform at all; it stops decoding when told to skip to the end, so the last row is read.
    static void readRowsSkipped(Impl *self)
    {
        jpeg_decompress_struct &c = self->cinfo;
#ifdef LIBJPEG_TURBO_VERSION_NUMBER
        if (c.output_height > 1)
            jpeg_skip_scanlines(&c, c.output_height - 1);
#endif
        JSAMPARRAY row = (*c.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&c), JPOOL_IMAGE,
                                                c.output_width * c.output_components, 1);
        while (c.output_scanline < c.output_height) {
            if (jpeg_read_scanlines(&c, row, 1) != 1) {
                self->readFailed = true;
                return;
            }
        }
    }
};

JpegDecoder::JpegDecoder()
    : impl(new Impl)
{
    impl->create();
}

JpegDecoder::~JpegDecoder()
{
    if (impl->initialised)
        jpeg_destroy_decompress(&impl->cinfo);
}

void JpegDecoder::init()
{
    if (!impl->initialised)
        impl->create();
}

void JpegDecoder::setSource(const unsigned char *data, int size)
{
    impl->srcData = data;
    impl->srcSize = size;
    impl->attachSource();
}

int JpegDecoder::jpeg_check_header(int width, int height)
{
    Impl &d = *impl;
    // A second check of the same frame starts again from its first byte.
    if (d.stage == Impl::Stage::HeaderRead && !d.attachSource())
        return -1;
    if (d.stage != Impl::Stage::SourceSet)
        return -1;

    d.readFailed = false;
    if (!d.runGuarded(Impl::readHeader) || d.readFailed)
        return d.fail(d.readFailed ? "no image in data" : d.jerr.message);
    d.stage = Impl::Stage::HeaderRead;

    if (static_cast<long long>(d.cinfo.image_width) != width
        || static_cast<long long>(d.cinfo.image_height) != height)
        return d.refuse(QStringLiteral("Error: incompatible jpeg sizes"));
    // The bound also keeps a picture of 4 bytes a pixel within an int.
    if (width <= 0 || height <= 0 || static_cast<long long>(width) * height > MaxPixels)
        return d.refuse(QStringLiteral("Error: jpeg size too large: %1 x %2").arg(width).arg(height));
    // libjpeg's default output is RGB for colour and one sample for grey; CMYK and others are
    // not shown.
    if (d.cinfo.out_color_space != JCS_RGB && d.cinfo.out_color_space != JCS_GRAYSCALE)
        return d.refuse(QStringLiteral("Error: unsupported jpeg colour space with %1 components")
                            .arg(d.cinfo.num_components));
    d.checkedWidth = width;
    d.checkedHeight = height;
    return 0;
}

int JpegDecoder::decodeInto(unsigned char *dst, size_t dstLength, size_t stride)
{
    Impl &d = *impl;
    if (d.stage != Impl::Stage::HeaderRead)
        return -1;
    const size_t rowBytes = 4 * static_cast<size_t>(d.checkedWidth);
    if (!dst || stride < rowBytes
        || dstLength < stride * static_cast<size_t>(d.checkedHeight - 1) + rowBytes)
        return d.fail("the picture does not fit its buffer");

    // The words are written by the library, grey images included.
#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
    d.cinfo.out_color_space = JCS_EXT_BGRX;
#else
    d.cinfo.out_color_space = JCS_EXT_XRGB;
#endif
    if (!d.runGuarded([](Impl *self) { jpeg_start_decompress(&self->cinfo); }))
        return d.fail(d.jerr.message);
    if (static_cast<long long>(d.cinfo.output_width) != d.checkedWidth
        || static_cast<long long>(d.cinfo.output_height) != d.checkedHeight || d.cinfo.output_components != 4)
        return d.fail("unexpected output layout");

    d.outputRows.resize(static_cast<size_t>(d.checkedHeight));
    for (int row = 0; row < d.checkedHeight; ++row)
        d.outputRows[static_cast<size_t>(row)] = dst + static_cast<size_t>(row) * stride;

    return d.readToEnd(Impl::readRows);
}

int JpegDecoder::verifyData()
{
    Impl &d = *impl;
    if (d.stage != Impl::Stage::HeaderRead)
        return -1;
    // The entropy decoder, where damage shows, runs in full whatever the output; the rows that
    // are made shrink to the DC term and colour is never converted.
    d.cinfo.scale_num = 1;
    d.cinfo.scale_denom = 8;
    d.cinfo.out_color_space = JCS_GRAYSCALE;
    if (!d.runGuarded([](Impl *self) { jpeg_start_decompress(&self->cinfo); }))
        return d.fail(d.jerr.message);
    return d.readToEnd(Impl::readRowsSkipped);
}

const QStringList &JpegDecoder::warnings() const
{
    return impl->warnings;
}

const QString &JpegDecoder::failure() const
{
    return impl->failure;
}
