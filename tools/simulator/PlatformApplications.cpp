#include "PlatformApplications.h"

#include "BoardProtocol.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {
constexpr int EdgeThreshold = 100;

bool validFrame(const uint8_t *frame, size_t length, int width, int height)
{
    return frame && width > 0 && height > 0
           && length / static_cast<size_t>(width) >= static_cast<size_t>(height);
}

// A copy of the frame, read with coordinates clamped to its edges.
class Source {
public:
    Source(const uint8_t *frame, int width, int height)
        : pixels(frame, frame + static_cast<size_t>(width) * height), width(width), height(height)
    {
    }

    int at(int x, int y) const
    {
        x = std::clamp(x, 0, width - 1);
        y = std::clamp(y, 0, height - 1);
        return pixels[static_cast<size_t>(y) * width + x];
    }

private:
    std::vector<uint8_t> pixels;
    int width;
    int height;
};

template <typename PixelFunction>
void forEachInRegion(uint8_t *gray, int width, int height, PixelFunction function)
{
    const FrameRegion region = centralRegion(width, height);
    for (int y = region.y; y < region.y + region.height; ++y) {
        uint8_t *row = gray + static_cast<size_t>(y) * width;
        for (int x = region.x; x < region.x + region.width; ++x)
            row[x] = function(x, y, row[x]);
    }
}
}

FrameRegion centralRegion(int width, int height)
{
    if (width <= 0 || height <= 0)
        return {0, 0, 0, 0};
    const int x = width / 4;
    const int y = height / 4;
    return {x, y, width - 2 * x, height - 2 * y};
}

bool detectEdges(uint8_t *gray, size_t length, int width, int height)
{
    if (!validFrame(gray, length, width, height))
        return false;
    const Source src(gray, width, height);
    forEachInRegion(gray, width, height, [&src](int x, int y, uint8_t) {
        const int gx = src.at(x + 1, y - 1) + 2 * src.at(x + 1, y) + src.at(x + 1, y + 1)
                       - src.at(x - 1, y - 1) - 2 * src.at(x - 1, y) - src.at(x - 1, y + 1);
        const int gy = src.at(x - 1, y + 1) + 2 * src.at(x, y + 1) + src.at(x + 1, y + 1)
                       - src.at(x - 1, y - 1) - 2 * src.at(x, y - 1) - src.at(x + 1, y - 1);
        return static_cast<uint8_t>(std::abs(gx) + std::abs(gy) >= EdgeThreshold ? 255 : 0);
    });
    return true;
}

bool enhanceContrast(uint8_t *gray, size_t length, int width, int height)
{
    if (!validFrame(gray, length, width, height))
        return false;
    int low = 255;
    int high = 0;
    forEachInRegion(gray, width, height, [&](int, int, uint8_t value) {
        low = std::min<int>(low, value);
        high = std::max<int>(high, value);
        return value;
    });
    const int range = high - low;
    if (range == 0)
        return true;
    forEachInRegion(gray, width, height, [low, range](int, int, uint8_t value) {
        return static_cast<uint8_t>(((value - low) * 255 + range / 2) / range);
    });
    return true;
}

bool reduceNoise(uint8_t *gray, size_t length, int width, int height)
{
    if (!validFrame(gray, length, width, height))
        return false;
    const Source src(gray, width, height);
    forEachInRegion(gray, width, height, [&src](int x, int y, uint8_t) {
        uint8_t window[9];
        int n = 0;
        for (int dy = -1; dy <= 1; ++dy) {
            for (int dx = -1; dx <= 1; ++dx)
                window[n++] = static_cast<uint8_t>(src.at(x + dx, y + dy));
        }
        std::nth_element(window, window + 4, window + 9);
        return window[4];
    });
    return true;
}

bool estimateMotion(uint8_t *gray, size_t length, const uint8_t *previous, size_t previousLength,
                    int width, int height)
{
    if (!validFrame(gray, length, width, height)
        || !validFrame(previous, previousLength, width, height))
        return false;
    forEachInRegion(gray, width, height, [previous, width](int x, int y, uint8_t value) {
        const int before = previous[static_cast<size_t>(y) * width + x];
        return static_cast<uint8_t>(std::abs(value - before));
    });
    return true;
}

bool applyApplication(int code, uint8_t *gray, size_t length, const uint8_t *previous,
                      size_t previousLength, int width, int height)
{
    using namespace BoardProtocol;
    switch (code) {
    case CommandProbe: // also "no application"
    case CommandColorDetection:
    case CommandAutoSharpness:
        return true;
    case CommandEdgeDetection:
        return detectEdges(gray, length, width, height);
    case CommandAutoContrast:
        return enhanceContrast(gray, length, width, height);
    case CommandNoiseReduction:
        return reduceNoise(gray, length, width, height);
    case CommandMotionDetection:
        return estimateMotion(gray, length, previous, previousLength, width, height);
    default:
        return false;
    }
}
