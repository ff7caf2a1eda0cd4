#pragma once

#include <QByteArray>

#include <cstdint>

// Encodes packed pixels (rows of exactly width * components bytes; 1 = grey, 3 = R,G,B) as a
// baseline JPEG, colour with 4:2:0 chroma. quality is 1..100. Returns an empty array when the
// arguments are invalid or libjpeg fails.
QByteArray encodeJpeg(const uint8_t *pixels, int width, int height, int components, int quality);
