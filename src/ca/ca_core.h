// The conditional-access client: card events, CA state and the CA worker.
#pragma once

#include <cstdint>

namespace kr {

int32_t kr_CaStart();
int32_t kr_CaStop();  // safe when the CA client never started

// Worker routine; returns 0 when the module stops.
uint32_t kr_CaThread(void* argument);

}  // namespace kr
