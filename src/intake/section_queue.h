// Pooled section nodes and the five queues they move between: the free queue and the four
// consumer queues (system information, stream, CA, ECM), each drained by one worker.
//
// The queues, the pool and the request and shared-filter tables are guarded by one short
// intake lock, never the module lock, so the host's delivery thread never waits for a worker
// that holds the module lock across a host call, a parse or a store write.
#pragma once

#include <krmodule/krmodule.h>

#include <atomic>
#include <cstdint>

#include "core/platform.h"

namespace kr {

// Most section bytes a node holds; longer sections are cut.
constexpr uint16_t kNodeDataSize = 1500;

// Most nodes a worker takes from its queue at once.
constexpr int kNodeBatch = 32;

struct NodeLinks {
    NodeLinks* next = nullptr;
    NodeLinks* prev = nullptr;
};

// One received section with what its request knows about the consumer.
struct SectionNode : NodeLinks {
    uint8_t type;
    uint8_t entryIndex;  // the request's place in the request table
    uint32_t requestId;
    uint32_t ownerId;
    uint32_t ipAddress;
    uint16_t udpPort;
    uint8_t scrambled;
    KrDataProcessFn dataProcess;
    uint32_t deliveryMode;
    uint16_t length;  // section bytes held, at most kNodeDataSize
    uint8_t data[kNodeDataSize];
};

// A circular doubly linked list whose header is its own sentinel; first in, first out.
struct SectionQueue {
    NodeLinks head;
    // Changed under the intake lock; read without it by the worker deciding whether to sleep.
    std::atomic<uint16_t> count{0};
    LockHandle lock;
    bool wakesWorker = false;  // a put wakes the worker of `worker` when it is idle
    WorkQueue worker = WorkQueue::Sys;
};

// The lock of the queues, the pool and the request and shared-filter tables.
ShortLock& IntakeLock();

// The queues, which exist from intake start to intake finish.
enum class QueueId : uint8_t { Free, Sys, Stream, Ca, Ecm };
SectionQueue* GetQueue(QueueId id);

// The consumer queue a worker drains.
SectionQueue* QueueOfWorker(WorkQueue worker);

int32_t QueueInit(SectionQueue* queue);                     // 0; -2 when null
int32_t QueuePut(SectionQueue* queue, SectionNode* node);   // 0; -2 when either is null
int32_t QueueTake(SectionQueue* queue, SectionNode** out);  // 0; 1 when empty; -2 on null
int32_t TakeFreeNode(SectionNode** out);
int32_t ReturnNode(SectionNode* node);

// The same with the intake lock already held; the put wakes no worker (the caller does, after
// it let go of the lock, with WakeConsumer).
int32_t QueuePutLocked(SectionQueue* queue, SectionNode* node);
int32_t QueueTakeLocked(SectionQueue* queue, SectionNode** out);
void WakeConsumer(const SectionQueue* queue);

// Takes up to max nodes from the head of the queue in one hold of the lock: how many.
int32_t QueueTakeBatch(SectionQueue* queue, SectionNode** out, int32_t max);
// Gives count nodes back to the free queue in one hold of the lock.
void ReturnNodes(SectionNode* const* nodes, int32_t count);

// Returns every node of the request that waits on the queue to the free queue.
void RemoveRequestNodes(uint32_t requestId, SectionQueue* queue);
// The same with the intake lock held and without the diagnostic; the caller announces the
// returned nodes (NoteNodesReturned) once it let go of the lock.
void RemoveRequestNodesLocked(uint32_t requestId, SectionQueue* queue);

// Nodes on a queue now (0 for a null queue).
uint16_t QueueCount(const SectionQueue* queue);

}  // namespace kr
