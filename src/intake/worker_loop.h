// The loop every worker runs over its consumer queue: take the waiting nodes in a batch, process
// each one whose request still runs, and give each back as soon as it is done (invalid ones
// included), so that a slow content function never keeps a batch from the pool; when the
// queue is empty, report it and wait for the idle interval, which ends early when a section is
// queued or the module stops.
#pragma once

#include <cstdint>

#include "core/counters.h"
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
            int32_t done = 0;
            for (; done < taken && !IsStopping(); ++done) {
                SectionNode& node = *batch[done];
                gate.Enter(node.requestId);
                // A section of a request stopped since it was queued is dropped.
                if (RequestLive(node.entryIndex, node.requestId)) {
                    process(node);
                } else {
                    Tally(Count::SectionsStopped);
                }
                gate.Leave();
                (void)ReturnNode(&node);
            }
            ReturnNodes(batch + done, taken - done);  // left unprocessed by a stop of the module
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

// Waits until no worker delivers for any of the stopped requests; returns at once on a thread
// that holds a library lock (a stop from inside a host function).
void WaitForStoppedDeliveries(const StoppedRequests& stopped);

}  // namespace kr
