// What the video pad's caps say about an MPEG-4 visual stream: its picture size and, when the
// stream has a fixed frame rate, that rate, read from the video object layer header the first
// frames carry.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace krgst {

struct Mpeg4Format {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t rateNumerator = 0;  // 0: the frame rate is not fixed
    uint32_t rateDenominator = 1;
};

// The first video object layer header in bytes; none when there is none or it is cut short or
// not rectangular.
std::optional<Mpeg4Format> ReadVolHeader(std::span<const uint8_t> bytes);

}  // namespace krgst
