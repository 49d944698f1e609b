// Builders for the payloads of stream datagrams as a head end sends them: RTP packets of live
// programs and the blocks of resource files. Framework-free, for tests, tools and benchmarks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krtest {

struct RtpPacketFields {
    uint8_t version = 2;
    bool padding = false;
    bool extension = false;
    uint8_t csrcCount = 0;  // 0..15; the CSRC list is written in full
    bool marker = false;
    uint8_t payloadType = 96;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0x11223344;
    std::vector<uint8_t> media;
};

// The fixed header, the CSRC list, the 6 bytes that precede the media in this service, then the
// media.
std::vector<uint8_t> BuildRtpPayload(const RtpPacketFields& packet);

// A media part that begins with a frame start code (00 00 01 code) and then counts bytes.
std::vector<uint8_t> FrameStart(uint8_t code, std::size_t size, uint8_t seed = 0);

}  // namespace krtest
