// The check a worker applies to a node that carries an IPv4/UDP datagram after the 12-byte
// datagram-section header.
#pragma once

#include <cstdint>
#include <span>

#include "intake/section_queue.h"

namespace kr {

// Offsets in a datagram section.
constexpr uint32_t kIpHeaderOffset = 12;
constexpr uint32_t kUdpHeaderOffset = 32;
constexpr uint32_t kUdpPayloadOffset = 40;

// KR_YES (225) for a valid datagram, KR_NO (226) otherwise. Nothing beyond the bytes the node
// holds is ever read.
int32_t ValidateDatagram(const SectionNode* node);

// The section bytes the node holds.
std::span<const uint8_t> HeldBytes(const SectionNode& node);

// The UDP payload as the UDP length gives it. False (payload untouched) when the node is too short
// for the UDP header or the length does not fit the bytes held; never so after ValidateDatagram.
bool UdpPayload(const SectionNode& node, std::span<const uint8_t>& payload);

}  // namespace kr
