#include "support/stream_builder.h"

#include "common/byte_writer.h"

namespace krtest {

std::vector<uint8_t> BuildRtpPayload(const RtpPacketFields& packet) {
    std::vector<uint8_t> out;
    out.push_back(static_cast<uint8_t>((packet.version << 6) | (packet.padding ? 0x20 : 0) |
                                       (packet.extension ? 0x10 : 0) | (packet.csrcCount & 0x0F)));
    out.push_back(static_cast<uint8_t>((packet.marker ? 0x80 : 0) | (packet.payloadType & 0x7F)));
    krtools::AppendBe16(out, packet.seq);
    krtools::AppendBe32(out, packet.timestamp);
    krtools::AppendBe32(out, packet.ssrc);
    for (uint8_t i = 0; i < (packet.csrcCount & 0x0F); ++i)
        krtools::AppendBe32(out, 0xC0000000u + i);
    out.insert(out.end(), 6, 0xEE);
    out.insert(out.end(), packet.media.begin(), packet.media.end());
    return out;
}

std::vector<uint8_t> FrameStart(uint8_t code, std::size_t size, uint8_t seed) {
    std::vector<uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<uint8_t>(seed + i);
    const uint8_t start[4] = {0, 0, 1, code};
    for (std::size_t i = 0; i < 4 && i < size; ++i)
        out[i] = start[i];
    return out;
}

}  // namespace krtest
