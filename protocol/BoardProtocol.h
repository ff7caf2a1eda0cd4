#pragma once

#include <cstdint>

// What the board and this program say to each other, named once: the video port's frame records
// and the command port's codes. Shared by the viewer, the simulator, the tools and the tests.
namespace BoardProtocol {

// Video port: magic, seven big-endian 32-bit header fields (format, reserved, width, height,
// size, timestamp seconds, timestamp microseconds), two sensor blocks, then `size` payload bytes.
constexpr uint32_t FrameMagic = 0xAD1A15EE;
constexpr int MagicBytes = 4;
constexpr int HeaderFields = 7;
constexpr int HeaderBytes = HeaderFields * 4;
constexpr int SensorBlockBytes = 16;
constexpr int SensorBytes = 2 * SensorBlockBytes;
constexpr int RecordPrefixBytes = MagicBytes + HeaderBytes + SensorBytes;
// Prevent DoS: far above the largest frame a board sends (1920 x 1080 UYVY is under 4 MiB).
constexpr int32_t MaxPayloadBytes = 64 * 1024 * 1024;

// Pixel-format codes; each is also the index of its name in FormatNames.
enum FrameFormat : int32_t {
    FormatJpg = 0,
    FormatGray = 1,
    FormatUyvy = 2,
    FormatYuv420 = 3,
    FormatNv12 = 4,
};
constexpr int FormatCount = 5;
constexpr const char *FormatNames[FormatCount] = {"JPG", "Gray", "UYVY", "YUV420", "NV12"};
// Codes 5 to 9 carry a payload that is read but not shown; 10 and above (taken unsigned) carry
// none.
constexpr uint32_t FirstHeaderOnlyFormat = 10;

inline bool isRawColorFormat(int32_t format)
{
    return format == FormatUyvy || format == FormatYuv420 || format == FormatNv12;
}

// Command port: a 3-byte request (code, 16-bit big-endian value), a reply whose third byte is
// the result.
enum CommandCode : uint8_t {
    CommandProbe = 0,
    CommandFrameRate = 1,
    CommandPixelFormat = 2,
    CommandImageWidth = 3,
    CommandImageHeight = 4,
    CommandApply = 5,
    CommandEdgeDetection = 6,
    CommandColorDetection = 7,
    CommandAutoContrast = 8,
    CommandAutoSharpness = 9,
    CommandNoiseReduction = 10,
    CommandMotionDetection = 11,
};
constexpr int CommandRequestBytes = 3;
constexpr int CommandReplyBytes = 3;

} // namespace BoardProtocol
