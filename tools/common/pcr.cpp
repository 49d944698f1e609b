#include "common/pcr.h"

namespace krtools {

namespace {

constexpr std::size_t kPcrHeaderSize = 4;
constexpr uint8_t kPcrFlag = 0x10;
// Flags and the PCR itself.
constexpr std::size_t kPcrFieldSize = 1 + 6;

}  // namespace

std::optional<uint64_t> ReadPcr(std::span<const uint8_t> packet) {
    if (packet.size() < kPcrHeaderSize + 1 + kPcrFieldSize || packet[0] != 0x47)
        return std::nullopt;
    const bool damaged = (packet[1] & 0x80) != 0;
    const bool adaptation = (packet[3] & 0x20) != 0;
    if (damaged || !adaptation) return std::nullopt;
    const std::size_t length = packet[kPcrHeaderSize];
    if (length < kPcrFieldSize || kPcrHeaderSize + 1 + length > packet.size()) return std::nullopt;
    const uint8_t* field = packet.data() + kPcrHeaderSize + 1;
    if ((field[0] & kPcrFlag) == 0) return std::nullopt;
    const uint8_t* p = field + 1;
    const uint64_t base = (uint64_t{p[0]} << 25) | (uint64_t{p[1]} << 17) | (uint64_t{p[2]} << 9) |
                          (uint64_t{p[3]} << 1) | (p[4] >> 7);
    const uint64_t extension = (uint64_t{p[4] & 0x01u} << 8) | p[5];
    if (extension >= 300) return std::nullopt;  // no clock counts that far: damage
    return base * 300 + extension;
}

void WritePcr(uint64_t ticks, uint8_t out[6]) {
    ticks %= kPcrWrap;
    const uint64_t base = ticks / 300;
    const uint64_t extension = ticks % 300;
    out[0] = static_cast<uint8_t>(base >> 25);
    out[1] = static_cast<uint8_t>(base >> 17);
    out[2] = static_cast<uint8_t>(base >> 9);
    out[3] = static_cast<uint8_t>(base >> 1);
    out[4] = static_cast<uint8_t>(((base & 1) << 7) | 0x7E | (extension >> 8));
    out[5] = static_cast<uint8_t>(extension);
}

}  // namespace krtools
