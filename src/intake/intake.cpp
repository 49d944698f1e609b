#include "intake/intake.h"

namespace kr {
namespace {
uint32_t poolNodes = 0;
}

// The pool, queues and request tables arrive with section intake; until then start-up only
// records the pool size it was given.
int32_t IntakeInit(uint32_t nodeCount) {
    poolNodes = nodeCount;
    return 0;
}

int32_t IntakeFinish() {
    poolNodes = 0;
    return 0;
}

uint32_t IntakeNodeCount() { return poolNodes; }

}  // namespace kr
