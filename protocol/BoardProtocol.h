#pragma once

#include <cstdint>

// What the board and this program say to each other, named once: its ports, the video port's
// frame records, the command port's codes and results, and the configurations it offers.
// Shared by the viewer, the recorder, the simulator, the tools and the tests.
namespace BoardProtocol {

constexpr uint16_t DefaultVideoPort = 5412;
constexpr uint16_t DefaultCommandPort = 4305;

// Video port: magic, seven big-endian 32-bit header fields (format, reserved, width, height,
// size, timestamp seconds, timestamp microseconds), two sensor blocks, then `size` payload bytes.
constexpr uint32_t FrameMagic = 0xAD1A15EE;
constexpr int MagicBytes = 4;
constexpr int HeaderFields = 7;
constexpr int HeaderFieldBytes = HeaderFields * 4;
constexpr int SensorBlockBytes = 16;
constexpr int SensorBytes = 2 * SensorBlockBytes;
constexpr int RecordPrefixBytes = MagicBytes + HeaderFieldBytes + SensorBytes;
// Where in a record the timestamp seconds stand, the microseconds right after them.
constexpr int TimestampOffset = MagicBytes + 5 * 4;
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
// The same formats as command-line option values.
constexpr const char *FormatOptionNames[FormatCount] = {"jpeg", "gray", "uyvy", "yuv420", "nv12"};
// Codes 5 to 9 carry a payload that is read but not shown; 10 and above (taken unsigned) carry
// none.
constexpr uint32_t FirstHeaderOnlyFormat = 10;

// The image sizes the board's configuration offers; the first is its start-up size.
struct ImageSize
{
    const char *name;
    int width;
    int height;
};
constexpr ImageSize VgaSize = {"640x480", 640, 480};
constexpr ImageSize QvgaSize = {"320x240", 320, 240};
constexpr ImageSize EndoscopeSize = {"400x400", 400, 400};
constexpr ImageSize ImageSizes[] = {VgaSize, QvgaSize, EndoscopeSize};

// Frame rates the board takes, in frames per second; it starts at the highest.
constexpr int MinFrameRate = 1;
constexpr int MaxFrameRate = 30;

// Command port: a 3-byte request (code, 16-bit big-endian value), a reply whose third byte is
// the result.
enum CommandCode : uint8_t {
    CommandProbe = 0,
    // The probe's code with value 0 or 1 switches the no-processing application off or on.
    CommandNoProcessing = CommandProbe,
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

// The reply's result byte. The client relies only on CommandDone: the command was carried out.
enum CommandResult : uint8_t {
    CommandDone = 0,
    CommandOutOfRange = 1,
    CommandNotProducible = 2,
    CommandUnknown = 3,
    CommandRefused = 4,
};

// The format code that leaves the configured pixel format as it is when a configuration is
// stored; no format list produces it.
constexpr int32_t KeepFormatCode = 5;

} // namespace BoardProtocol
