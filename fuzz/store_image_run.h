// Starts the store from an arbitrary image and checks what must hold for any image: start-up
// succeeds, every area left readable agrees with its CRC or is empty, a rejected store is
// cleared, a live EPG loaded from it stays inside its tables, and an update survives a
// restart. Shared by the fuzz target and the unit tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// The image is cut or zero-padded to the store size. true when every property held.
bool RunStoreImage(const uint8_t* data, std::size_t size);

}  // namespace krfuzz
