// Runs RTP packets through frame reassembly as the stream worker hands them over, without a
// module: one pair of reassembly states per input, with frame buffers of sizes the input picks
// (so that the too-large rules are reached with few packets). Checks that every frame handed to
// the content function lies inside its buffer and that no state ever claims more bytes than
// its buffer holds. Shared by the fuzz target and the unit tests.
//
// Input: a byte whose low nibble sizes the video buffer and high nibble the audio buffer (64
// bytes shifted left by the nibble, at most the module's own sizes), then records [selector,
// length high, length low, length bytes of UDP payload]. Selector bit 0: audio rather than video.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// true when every frame and state stayed inside its buffer; *frames (when given) = frames
// delivered.
bool RunFramesInput(const uint8_t* data, std::size_t size, std::size_t* frames = nullptr);

}  // namespace krfuzz
