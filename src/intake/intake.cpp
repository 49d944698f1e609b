#include "intake/intake.h"

#include <krmodule/krmodule.h>

#include <atomic>
#include <cstring>
#include <iterator>
#include <new>

#include "core/byte_order.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "intake/shared_filter.h"

namespace kr {
namespace {

// Sections are accepted only while set. Written under the module lock; read without it for the
// quick refusal, and again under it before anything is touched.
std::atomic<bool> intakeReady{false};
SectionNode* pool = nullptr;
uint32_t poolNodes = 0;

constexpr QueueId kConsumerQueues[] = {QueueId::Sys, QueueId::Stream, QueueId::Ca, QueueId::Ecm};
constexpr WorkQueue kConsumerWorkers[] = {WorkQueue::Sys, WorkQueue::Stream, WorkQueue::Ca,
                                          WorkQueue::Ecm};

void ReleaseMemory() {
    FreeMem(pool);
    pool = nullptr;
    poolNodes = 0;
    RequestTableFinish();
}

// Copies a section into a free node and queues it for the request's worker. Runs under the
// module lock, so a request stopped meanwhile can never leave a node behind on its queue.
int32_t QueueSection(const RequestEntry& request, const uint8_t* section, int32_t length) {
    SectionNode* node = nullptr;
    if (TakeFreeNode(&node) != 0 || node == nullptr) {
        kr_Print(0x34, "The buffer is full.");
        kr_Print(0x34, "SYS: %d, STRM: %d, CA: %d, ECM: %d", QueueCount(GetQueue(QueueId::Sys)),
                 QueueCount(GetQueue(QueueId::Stream)), QueueCount(GetQueue(QueueId::Ca)),
                 QueueCount(GetQueue(QueueId::Ecm)));
        return -4;
    }
    node->type = request.type;
    node->requestId = request.requestId;
    node->ownerId = request.ownerId;
    node->ipAddress = request.ipAddress;
    node->udpPort = request.udpPort;
    node->scrambled = request.scrambled;
    node->dataProcess = request.dataProcess;
    node->deliveryMode = request.deliveryMode;
    const int32_t held = length < kNodeDataSize ? length : kNodeDataSize;
    node->length = static_cast<uint16_t>(held);
    std::memcpy(node->data, section, static_cast<std::size_t>(held));

    const int32_t sectionLength = (ReadBe16(section, 1) & 0x0FFF) + 3;
    if (sectionLength != length) {
        kr_Print(0x33, "request id : %d, receive length error: %d\tsection length: %d",
                 static_cast<int>(request.requestId), length, sectionLength);
    }
    const int32_t result = QueuePut(request.queue, node);
    // A request without a consumer queue would strand the node: it goes back to the pool.
    if (result != 0) ReturnNode(node);
    return result;
}

}  // namespace

int32_t IntakeInit(uint32_t nodeCount) {
    kr_Print(0x31, "Retrieve init start");
    ModuleLockGuard hold;
    if (RequestTableInit() != 0) {
        kr_Print(0x31, "Malloc request memory faild!");
        return -1;
    }
    QueueInit(GetQueue(QueueId::Free));
    for (std::size_t i = 0; i < std::size(kConsumerQueues); ++i) {
        SectionQueue* queue = GetQueue(kConsumerQueues[i]);
        QueueInit(queue);
        queue->wakesWorker = true;
        queue->worker = kConsumerWorkers[i];
    }
    kr_Print(0x32, "Malloc buffer size : %d KB!", static_cast<int>(nodeCount * 3 / 2));
    if (nodeCount > 0) {
        pool = static_cast<SectionNode*>(AllocMem(sizeof(SectionNode) * nodeCount));
        if (pool == nullptr) {
            kr_Print(0x31, "Malloc retrieve memory faild!");
            // Nothing of a failed start stays allocated.
            ReleaseMemory();
            return -1;
        }
    }
    poolNodes = nodeCount;
    for (uint32_t i = 0; i < nodeCount; ++i) {
        new (&pool[i]) SectionNode{};
        ReturnNode(&pool[i]);
    }
    SharedFiltersStart();
    intakeReady.store(true);
    kr_Print(0x31, "Retrieve init end");
    return 0;
}

int32_t IntakeFinish() {
    kr_Print(0x31, "Retrieve finish start");
    {
        // Refuse sections first: a delivery thread still running sees either a complete intake
        // or none, never one being released.
        ModuleLockGuard hold;
        intakeReady.store(false);
        SharedFiltersFinish();
        FreeMem(pool);
        pool = nullptr;
        poolNodes = 0;
        CloseLock(&GetQueue(QueueId::Free)->lock);
        for (QueueId id : kConsumerQueues)
            CloseLock(&GetQueue(id)->lock);
        for (QueueId id :
             {QueueId::Free, QueueId::Sys, QueueId::Stream, QueueId::Ca, QueueId::Ecm}) {
            *GetQueue(id) = SectionQueue{};
        }
        RequestTableFinish();
    }
    kr_Print(0x31, "Retrieve finish end");
    return 0;
}

uint32_t IntakeNodeCount() {
    return poolNodes;
}

uint32_t FreeNodeCount() {
    return QueueCount(GetQueue(QueueId::Free));
}

}  // namespace kr

int32_t kr_T2K_SendRetrieved(int32_t requestId, int32_t status, const uint8_t* section,
                             int32_t length) {
    using namespace kr;
    kr_Print(0x15, "Request %d data enter SendRetrieved, length: %d.", requestId, length);
    if (!intakeReady.load()) {
        kr_Print(0x12, "The KRDB module retrieve hasn't been initialized!");
        return 1;
    }
    if ((status & 0xFF) == 1) {
        kr_Print(0x33, "Receive data timeout!");
        return 1;
    }
    // A null section, or a length no section can have, is refused before anything is copied.
    if (length <= 16 || length > kMaxSectionLength || section == nullptr) {
        kr_Print(0x33, "Send section length error: %d !", length);
        return -1;
    }
    ModuleLockGuard hold;
    if (!intakeReady.load()) {
        kr_Print(0x12, "The KRDB module retrieve hasn't been initialized!");
        return 1;
    }
    RequestEntry* request = nullptr;
    if (FindRequest(static_cast<uint32_t>(requestId), &request) != 0) {
        kr_Print(0x33, "Can't find the request %d.", requestId);
        return -1;
    }
    if (request->type == kTypeSharedFilter) {
        return DispatchSharedSection(static_cast<uint32_t>(requestId),
                                     static_cast<uint8_t>(status & 0xFF), section, length);
    }
    return QueueSection(*request, section, length);
}
