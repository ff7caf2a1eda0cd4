#pragma once

#include <cstdint>

// A row of width grey bytes widened to native-endian 32-bit words 0xffVVVVVV, the layout of a
// QImage::Format_RGB32 picture, which a pixmap shares without converting it.
void grayRowToXrgb32(const uint8_t *gray, uint32_t *dst, int width);
