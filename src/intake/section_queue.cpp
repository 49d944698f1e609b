#include "intake/section_queue.h"

#include <array>

#include "core/counters.h"
#include "core/log.h"
#include "intake/catch_up.h"

namespace kr {
namespace {

std::array<SectionQueue, kWorkQueueCount> queues;
ShortLock intakeLock;

// The free nodes, first in, first out, in a ring of pointers rather than a linked queue: a
// delivery taking a group of them reads a few consecutive lines instead of following each node's
// links into a line a worker wrote last. A node rests longest here, so the one taken was last
// touched longest ago.
struct alignas(kCacheLine) FreeRing {
    SpinLock guard;  // of everything below
    SectionNode** slots = nullptr;
    uint32_t capacity = 0;
    uint32_t first = 0;  // the slot taken next
    // Changed under guard; read without it.
    std::atomic<uint32_t> count{0};
};
FreeRing freeRing;

// With freeRing.guard held.
int32_t FreePutHeld(SectionNode* node) {
    const uint32_t count = freeRing.count.load(std::memory_order_relaxed);
    // A node given back twice would overwrite another: the ring holds every node once at most.
    if (freeRing.slots == nullptr || count >= freeRing.capacity) return -2;
    uint32_t slot = freeRing.first + count;
    if (slot >= freeRing.capacity) slot -= freeRing.capacity;
    freeRing.slots[slot] = node;
    // Sequentially consistent: a worker that gives a node back then looks for a waiter of the
    // whole pool (NoteNodesReturned), and that waiter first registers, then counts.
    freeRing.count.store(count + 1, std::memory_order_seq_cst);
    return 0;
}

int32_t FreeTakeManyHeld(SectionNode** out, int32_t max) {
    const uint32_t count = freeRing.count.load(std::memory_order_relaxed);
    const uint32_t taken = count < static_cast<uint32_t>(max) ? count : static_cast<uint32_t>(max);
    uint32_t slot = freeRing.first;
    for (uint32_t i = 0; i < taken; ++i) {
        out[i] = freeRing.slots[slot];
        if (++slot == freeRing.capacity) slot = 0;
    }
    freeRing.first = slot;
    freeRing.count.store(count - taken, std::memory_order_release);
    return static_cast<int32_t>(taken);
}

bool IsEmpty(const SectionQueue* queue) {
    return queue->head.next == &queue->head;
}

bool Exists(const SectionQueue* queue) {
    return queue->head.next != nullptr;
}

void SetCount(SectionQueue* queue, int delta) {
    // Sequentially consistent: pairs with the idle announcement of the worker (WaitForWork).
    queue->count.store(static_cast<uint16_t>(queue->count.load(std::memory_order_relaxed) + delta),
                       std::memory_order_seq_cst);
}

void Unlink(SectionQueue* queue, NodeLinks* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = nullptr;
    node->prev = nullptr;
    SetCount(queue, -1);
}

void Append(SectionQueue* queue, NodeLinks* node) {
    NodeLinks* tail = queue->head.prev;
    node->prev = tail;
    node->next = &queue->head;
    tail->next = node;
    queue->head.prev = node;
    SetCount(queue, +1);
}

// With the queue's lock held.
int32_t PutHeld(SectionQueue* queue, SectionNode* node) {
    if (!Exists(queue)) return -2;  // the queue does not exist (yet)
    Append(queue, node);
    return 0;
}

int32_t TakeHeld(SectionQueue* queue, SectionNode** out) {
    if (!Exists(queue) || IsEmpty(queue)) {
        *out = nullptr;
        return 1;
    }
    NodeLinks* first = queue->head.next;
    Unlink(queue, first);
    *out = static_cast<SectionNode*>(first);
    return 0;
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
        queue->head.next = &queue->head;
        queue->head.prev = &queue->head;
        queue->count.store(0);
    }
    if (CreateLock(&queue->lock, 0) != 0) kr_Print(0x31, "Mutex init faild!");
    return 0;
}

int32_t QueuePutNoWake(SectionQueue* queue, SectionNode* node) {
    if (queue == nullptr || node == nullptr) return -2;
    ShortLockGuard hold(queue->guard);
    return PutHeld(queue, node);
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
    ShortLockGuard hold(queue->guard);
    return TakeHeld(queue, out);
}

void FreeNodesStart(SectionNode* pool, SectionNode** slots, uint32_t count) {
    ShortLockGuard hold(freeRing.guard);
    freeRing.slots = slots;
    freeRing.capacity = count;
    freeRing.first = 0;
    freeRing.count.store(0);
    for (uint32_t i = 0; i < count; ++i)
        (void)FreePutHeld(&pool[i]);
}

uint32_t FreeQueueCount() {
    return freeRing.count.load();
}

int32_t TakeFreeNode(SectionNode** out) {
    if (out == nullptr) return -2;
    *out = nullptr;
    return TakeFreeNodes(out, 1) == 1 ? 0 : 1;
}

int32_t TakeFreeNodes(SectionNode** out, int32_t max) {
    if (out == nullptr || max <= 0) return 0;
    ShortLockGuard hold(freeRing.guard);
    return FreeTakeManyHeld(out, max);
}

int32_t PutFreeNode(SectionNode* node) {
    if (node == nullptr) return -2;
    ShortLockGuard hold(freeRing.guard);
    return FreePutHeld(node);
}

int32_t ReturnNode(SectionNode* node) {
    const int32_t result = PutFreeNode(node);
    NoteNodesReturned();
    return result;
}

SectionNode* QueueTakeBatch(SectionQueue* queue, int32_t max) {
    if (queue == nullptr || max <= 0) return nullptr;
    ShortLockGuard hold(queue->guard);
    if (!Exists(queue) || IsEmpty(queue)) return nullptr;
    const uint16_t count = queue->count.load(std::memory_order_relaxed);
    NodeLinks* first = queue->head.next;
    NodeLinks* last = queue->head.prev;
    uint16_t taken = count;
    if (count > max) {
        // Only a worker that fell behind walks its queue, once for a whole batch.
        last = first;
        for (int32_t i = 1; i < max; ++i)
            last = last->next;
        taken = static_cast<uint16_t>(max);
    }
    // The batch leaves in one cut, however long: the queue's lock, which the host's delivery
    // thread waits for, is held for a few stores.
    queue->head.next = last->next;
    last->next->prev = &queue->head;
    last->next = nullptr;
    first->prev = nullptr;
    SetCount(queue, -static_cast<int>(taken));
    return static_cast<SectionNode*>(first);
}

SectionNode* NextInBatch(const SectionNode& node) {
    return static_cast<SectionNode*>(node.next);
}

void ReturnBatch(SectionNode* batch) {
    if (batch == nullptr) return;
    {
        ShortLockGuard hold(freeRing.guard);
        while (batch != nullptr) {
            SectionNode* next = NextInBatch(*batch);
            (void)FreePutHeld(batch);
            batch = next;
        }
    }
    NoteNodesReturned();
}

void RemoveRequestNodesLocked(uint32_t requestId, SectionQueue* queue) {
    if (queue == nullptr) return;
    ShortLockGuard hold(queue->guard);
    if (!Exists(queue)) return;
    NodeLinks* link = queue->head.next;
    while (link != &queue->head) {
        NodeLinks* next = link->next;
        auto* node = static_cast<SectionNode*>(link);
        if (node->requestId == requestId) {
            Unlink(queue, link);
            (void)PutFreeNode(node);
            Tally(Count::SectionsStopped);
        }
        link = next;
    }
}

void ForgetQueuesLocked() {
    {
        ShortLockGuard hold(freeRing.guard);
        freeRing.slots = nullptr;
        freeRing.capacity = 0;
        freeRing.first = 0;
        freeRing.count.store(0);
    }
    for (SectionQueue& queue : queues) {
        ShortLockGuard hold(queue.guard);
        queue.head = NodeLinks{};
        queue.count.store(0);
        queue.lock = LockHandle{};
        queue.wakesWorker = false;
    }
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
