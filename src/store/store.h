// The persistent store kept in the host's store buffer.
#pragma once

#include <cstdint>

namespace kr {

// Start-up: obtain, check and load the store. Its result is not used by start-up.
int32_t kr_StoreInit();
// Shut-down: release the working copy. Safe when the store never started.
int32_t kr_StoreFinish();

}  // namespace kr
