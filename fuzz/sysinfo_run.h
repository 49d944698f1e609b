// Runs one input through the system-information path: the input is a sequence of records, each
// a selector byte (even: a system-information payload, odd: a block payload), a little-endian
// u16 length and that many payload bytes (cut short at the end of the input). Each input starts
// from a cleared EPG, so that every finding replays alone. Intake and system information must
// be running. Shared by the fuzz target and the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

void RunSysinfoInput(const uint8_t* data, std::size_t size);

}  // namespace krfuzz
