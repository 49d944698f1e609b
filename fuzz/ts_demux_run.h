// Feeds arbitrary bytes to the software demultiplexer and its section filters and checks what
// must hold for any input: every section handed on is exactly as long as its header says, the
// way the bytes are chunked changes nothing, and the filters pick only sections that match.
// Shared by the fuzz target and the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// The first byte chooses the chunk size, the rest is the stream. true when every property held.
bool RunTsDemux(const uint8_t* data, std::size_t size);

}  // namespace krfuzz
