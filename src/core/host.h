// The module's copy of the host's 18 functions. Written by start-up before any worker runs;
// every caller tests a slot for null before calling it.
#pragma once

#include <krmodule/krmodule.h>

namespace kr {

const HostCallbacks& Host();

// Replaces the whole table (start-up) or clears it (tests).
void SetHostCallbacks(const HostCallbacks& callbacks);
void ClearHostCallbacks();

}  // namespace kr
