// Hands the content of one datagram to the host function its start call named: a resource
// block, a raw part of the datagram, or whole frames reassembled from RTP packets. Every length
// is taken from the datagram and checked against the bytes the node holds: what does not fit is
// refused, never handed over in part.
#pragma once

#include <cstdint>

#include "intake/section_queue.h"
#include "playback/frame_reassembly.h"

namespace kr {

// 0; -1 for a datagram that is not for this receiver or whose block does not fit.
int32_t DeliverResourceBlock(SectionNode* node);

// 0; -1 without a dataProcess, with a mode other than 1 to 5, or when the part does not fit.
int32_t DeliverRaw(SectionNode* node);

// 0; -1 without a dataProcess or states, or when the RTP packet is refused.
int32_t DeliverFrames(SectionNode* node, ReassemblyState* video, ReassemblyState* audio);

}  // namespace kr
