#include "aac_format.h"

#include <array>

namespace krgst {
namespace {

constexpr std::array<uint32_t, 13> kRates = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                             22050, 16000, 12000, 11025, 8000,  7350};
constexpr std::size_t kAdtsHeader = 7;

}  // namespace

std::optional<AacFormat> ReadAdtsHeader(std::span<const uint8_t> f) {
    if (f.size() < kAdtsHeader || f[0] != 0xFF || (f[1] & 0xF6) != 0xF0) return std::nullopt;
    const std::size_t rateIndex = (f[2] >> 2) & 0x0F;
    const std::size_t length =
        static_cast<std::size_t>(f[3] & 0x03) << 11 | static_cast<std::size_t>(f[4]) << 3 |
        static_cast<std::size_t>(f[5] >> 5);
    if (rateIndex >= kRates.size() || length < kAdtsHeader || length > f.size())
        return std::nullopt;
    AacFormat format;
    format.objectType = static_cast<uint32_t>((f[2] >> 6) + 1);
    format.rate = kRates[rateIndex];
    format.channels = static_cast<uint32_t>((f[2] & 0x01) << 2 | f[3] >> 6);
    return format;
}

std::optional<AacFormat> ReadAudioSpecificConfig(const uint8_t config[2]) {
    const std::size_t rateIndex = static_cast<std::size_t>((config[0] & 0x07) << 1 | config[1] >> 7);
    const uint32_t objectType = static_cast<uint32_t>(config[0] >> 3);
    if (objectType == 0 || rateIndex >= kRates.size()) return std::nullopt;
    AacFormat format;
    format.objectType = objectType;
    format.rate = kRates[rateIndex];
    format.channels = static_cast<uint32_t>((config[1] >> 3) & 0x0F);
    return format;
}

}  // namespace krgst
