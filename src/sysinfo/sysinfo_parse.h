// The system-information datagram: the EPG version rule that starts a download, and the
// message for the screen.
#pragma once

#include <cstdint>
#include <span>

#include "sysinfo/sysinfo_state.h"

namespace kr {

// Payload layout (little-endian).
constexpr uint32_t kSysinfoStampOffset = 32;
constexpr uint32_t kSysinfoStampLength = 14;
constexpr uint32_t kSysinfoPidOffset = 52;
constexpr uint32_t kSysinfoMessageOffset = 68;  // after its u32 length at 64

// Handles the UDP payload of one system-information datagram.
void ParseSysinfo(std::span<const uint8_t> payload, EpgDownloadBuffer* buffer);

}  // namespace kr
