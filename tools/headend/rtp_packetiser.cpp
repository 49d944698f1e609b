#include "headend/rtp_packetiser.h"

#include <algorithm>

#include "common/byte_writer.h"

namespace krtools {

RtpPacketiser::RtpPacketiser(uint8_t payloadType, uint32_t ssrc, uint16_t firstSequence)
    : payloadType_(static_cast<uint8_t>(payloadType & 0x7F)),
      ssrc_(ssrc),
      sequence_(firstSequence) {}

std::vector<std::vector<uint8_t>> RtpPacketiser::Packetise(const uint8_t* frame, std::size_t size,
                                                           uint32_t timestamp) {
    std::vector<std::vector<uint8_t>> packets;
    std::size_t at = 0;
    do {
        const std::size_t chunk = std::min(kRtpMediaPerPacket, size - at);
        const bool last = at + chunk == size;
        std::vector<uint8_t> packet;
        packet.reserve(kRtpHeaderSize + kRtpPrefixSize + chunk);
        packet.push_back(0x80);  // version 2
        packet.push_back(static_cast<uint8_t>((last ? 0x80 : 0x00) | payloadType_));
        AppendBe16(packet, sequence_++);
        AppendBe32(packet, timestamp);
        AppendBe32(packet, ssrc_);
        packet.insert(packet.end(), kRtpPrefixSize, 0);
        if (chunk > 0) packet.insert(packet.end(), frame + at, frame + at + chunk);
        packets.push_back(std::move(packet));
        at += chunk;
    } while (at < size);
    return packets;
}

bool ReadRtpPacket(const uint8_t* p, std::size_t size, RtpPacket& out) {
    if (p == nullptr || size < kRtpHeaderSize || (p[0] >> 6) != 2) return false;
    const std::size_t skip = kRtpHeaderSize + 4u * (p[0] & 0x0Fu) + kRtpPrefixSize;
    if (size < skip) return false;
    out.marker = (p[1] & 0x80) != 0;
    out.payloadType = static_cast<uint8_t>(p[1] & 0x7F);
    out.sequence = ReadBe16(p + 2);
    out.timestamp = ReadBe32(p + 4);
    out.ssrc = ReadBe32(p + 8);
    out.media = p + skip;
    out.mediaSize = size - skip;
    return true;
}

}  // namespace krtools
