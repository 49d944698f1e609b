// The programme clock reference: the 27 MHz time a transport stream's packets carry in their
// adaptation field, by which a receiver knows when each packet is due.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace krtools {

constexpr uint64_t kPcrHz = 27000000;
// The clock counts 2^33 ticks of 90 kHz (each of 300 of 27 MHz), then starts again at 0.
constexpr uint64_t kPcrWrap = (uint64_t{1} << 33) * 300;

// The PCR of a packet (its bytes from the sync byte on) in 27 MHz ticks; nullopt when it carries
// none, is marked damaged, or its adaptation field claims more bytes than the packet has.
std::optional<uint64_t> ReadPcr(std::span<const uint8_t> packet);

// Ticks from one PCR to a later one, across the clock's wrap.
constexpr uint64_t PcrTicksBetween(uint64_t earlier, uint64_t later) {
    return (later + kPcrWrap - earlier % kPcrWrap) % kPcrWrap;
}

// The six PCR bytes of an adaptation field for ticks (taken modulo the wrap).
void WritePcr(uint64_t ticks, uint8_t out[6]);

}  // namespace krtools
