// The service map section: for every service of the operator, where it is, its rating, its ECM
// PID, name, list values and the datagram addresses it is carried on.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/ca_section.h"

namespace krtools {

struct ServiceMapEntry {
    uint16_t onid = 0, tsid = 0, svid = 0;
    uint8_t flagAndRating = 0;  // entry byte 6: bit 7 flag, bits 0..3 rating
    uint16_t ecmPid = 0;
    std::string name;
    std::vector<uint16_t> list;
    std::vector<std::pair<uint32_t, uint16_t>> addresses;  // one 0xA1 descriptor each
    std::vector<uint8_t> otherDescriptors;  // raw descriptor bytes appended after the 0xA1 ones
};

constexpr uint8_t kAddressDescriptorTag = 0xA1;

// Counts and lengths are written modulo 256, as they fall: a test that wants a lying entry
// builds one that overflows them.
std::vector<uint8_t> BuildServiceMapSection(uint8_t version,
                                            const std::vector<ServiceMapEntry>& entries);

}  // namespace krtools
