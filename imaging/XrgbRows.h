#pragma once

#include <cstdint>

// Rows of pixels widened to native-endian 32-bit words 0xffRRGGBB, the layout of a
// QImage::Format_RGB32 picture, which a pixmap shares without converting it.

// width pixels of packed R,G,B bytes.
void rgbRowToXrgb32(const uint8_t *rgb, uint32_t *dst, int width);
// width grey bytes, each giving the word of (v, v, v).
void grayRowToXrgb32(const uint8_t *gray, uint32_t *dst, int width);
