#pragma once

#include "BoardProtocol.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <vector>

// Moving test pictures of any size in the board's pixel formats. Gray: a horizontal gradient
// with a moving inverted bar. Colour: colour bars over a grey ramp with a moving square, made as
// R,G,B and converted to the raw layouts (BT.601 limited range) or handed to a JPEG encoder.
// Both carry the frame number in digits in the top left corner.
class TestPattern
{
public:
    // pixels: rows of exactly width * components bytes, components 3 (R,G,B) or 1 (grey).
    // Returns the JPEG data, or an empty array on failure.
    using JpegEncoder = std::function<QByteArray(const uchar *pixels, int width, int height,
                                                 int components, int quality)>;

    enum Format {
        Jpeg = BoardProtocol::FormatJpg,
        Gray = BoardProtocol::FormatGray,
        Uyvy = BoardProtocol::FormatUyvy,
        Yuv420 = BoardProtocol::FormatYuv420,
        Nv12 = BoardProtocol::FormatNv12,
    };
    static constexpr int MaxDimension = 4096;
    static constexpr int DefaultJpegQuality = 85;

    // Until an encoder is set, JPEG cannot be produced.
    void setJpegEncoder(JpegEncoder encoder);
    void setJpegQuality(int quality);
    int jpegQuality() const { return quality; }
    bool canProduce(int format) const;

    // Width and height within 1..MaxDimension; the colour layouts need an even width, the 4:2:0
    // layouts an even height as well.
    static bool isValidSize(int format, int width, int height);
    // Payload bytes of a raw format at this size; -1 for JPEG (it varies) and invalid sizes.
    static qint64 payloadSize(int format, int width, int height);

    // The payload of frame frameNumber; empty when the format cannot be produced at this size.
    QByteArray payload(int format, int width, int height, quint32 frameNumber);

    // dst holds width * height bytes (Gray) or 3 * width * height bytes (R,G,B).
    static void renderGray(uchar *dst, int width, int height, quint32 frameNumber);
    static void renderRgb(uchar *dst, int width, int height, quint32 frameNumber);

    // BT.601 limited range, 8-bit fixed point: Y in 16..235, U and V in 16..240.
    static void rgbToYuv(int r, int g, int b, int &y, int &u, int &v);
    // rgb holds 3 * width * height bytes; sizes as isValidSize() requires of the layout.
    // UYVY: 2 * w * h bytes, each pixel pair shares the mean of its two chroma values.
    static void rgbToUyvy(const uchar *rgb, int width, int height, uchar *dst);
    // I420: Y plane, U plane, V plane; w * h * 3 / 2 bytes, chroma the mean of each 2 x 2 block.
    static void rgbToYuv420(const uchar *rgb, int width, int height, uchar *dst);
    // NV12: Y plane, then interleaved U,V rows; w * h * 3 / 2 bytes.
    static void rgbToNv12(const uchar *rgb, int width, int height, uchar *dst);

    // "jpeg", "gray", "uyvy", "yuv420", "nv12"; formatCode() returns -1 for an unknown name.
    static QString formatName(int format);
    static int formatCode(const QString &name);

private:
    JpegEncoder jpegEncoder;
    int quality = DefaultJpegQuality;
    std::vector<uchar> rgbScratch;
};
