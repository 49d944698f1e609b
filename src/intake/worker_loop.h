// The loop every worker runs over its consumer queue: take the waiting nodes in a batch, process
// each one whose request still runs, and give the batch back (invalid ones included); when the
// queue is empty, report it and wait for the idle interval, which ends early when a section is
// queued or the module stops.
#pragma once

#include <cstdint>

#include "core/platform.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"

namespace kr {

// The gate of each worker's deliveries, which stops wait at (see DeliveryGate).
DeliveryGate& WorkerGate(WorkQueue worker);

// Whether the queue of the worker has nodes; the check of the worker's idle wait.
bool WorkerHasWork(WorkQueue worker);

// afterIdle runs after each idle wait that lasted its whole interval, so rules that count empty
// rounds keep their meaning: a wake-up by a section that was already taken is no round.
template <typename Process, typename Empty, typename AfterIdle>
void RunWorkerLoop(QueueId id, uint32_t idleMs, Process&& process, Empty&& onEmpty,
                   AfterIdle&& afterIdle) {
    SectionQueue* queue = GetQueue(id);
    const WorkQueue worker = queue->worker;
    DeliveryGate& gate = WorkerGate(worker);
    SectionNode* batch[kNodeBatch];
    while (!IsStopping()) {
        const int32_t taken = QueueTakeBatch(queue, batch, kNodeBatch);
        if (taken > 0) {
            for (int32_t i = 0; i < taken && !IsStopping(); ++i) {
                SectionNode& node = *batch[i];
                gate.Enter(node.requestId);
                // A section of a request stopped since it was queued is dropped.
                if (RequestLive(node.entryIndex, node.requestId)) process(node);
                gate.Leave();
            }
            ReturnNodes(batch, taken);
            continue;
        }
        onEmpty();
        if (!WaitForWork(worker, idleMs, WorkerHasWork)) afterIdle();
    }
}

template <typename Process, typename Empty>
void RunWorkerLoop(QueueId id, uint32_t idleMs, Process&& process, Empty&& onEmpty) {
    RunWorkerLoop(id, idleMs, process, onEmpty, [] {});
}

// Waits until no worker delivers for any of the stopped requests. Call with no library lock held.
void WaitForStoppedDeliveries(const StoppedRequests& stopped);

}  // namespace kr
