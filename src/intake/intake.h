// Section intake: kr_T2K_SendRetrieved copies each section into a pooled node and queues it for
// the worker of its request type. Owns the node pool, the five queues and the request and
// shared-filter tables.
#pragma once

#include <cstdint>

namespace kr {

// Largest section a host can deliver: a 12-bit section_length plus the three bytes before it.
constexpr int32_t kMaxSectionLength = 4098;

// Called by start-up with the node count (already capped). 0; -1 when memory is missing, with
// nothing left allocated.
int32_t IntakeInit(uint32_t nodeCount);

// Called by shut-down after every worker has ended. Safe when intake never started. 0.
int32_t IntakeFinish();

// Nodes in the pool of the running intake (0 when it is not running).
uint32_t IntakeNodeCount();

// Free nodes now: those on the free queue and those set aside for deliveries. Never call it with
// a short lock of intake held.
uint32_t FreeNodeCount();

}  // namespace kr
