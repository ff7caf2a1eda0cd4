#pragma once

#include "BoardProtocol.h"

#include <cstdint>

// How a recording sits in a Matroska file, shared by the writer and the reader.
namespace MatroskaLayout {

// One microsecond: board times are kept exactly. A block's signed 16-bit offset from its
// cluster then spans at most 32.767 ms, so a cluster rarely holds more than a frame or two.
constexpr uint64_t TimestampScaleNs = 1000;
constexpr int64_t MaxBlockOffset = INT16_MAX;
constexpr uint64_t VideoTrackNumber = 1;
// The two sensor blocks, luminosity then gyroscope, as the block addition with this id.
constexpr uint64_t SensorAdditionId = 1;
constexpr int SensorAdditionBytes = BoardProtocol::SensorBytes;
// Board time of the file's first frame, "seconds.microseconds", as a tag of the segment: the
// timestamps count from that frame, the tag gives back the absolute board time.
constexpr const char *FirstBoardTimeTag = "BOARD_TIME_FIRST_FRAME";

constexpr const char *JpegCodec = "V_MJPEG";
constexpr const char *RawCodec = "V_UNCOMPRESSED";
// ColourSpace FourCC of each raw format, indexed by FrameFormat (JPEG has none).
constexpr const char *FourCcs[BoardProtocol::FormatCount] = { nullptr, "Y800", "UYVY", "I420", "NV12" };
constexpr int FourCcBytes = 4;

} // namespace MatroskaLayout
