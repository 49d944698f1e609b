// Pooled section nodes and the five queues they move between: the free queue and the four
// consumer queues (system information, stream, CA, ECM), each drained by one worker.
//
// The request and shared-filter tables are guarded by one short intake lock, never the module
// lock, so the host's delivery thread never waits for a worker that holds the module lock across
// a host call, a parse or a store write. Each queue is a ring of node pointers with a lock of its
// own on the line of its ring's position: a delivery puts its node and a worker takes its batch,
// or gives a node back, without holding up, or waiting for, the request lookup of another
// delivery; what passes between their cores is that line and the slots written, never a node's
// own lines under a lock. Locks are taken in one order: the intake lock (or the deliveries'
// set-aside lock), a consumer queue's, the free queue's.
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

// One received section with what its request knows about the consumer.
struct SectionNode {
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

// A ring of node pointers with room for every node of the pool: nodes are put at its tail and
// taken from its head, first in, first out (the free queue may also give its newest). Each queue
// fills a cache line of its own: the host's thread puts to a queue on one core while its worker
// takes from it, and another queue's worker from its own, on another.
struct alignas(kCacheLine) SectionQueue {
    SpinLock guard;                 // of the ring and its position
    SectionNode** slots = nullptr;  // null: the queue does not exist
    uint32_t capacity = 0;
    uint32_t first = 0;  // the slot taken next
    // Changed under guard; read without it by the worker deciding whether to sleep.
    std::atomic<uint16_t> count{0};
    LockHandle lock;
    bool wakesWorker = false;  // a put wakes the worker of `worker` when it is idle
    WorkQueue worker = WorkQueue::Sys;
};

// The lock of the request and shared-filter tables.
ShortLock& IntakeLock();

// The consumer queues, which exist from intake start to intake finish.
enum class QueueId : uint8_t { Sys, Stream, Ca, Ecm };
SectionQueue* GetQueue(QueueId id);

// The consumer queue a worker drains.
SectionQueue* QueueOfWorker(WorkQueue worker);

// Each operation takes the queue's own lock for its length.
int32_t QueueInit(SectionQueue* queue);  // 0; -2 when null. The queue takes nodes once started.
// Gives every queue, the free queue too, its ring: slots holds kQueueCount * count pointers, one
// ring of count for each. The count nodes (the pool) go on the free queue.
constexpr uint32_t kQueueCount = kWorkQueueCount + 1;
void QueuesStart(SectionNode* nodes, SectionNode** slots, uint32_t count);
int32_t QueuePut(SectionQueue* queue, SectionNode* node);   // 0; -2 when either is null
int32_t QueueTake(SectionQueue* queue, SectionNode** out);  // 0; 1 when empty; -2 on null
// A put that wakes no worker: the caller does, once it let go of the intake lock, with
// WakeConsumer.
int32_t QueuePutNoWake(SectionQueue* queue, SectionNode* node);
void WakeConsumer(const SectionQueue* queue);

// The free nodes, in the order they came back. ReturnNode announces the returned node
// (NoteNodesReturned); PutFreeNode leaves that to the caller.
uint32_t FreeQueueCount();
int32_t TakeFreeNode(SectionNode** out);  // the oldest: 0; 1 when none is free; -2 on null
// The oldest: their lines have long left the cache of the worker that read them, so writing
// them never waits for that worker's core. The newest: a few nodes used over and over stay
// warm, where a pool taken in turn at a slow pace touches memory left alone for seconds.
enum class FreeOrder : uint8_t { Oldest, Newest };
// Up to max nodes in one hold of the free queue's lock: how many.
int32_t TakeFreeNodes(SectionNode** out, int32_t max, FreeOrder order);
int32_t ReturnNode(SectionNode* node);
int32_t PutFreeNode(SectionNode* node);

// Takes up to max nodes from the head of the queue in one hold of its lock: how many.
int32_t QueueTakeBatch(SectionQueue* queue, SectionNode** out, int32_t max);
// Gives count nodes back to the free queue in one hold of its lock.
void ReturnNodes(SectionNode* const* nodes, int32_t count);

// Resets every queue, the free queue too, to its state before QueuesStart; intake finish calls it
// with the intake lock held, once no delivery holds a node and no worker runs.
void ForgetQueuesLocked();

// Returns every node of the request that waits on the queue to the free queue.
void RemoveRequestNodes(uint32_t requestId, SectionQueue* queue);
// The same with the intake lock held and without the diagnostic; the caller announces the
// returned nodes (NoteNodesReturned) once it let go of the lock.
void RemoveRequestNodesLocked(uint32_t requestId, SectionQueue* queue);

// Nodes on a queue now (0 for a null queue).
uint16_t QueueCount(const SectionQueue* queue);

}  // namespace kr
