#include "playback/frame_reassembly.h"

#include <cstring>

namespace kr {

void ResetReassembly(ReassemblyState& state, uint8_t* buffer, uint32_t capacity) {
    state = ReassemblyState{};
    state.buffer = buffer;
    state.capacity = buffer != nullptr ? capacity : 0;
}

PacketOutcome AddPacket(ReassemblyState& state, const RtpPacket& packet) {
    PacketOutcome outcome;
    const bool open = state.started != 0 && state.lastMarker == 0 && state.bytes != 0;
    // A packet inside a frame was lost: the partial frame goes.
    if (packet.seq != static_cast<uint16_t>(state.lastSeq + 1) && state.lastMarker == 0) {
        if (open) outcome.dropped = FrameDrop::LostPacket;
        state.bytes = 0;
    }
    const uint32_t previous = state.lastTimestamp;
    state.lastSeq = packet.seq;
    state.lastMarker = packet.marker;
    state.lastTimestamp = packet.timestamp;

    const std::size_t n = packet.media.size();
    // A cleared state's timestamp 0 is no frame: the first packet always starts one, also when
    // its own timestamp is 0.
    const bool first = state.started == 0;
    state.started = 1;
    if (packet.timestamp != previous || first) {
        // The frame being gathered never saw its last packet.
        if (open && outcome.dropped == FrameDrop::None) outcome.dropped = FrameDrop::Unfinished;
        state.bytes = 0;
        if (n >= state.capacity) {
            outcome.tooLarge = true;
            return outcome;
        }
    } else {
        if (state.bytes == 0) {  // the frame's start was lost
            outcome.packetUnused = true;
            return outcome;
        }
        if (n >= state.capacity - state.bytes) {
            state.bytes = 0;
            outcome.tooLarge = true;
            return outcome;
        }
    }
    if (n > 0) std::memcpy(state.buffer + state.bytes, packet.media.data(), n);
    state.bytes += static_cast<uint32_t>(n);
    return outcome;
}

}  // namespace kr
