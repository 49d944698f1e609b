// The private sections of the conditional-access system as a head end sends them: the EMM,
// broadcast data and service map sections. Bytes 3 and 4 are "KR"; the CRC-32 in the last four
// bytes covers bytes 3 onwards (not the table id and the section length).
#pragma once

#include <cstdint>
#include <vector>

namespace krtools {

// The multiplex's CA table (PID 1), where a terminal learns the CA system and its EMM PID
// from a CA descriptor.
constexpr uint16_t kCaTablePid = 0x0001;
constexpr uint8_t kCaTableId = 0x01;
constexpr uint8_t kCaDescriptorTag = 0x09;

constexpr uint8_t kCaPrivateTableId = 0x83;
constexpr uint8_t kServiceMapTableId = 0x84;

// A CA section: table id, section length, "KR", the body, then the CRC (deliberately wrong when
// asked). The body starts at section byte 5.
std::vector<uint8_t> BuildCaSection(uint8_t tableId, const std::vector<uint8_t>& body,
                                    bool rightCrc = true);

}  // namespace krtools
