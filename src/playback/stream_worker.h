// The stream worker: drains the stream queue and hands each valid datagram of a program or a
// resource download to the host function of its start call.
#pragma once

#include <cstdint>

#include "intake/section_queue.h"

namespace kr {

// The frame buffers. 0; -6 when memory is missing (nothing is then left allocated).
int32_t StreamInit();
// Stops every download and program request and releases the buffers. Safe when the stream
// side never started. 0.
int32_t StreamFinish();

// Worker routine; returns 0 when the module stops.
uint32_t StreamWorker(void* argument);

// One node taken from the stream queue: checked and delivered (the node stays the caller's).
void ProcessStreamNode(SectionNode& node);

}  // namespace kr
