#pragma once

#include <QByteArray>

class QImage;

// Payloads of the test pattern whose top left corner is a flat grey block; its level tells
// which of them a picture on screen shows, whatever the format, scaling or JPEG loss.
namespace TaggedFrames {
constexpr int TagCount = 9;
constexpr int BlockSide = 32; // two JPEG blocks of 4:2:0, a few pixels once scaled to a view

// Frame tag (0 .. TagCount - 1) in format at this size; empty when it cannot be made.
QByteArray payload(int format, int width, int height, int tag);
// The tag a picture shows, or -1 when its corner holds none.
int tagOf(const QImage &picture);
} // namespace TaggedFrames
