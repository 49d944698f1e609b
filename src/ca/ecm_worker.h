// The control-message worker: looks after the started services (their card messages, their ECM
// filters) and turns the ECMs of started services into control words at the descrambler.
#pragma once

#include <cstdint>

namespace kr {

// Worker routine; returns 0 when the module stops.
uint32_t kr_EcmThread(void* argument);

// One pass over the started services: card messages, and the ECM filter of a service the map
// now names. Never talks to the card.
void kr_EcmMaintain();

// Asks the worker for a pass soon (a service waits for the map, or the map changed): the pass
// counts as work still to do until it has run, so a terminal waiting for the module to catch up
// waits for the ECM filter it brings.
void RequestEcmMaintain();

// A checked ECM section. 0 handled (whatever the card answered); 1 no card ready; -1 the service
// is unknown, not started, or a parental check failed; KR_NO_UPDATE the version was handled;
// -2 null section; -3 the section is too short for its fields.
int32_t kr_EcmParse(const uint8_t* section, uint32_t length);

}  // namespace kr
