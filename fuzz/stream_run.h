// Runs arbitrary datagram sections through the stream worker's handling, in frame, raw and
// resource modes, and checks what must hold for any input: every record handed to the content
// function lies inside the node's bytes or the frame buffer, with a length that fits. Shared by
// the fuzz target and the unit tests.
//
// Input: records of [selector, length high, length low, length bytes of section]. Selector
// bits 0-1: request type (resource, video, audio, video); bits 2-4: delivery mode; bit 5: make
// the IP header checksum right and the UDP checksum absent; bit 6: a program with a state pair
// of its own rather than the common pair.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// true when every delivery lay inside its bounds; *deliveries (when given) = how many there were.
bool RunStreamInput(const uint8_t* data, std::size_t size, std::size_t* deliveries = nullptr);

}  // namespace krfuzz
