// The conditional-access client: card events, CA state and the CA worker.
#pragma once

#include <cstdint>

namespace kr {

int32_t kr_CaStart();
int32_t kr_CaStop();  // safe when the CA client never started

// Sets the card's EMM filter and the broadcast-data filter on pid. -1 when cardId is null, pid is
// not a PID, no card is ready or no request entry is free; else 0, also when the host refused
// a filter (it is reported and its entry freed).
int32_t kr_CaSetEmmFilters(uint16_t pid, const uint8_t* cardId);

// A CA private section (EMM, ECM, service map, broadcast data) is intact when it holds at least
// its header and CRC and the CRC of bytes 3 to L-5 is in its last four bytes.
bool CaSectionIntact(const uint8_t* section, uint32_t length);

// Worker routine; returns 0 when the module stops.
uint32_t kr_CaThread(void* argument);

}  // namespace kr
