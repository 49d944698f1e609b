#include "ca/ecm_worker.h"

#include "core/log.h"
#include "core/platform.h"
#include "intake/section_queue.h"

namespace kr {
namespace {
constexpr uint32_t kIdleMs = 100;
}

uint32_t kr_EcmThread(void* /*argument*/) {
    kr_Print(0x21, "start the ecm thread");
    WorkerReady();
    SectionQueue* queue = GetQueue(QueueId::Ecm);
    while (!IsStopping()) {
        SectionNode* node = nullptr;
        if (QueueTake(queue, &node) == 0 && node != nullptr) {
            ReturnNode(node);
            continue;
        }
        kr_Print(0x75, "No retrieve in CA queue.");
        WaitForWork(WorkQueue::Ecm, kIdleMs);
    }
    kr_Print(0x21, "stop the ECM thread");
    return 0;
}

}  // namespace kr
