// The ECM section a head end sends for a scrambled service: the service's identity, the 40-byte
// part the card checks, and the control-word blocks encrypted under the operator key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/aes128.h"

namespace krtools {

constexpr uint8_t kEcmTableId = 0x81;

struct ControlWordBlock {
    uint8_t parity = 0;      // 0 even, 1 odd
    uint16_t period = 0;     // crypto period number, not interpreted by the card
    AesBlock controlWord{};  // in the clear; the builder encrypts it
};

struct EcmFields {
    uint16_t onid = 0, tsid = 0, svid = 0;
    uint8_t version = 0;
    uint8_t type = 0;             // 0 or 1 (bits 6..7 of byte 10)
    uint16_t entitlementId = 0;   // card part bytes 0..1; the head end uses the service's svid
    uint32_t broadcastTime = 0;   // card part bytes 2..5: seconds since 1970-01-01 UTC
    uint8_t keyNumber = 0;        // card part byte 6
    uint16_t timeOfDay = 0x1200;  // card part bytes 34..35 (ECM bytes 45..46): BCD hh mm
    std::vector<ControlWordBlock> blocks;  // count byte = blocks.size()
};

// Where the card part and the blocks sit in the section.
constexpr std::size_t kEcmCardPartOffset = 11;
constexpr std::size_t kEcmCardPartSize = 40;
constexpr std::size_t kEcmBlockCountOffset = 55;
constexpr std::size_t kEcmBlocksOffset = 56;
// A block's size by ECM type: type 1 adds a check block over the card part.
constexpr std::size_t EcmBlockSize(uint8_t type) {
    return type == 1 ? 36 : 20;
}

std::vector<uint8_t> BuildEcmSection(const EcmFields& fields, const AesKey& operatorKey);

}  // namespace krtools
