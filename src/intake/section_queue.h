// Pooled section nodes and the five queues they move between: the free queue and the four
// consumer queues (system information, stream, CA, ECM), each drained by one worker.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

#include "core/platform.h"

namespace kr {

// Most section bytes a node holds; longer sections are cut.
constexpr uint16_t kNodeDataSize = 1500;

struct NodeLinks {
    NodeLinks* next = nullptr;
    NodeLinks* prev = nullptr;
};

// One received section with what its request knows about the consumer.
struct SectionNode : NodeLinks {
    uint8_t type;
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
    uint16_t count = 0;
    LockHandle lock;
    bool wakesWorker = false;  // a put signals the worker of `worker`
    WorkQueue worker = WorkQueue::Sys;
};

// The queues, which exist from intake start to intake finish.
enum class QueueId : uint8_t { Free, Sys, Stream, Ca, Ecm };
SectionQueue* GetQueue(QueueId id);

int32_t QueueInit(SectionQueue* queue);                     // 0; -2 when null
int32_t QueuePut(SectionQueue* queue, SectionNode* node);   // 0; -2 when either is null
int32_t QueueTake(SectionQueue* queue, SectionNode** out);  // 0; 1 when empty; -2 on null
int32_t TakeFreeNode(SectionNode** out);
int32_t ReturnNode(SectionNode* node);

// Returns every node of the request that waits on the queue to the free queue.
void RemoveRequestNodes(uint32_t requestId, SectionQueue* queue);

// Nodes on a queue now (0 for a null queue).
uint16_t QueueCount(const SectionQueue* queue);

}  // namespace kr
