// The control-message worker: ECMs of started services to control words at the descrambler.
#pragma once

#include <cstdint>

namespace kr {

// Worker routine; returns 0 when the module stops.
uint32_t kr_EcmThread(void* argument);

}  // namespace kr
