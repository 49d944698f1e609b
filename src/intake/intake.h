// Section intake: the node pool, the consumer queues and the request tables behind
// kr_T2K_SendRetrieved.
#pragma once

#include <cstdint>

namespace kr {

// Called by start-up with the node count (already capped). 0; -1 when memory is missing.
int32_t IntakeInit(uint32_t nodeCount);

// Called by shut-down after every worker has ended. Safe when intake never started. 0.
int32_t IntakeFinish();

// Nodes in the pool of the running intake (0 when it is not running).
uint32_t IntakeNodeCount();

}  // namespace kr
