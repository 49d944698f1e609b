// The loop every worker runs over its consumer queue: take the next node, process it and give
// it back (invalid ones included); when the queue is empty, report it and wait for the idle
// interval, which ends early when a section is queued or the module stops.
#pragma once

#include <cstdint>

#include "core/platform.h"
#include "intake/section_queue.h"

namespace kr {

// afterIdle runs after each idle wait that lasted its whole interval, so rules that count empty
// rounds keep their meaning: a wake-up by a section that was already taken is no round.
template <typename Process, typename Empty, typename AfterIdle>
void RunWorkerLoop(QueueId id, uint32_t idleMs, Process&& process, Empty&& onEmpty,
                   AfterIdle&& afterIdle) {
    SectionQueue* queue = GetQueue(id);
    while (!IsStopping()) {
        SectionNode* node = nullptr;
        if (QueueTake(queue, &node) == 0 && node != nullptr) {
            process(*node);
            ReturnNode(node);
            continue;
        }
        onEmpty();
        if (!WaitForWork(queue->worker, idleMs)) afterIdle();
    }
}

template <typename Process, typename Empty>
void RunWorkerLoop(QueueId id, uint32_t idleMs, Process&& process, Empty&& onEmpty) {
    RunWorkerLoop(id, idleMs, process, onEmpty, [] {});
}

}  // namespace kr
