// What the audio pad's caps say about AAC: read from an ADTS frame header, or from the
// AudioSpecificConfig of the program's stream description when no frame has come yet.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace krgst {

struct AacFormat {
    uint32_t rate = 0;      // samples per second
    uint32_t channels = 0;  // 0: given in the stream itself
    uint32_t objectType = 0;
};

// The header of an ADTS frame at the start of frame; none when it is not one (no sync word, a
// reserved rate, a frame length beyond the bytes given).
std::optional<AacFormat> ReadAdtsHeader(std::span<const uint8_t> frame);

// A two-byte AudioSpecificConfig (object type, rate index, channels); none when it holds no
// known rate.
std::optional<AacFormat> ReadAudioSpecificConfig(const uint8_t config[2]);

}  // namespace krgst
