// What the library's numbered messages mean, for a terminal that shows them when the library
// sends no text of its own.
#pragma once

#include <cstdint>

namespace krtools {

// The number of the messages that carry a broadcast text.
constexpr uint32_t kBroadcastMessage = 0xFF;

// The meaning of a numbered message; null for a number without one.
const char* MessageMeaning(uint32_t messageId);

}  // namespace krtools
