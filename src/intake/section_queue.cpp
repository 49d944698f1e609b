#include "intake/section_queue.h"

#include <array>

#include "core/counters.h"
#include "core/log.h"
#include "intake/catch_up.h"

namespace kr {
namespace {

std::array<SectionQueue, 5> queues;
ShortLock intakeLock;

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

}  // namespace

ShortLock& IntakeLock() {
    return intakeLock;
}

SectionQueue* GetQueue(QueueId id) {
    return &queues[static_cast<std::size_t>(id)];
}

SectionQueue* QueueOfWorker(WorkQueue worker) {
    return &queues[static_cast<std::size_t>(worker) + 1];
}

int32_t QueueInit(SectionQueue* queue) {
    if (queue == nullptr) return -2;
    {
        ShortLockGuard hold(intakeLock);
        queue->head.next = &queue->head;
        queue->head.prev = &queue->head;
        queue->count.store(0);
    }
    if (CreateLock(&queue->lock, 0) != 0) kr_Print(0x31, "Mutex init faild!");
    return 0;
}

int32_t QueuePutLocked(SectionQueue* queue, SectionNode* node) {
    if (queue == nullptr || node == nullptr) return -2;
    if (!Exists(queue)) return -2;  // the queue does not exist (yet)
    Append(queue, node);
    return 0;
}

int32_t QueueTakeLocked(SectionQueue* queue, SectionNode** out) {
    if (queue == nullptr || out == nullptr) return -2;
    if (!Exists(queue) || IsEmpty(queue)) {
        *out = nullptr;
        return 1;
    }
    NodeLinks* first = queue->head.next;
    Unlink(queue, first);
    *out = static_cast<SectionNode*>(first);
    return 0;
}

void WakeConsumer(const SectionQueue* queue) {
    if (queue != nullptr && queue->wakesWorker) SignalWorkIfIdle(queue->worker);
}

int32_t QueuePut(SectionQueue* queue, SectionNode* node) {
    int32_t result = 0;
    {
        ShortLockGuard hold(intakeLock);
        result = QueuePutLocked(queue, node);
    }
    if (result == 0) WakeConsumer(queue);
    return result;
}

int32_t QueueTake(SectionQueue* queue, SectionNode** out) {
    if (queue == nullptr || out == nullptr) return -2;
    ShortLockGuard hold(intakeLock);
    return QueueTakeLocked(queue, out);
}

int32_t TakeFreeNode(SectionNode** out) {
    return QueueTake(GetQueue(QueueId::Free), out);
}

int32_t ReturnNode(SectionNode* node) {
    const int32_t result = QueuePut(GetQueue(QueueId::Free), node);
    NoteNodesReturned();
    return result;
}

int32_t QueueTakeBatch(SectionQueue* queue, SectionNode** out, int32_t max) {
    if (queue == nullptr || out == nullptr) return 0;
    ShortLockGuard hold(intakeLock);
    int32_t taken = 0;
    while (taken < max && QueueTakeLocked(queue, &out[taken]) == 0)
        ++taken;
    return taken;
}

void ReturnNodes(SectionNode* const* nodes, int32_t count) {
    if (nodes == nullptr || count <= 0) return;
    SectionQueue* free = GetQueue(QueueId::Free);
    {
        ShortLockGuard hold(intakeLock);
        for (int32_t i = 0; i < count; ++i)
            (void)QueuePutLocked(free, nodes[i]);
    }
    NoteNodesReturned();
}

void RemoveRequestNodesLocked(uint32_t requestId, SectionQueue* queue) {
    if (queue == nullptr || !Exists(queue)) return;
    SectionQueue* free = GetQueue(QueueId::Free);
    NodeLinks* link = queue->head.next;
    while (link != &queue->head) {
        NodeLinks* next = link->next;
        auto* node = static_cast<SectionNode*>(link);
        if (node->requestId == requestId) {
            Unlink(queue, link);
            (void)QueuePutLocked(free, node);
            Tally(Count::SectionsStopped);
        }
        link = next;
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
