// Reassembly of whole video and audio frames from the media parts of RTP packets: one state per
// kind of stream, gathering the packets of one timestamp in a fixed buffer.
#pragma once

#include <cstdint>
#include <span>

namespace kr {

// Frame buffer sizes.
constexpr uint32_t kVideoFrameSize = 0x20000;
constexpr uint32_t kAudioFrameSize = 2048;

struct ReassemblyState {
    uint16_t lastSeq = 0;
    uint8_t lastMarker = 0;
    uint32_t lastTimestamp = 0;
    uint32_t bytes = 0;  // frame bytes gathered so far
    uint8_t started = 0;  // a packet was taken since the state was cleared
    uint8_t* buffer = nullptr;
    uint32_t capacity = 0;
};

// What reassembly needs of one RTP packet.
struct RtpPacket {
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    uint8_t marker = 0;
    std::span<const uint8_t> media;
};

// All fields 0, with the given buffer.
void ResetReassembly(ReassemblyState& state, uint8_t* buffer, uint32_t capacity);

// Why a packet ended the frame gathered before it.
enum class FrameDrop : uint8_t { None, LostPacket, Unfinished };

// What one packet did: the earlier frame it dropped, whether its own frame is dropped as too
// large, and whether the packet was left out because the start of its frame is gone.
struct PacketOutcome {
    FrameDrop dropped = FrameDrop::None;
    bool tooLarge = false;
    bool packetUnused = false;
};

// Adds a packet to the frame being gathered. A lost packet inside a frame drops the partial
// frame; a frame that would fill its buffer is dropped; a delivered frame is not cleared, the
// next packet with a new timestamp starts the next frame.
PacketOutcome AddPacket(ReassemblyState& state, const RtpPacket& packet);

// The frame gathered so far.
inline std::span<const uint8_t> GatheredFrame(const ReassemblyState& state) {
    return {state.buffer, state.buffer != nullptr ? state.bytes : 0};
}

}  // namespace kr
