// The stream worker: RTP checks, frame reassembly and resource blocks for the host.
#pragma once

#include <cstdint>

namespace kr {

int32_t StreamInit();
int32_t StreamFinish();  // safe when the stream side never started

// Worker routine; returns 0 when the module stops.
uint32_t StreamWorker(void* argument);

}  // namespace kr
