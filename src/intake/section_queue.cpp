#include "intake/section_queue.h"

#include <array>

#include "core/counters.h"
#include "core/log.h"
#include "intake/catch_up.h"

namespace kr {
namespace {

std::array<SectionQueue, kWorkQueueCount> queues;
SectionQueue freeQueue;
ShortLock intakeLock;

// The ring's slot of the node at place `index` from its head.
uint32_t SlotAt(const SectionQueue& queue, uint32_t index) {
    const uint32_t slot = queue.first + index;
    return slot >= queue.capacity ? slot - queue.capacity : slot;
}

// Sequentially consistent: a consumer queue's count pairs with the idle announcement of its worker
// (WaitForWork); the free queue's with a waiter of the whole pool, which first registers, then
// counts, while a worker gives a node back and then looks for a waiter (NoteNodesReturned).
void SetCount(SectionQueue& queue, uint32_t count) {
    queue.count.store(static_cast<uint16_t>(count), std::memory_order_seq_cst);
}

// With the queue's lock held.
int32_t PutHeld(SectionQueue& queue, SectionNode* node) {
    const uint32_t count = queue.count.load(std::memory_order_relaxed);
    // A node put twice would overwrite another: a ring holds every node of the pool once at most.
    if (queue.slots == nullptr || count >= queue.capacity) return -2;
    queue.slots[SlotAt(queue, count)] = node;
    SetCount(queue, count + 1);
    return 0;
}

// The newest nodes, from the tail: the ring's head stays where it is.
int32_t TakeNewestHeld(SectionQueue& queue, SectionNode** out, int32_t max) {
    const uint32_t count = queue.count.load(std::memory_order_relaxed);
    const uint32_t taken = count < static_cast<uint32_t>(max) ? count : static_cast<uint32_t>(max);
    for (uint32_t i = 0; i < taken; ++i)
        out[i] = queue.slots[SlotAt(queue, count - 1 - i)];
    if (taken > 0) SetCount(queue, count - taken);
    return static_cast<int32_t>(taken);
}

int32_t TakeManyHeld(SectionQueue& queue, SectionNode** out, int32_t max) {
    const uint32_t count = queue.count.load(std::memory_order_relaxed);
    const uint32_t taken = count < static_cast<uint32_t>(max) ? count : static_cast<uint32_t>(max);
    for (uint32_t i = 0; i < taken; ++i)
        out[i] = queue.slots[SlotAt(queue, i)];
    queue.first = SlotAt(queue, taken);
    if (taken > 0) SetCount(queue, count - taken);
    return static_cast<int32_t>(taken);
}

void Forget(SectionQueue& queue) {
    ShortLockGuard hold(queue.guard);
    queue.slots = nullptr;
    queue.capacity = 0;
    queue.first = 0;
    queue.count.store(0);
    queue.lock = LockHandle{};
    queue.wakesWorker = false;
}

}  // namespace

ShortLock& IntakeLock() {
    return intakeLock;
}

SectionQueue* GetQueue(QueueId id) {
    return &queues[static_cast<std::size_t>(id)];
}

SectionQueue* QueueOfWorker(WorkQueue worker) {
    return &queues[static_cast<std::size_t>(worker)];
}

int32_t QueueInit(SectionQueue* queue) {
    if (queue == nullptr) return -2;
    {
        ShortLockGuard hold(queue->guard);
        queue->first = 0;
        queue->count.store(0);
    }
    if (CreateLock(&queue->lock, 0) != 0) kr_Print(0x31, "Mutex init faild!");
    return 0;
}

void QueuesStart(SectionNode* nodes, SectionNode** slots, uint32_t count) {
    SectionQueue* const all[] = {&freeQueue, &queues[0], &queues[1], &queues[2], &queues[3]};
    for (std::size_t i = 0; i < std::size(all); ++i) {
        SectionQueue& queue = *all[i];
        ShortLockGuard hold(queue.guard);
        queue.slots = slots == nullptr ? nullptr : slots + i * count;
        queue.capacity = count;
        queue.first = 0;
        queue.count.store(0);
    }
    ShortLockGuard hold(freeQueue.guard);
    for (uint32_t i = 0; i < count; ++i)
        (void)PutHeld(freeQueue, &nodes[i]);
}

int32_t QueuePutNoWake(SectionQueue* queue, SectionNode* node) {
    if (queue == nullptr || node == nullptr) return -2;
    ShortLockGuard hold(queue->guard);
    return PutHeld(*queue, node);
}

void WakeConsumer(const SectionQueue* queue) {
    if (queue != nullptr && queue->wakesWorker) SignalWorkIfIdle(queue->worker);
}

int32_t QueuePut(SectionQueue* queue, SectionNode* node) {
    const int32_t result = QueuePutNoWake(queue, node);
    if (result == 0) WakeConsumer(queue);
    return result;
}

int32_t QueueTake(SectionQueue* queue, SectionNode** out) {
    if (queue == nullptr || out == nullptr) return -2;
    *out = nullptr;
    return QueueTakeBatch(queue, out, 1) == 1 ? 0 : 1;
}

uint32_t FreeQueueCount() {
    return freeQueue.count.load();
}

int32_t TakeFreeNode(SectionNode** out) {
    return QueueTake(&freeQueue, out);
}

int32_t TakeFreeNodes(SectionNode** out, int32_t max, FreeOrder order) {
    if (out == nullptr || max <= 0) return 0;
    ShortLockGuard hold(freeQueue.guard);
    return order == FreeOrder::Newest ? TakeNewestHeld(freeQueue, out, max)
                                      : TakeManyHeld(freeQueue, out, max);
}

int32_t PutFreeNode(SectionNode* node) {
    return QueuePutNoWake(&freeQueue, node);
}

int32_t ReturnNode(SectionNode* node) {
    const int32_t result = PutFreeNode(node);
    NoteNodesReturned();
    return result;
}

int32_t QueueTakeBatch(SectionQueue* queue, SectionNode** out, int32_t max) {
    if (queue == nullptr || out == nullptr || max <= 0) return 0;
    ShortLockGuard hold(queue->guard);
    return TakeManyHeld(*queue, out, max);
}

void ReturnNodes(SectionNode* const* nodes, int32_t count) {
    if (nodes == nullptr || count <= 0) return;
    {
        ShortLockGuard hold(freeQueue.guard);
        for (int32_t i = 0; i < count; ++i)
            (void)PutHeld(freeQueue, nodes[i]);
    }
    NoteNodesReturned();
}

void RemoveRequestNodesLocked(uint32_t requestId, SectionQueue* queue) {
    if (queue == nullptr || queue == &freeQueue) return;
    ShortLockGuard hold(queue->guard);
    if (queue->slots == nullptr) return;
    // The nodes that stay close ranks in their order.
    const uint32_t count = queue->count.load(std::memory_order_relaxed);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < count; ++i) {
        SectionNode* node = queue->slots[SlotAt(*queue, i)];
        if (node->requestId == requestId) {
            (void)PutFreeNode(node);
            Tally(Count::SectionsStopped);
        } else {
            queue->slots[SlotAt(*queue, kept++)] = node;
        }
    }
    if (kept != count) SetCount(*queue, kept);
}

void ForgetQueuesLocked() {
    Forget(freeQueue);
    for (SectionQueue& queue : queues)
        Forget(queue);
}

void RemoveRequestNodes(uint32_t requestId, SectionQueue* queue) {
    if (queue == nullptr) return;
    {
        ShortLockGuard hold(intakeLock);
        RemoveRequestNodesLocked(requestId, queue);
    }
    NoteNodesReturned();
    kr_Print(0x35, "Remove retrieves from queue.");
}

uint16_t QueueCount(const SectionQueue* queue) {
    if (queue == nullptr) return 0;
    return queue->count.load();
}

}  // namespace kr
