// Builders for what the head end sends to announce and carry the EPG: system-information
// payloads and block payloads (little-endian), and a file split into numbered blocks. They give
// UDP payloads; BuildDatagramSection wraps them into sections.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/block_payload.h"

namespace krtest {

struct SysinfoAnnouncement {
    uint32_t magic = 0x0000BDBD;
    std::string versionStamp = "20261206180000";  // YYYYMMDDhhmmss
    uint16_t epgPid = 0x0100;
    uint32_t epgAddress = 0xEF515A02;  // 239.81.90.2
    uint16_t epgPort = 8200;
    std::string message;
    std::optional<uint32_t> declaredMessageLength;  // default: the message's size
};

std::vector<uint8_t> BuildSysinfoPayload(const SysinfoAnnouncement& announcement);

struct Block {
    uint32_t kind = 1;  // 2 marks data that is not multicast
    uint32_t number = 1;
    uint32_t total = 1;
    std::vector<uint8_t> data;
    std::optional<uint32_t> declaredLength;  // default: the data's size
};

std::vector<uint8_t> BuildBlockPayload(const Block& block);

// The file as block payloads of 1400 data bytes, numbered from 1, as the head end sends it.
inline std::vector<std::vector<uint8_t>> SplitIntoBlocks(const std::vector<uint8_t>& file) {
    return krtools::BuildBlockPayloads(file);
}

}  // namespace krtest
