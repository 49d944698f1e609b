// Module-wide flags of the lifecycle.
#pragma once

#include <cstdint>

namespace kr {

// The module version reported by kr_T2K_GetVersion and printed at start-up.
constexpr uint8_t kVersion[4] = {2, 1, 2, 8};

// Largest section pool a host may ask for.
constexpr uint32_t kMaxSectionBuffers = 8192;

// 1 from the end of start-up to the start of shut-down. The exported EPG, program and download
// calls refuse to work while it is 0.
bool IsInitialised();

}  // namespace kr
