// RTP packets of one audio or video stream as the receiver reads them: the 12-byte fixed header
// (version 2, no padding, no extension, no CSRC), a 6-byte prefix the receiver skips, then the
// media bytes. A frame is split over as many packets as needed, all with the frame's timestamp;
// the last carries the marker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace krtools {

constexpr std::size_t kRtpHeaderSize = 12;
constexpr std::size_t kRtpPrefixSize = 6;
// Media bytes per packet: keeps every datagram section well inside a receiver's 1500 bytes.
constexpr std::size_t kRtpMediaPerPacket = 1400;

constexpr uint8_t kVideoPayloadType = 96;
constexpr uint8_t kAudioPayloadType = 97;

class RtpPacketiser {
  public:
    RtpPacketiser(uint8_t payloadType, uint32_t ssrc, uint16_t firstSequence);

    // The UDP payloads of one frame. The sequence number runs on across frames.
    std::vector<std::vector<uint8_t>> Packetise(const uint8_t* frame, std::size_t size,
                                                uint32_t timestamp);

    uint16_t nextSequence() const { return sequence_; }

  private:
    uint8_t payloadType_;
    uint32_t ssrc_;
    uint16_t sequence_;
};

// What a receiver reads back from one packet; false when the packet is too short or not
// version 2.
struct RtpPacket {
    bool marker = false;
    uint8_t payloadType = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    uint32_t ssrc = 0;
    const uint8_t* media = nullptr;
    std::size_t mediaSize = 0;
};
bool ReadRtpPacket(const uint8_t* payload, std::size_t size, RtpPacket& out);

}  // namespace krtools
