#include "intake/section_queue.h"

#include <array>

#include "core/log.h"

namespace kr {
namespace {

std::array<SectionQueue, 5> queues;

bool IsEmpty(const SectionQueue* queue) {
    return queue->head.next == &queue->head;
}

void Unlink(SectionQueue* queue, NodeLinks* node) {
    node->prev->next = node->next;
    node->next->prev = node->prev;
    node->next = nullptr;
    node->prev = nullptr;
    --queue->count;
}

}  // namespace

SectionQueue* GetQueue(QueueId id) {
    return &queues[static_cast<std::size_t>(id)];
}

int32_t QueueInit(SectionQueue* queue) {
    if (queue == nullptr) return -2;
    queue->head.next = &queue->head;
    queue->head.prev = &queue->head;
    queue->count = 0;
    if (CreateLock(&queue->lock, 0) != 0) kr_Print(0x31, "Mutex init faild!");
    return 0;
}

// Every queue lock is the module lock, so queue operations hold it directly: a queue whose
// handle could not be created is still serialised.
int32_t QueuePut(SectionQueue* queue, SectionNode* node) {
    if (queue == nullptr || node == nullptr) return -2;
    {
        ModuleLockGuard hold;
        if (queue->head.prev == nullptr) return -2;  // the queue does not exist (yet)
        NodeLinks* tail = queue->head.prev;
        node->prev = tail;
        node->next = &queue->head;
        tail->next = node;
        queue->head.prev = node;
        ++queue->count;
    }
    if (queue->wakesWorker) SignalWork(queue->worker);
    return 0;
}

int32_t QueueTake(SectionQueue* queue, SectionNode** out) {
    if (queue == nullptr || out == nullptr) return -2;
    ModuleLockGuard hold;
    if (queue->head.next == nullptr || IsEmpty(queue)) {
        *out = nullptr;
        return 1;
    }
    NodeLinks* first = queue->head.next;
    Unlink(queue, first);
    *out = static_cast<SectionNode*>(first);
    return 0;
}

int32_t TakeFreeNode(SectionNode** out) {
    return QueueTake(GetQueue(QueueId::Free), out);
}

int32_t ReturnNode(SectionNode* node) {
    return QueuePut(GetQueue(QueueId::Free), node);
}

void RemoveRequestNodes(uint32_t requestId, SectionQueue* queue) {
    if (queue == nullptr) return;
    {
        ModuleLockGuard hold;
        if (queue->head.next != nullptr) {
            NodeLinks* link = queue->head.next;
            while (link != &queue->head) {
                NodeLinks* next = link->next;
                auto* node = static_cast<SectionNode*>(link);
                if (node->requestId == requestId) {
                    Unlink(queue, link);
                    ReturnNode(node);
                }
                link = next;
            }
        }
    }
    kr_Print(0x35, "Remove retrieves from queue.");
}

uint16_t QueueCount(const SectionQueue* queue) {
    if (queue == nullptr) return 0;
    ModuleLockGuard hold;
    return queue->count;
}

}  // namespace kr
