#include "ca/ecm_worker.h"

#include "core/log.h"
#include "core/platform.h"

namespace kr {
namespace {
constexpr uint32_t kIdleMs = 100;
}

uint32_t kr_EcmThread(void* /*argument*/) {
    kr_Print(0x21, "start the ecm thread");
    WorkerReady();
    while (!IsStopping()) {
        // The control-message queue reports itself under the CA queue's name.
        kr_Print(0x75, "No retrieve in CA queue.");
        WaitForWork(WorkQueue::Ecm, kIdleMs);
    }
    kr_Print(0x21, "stop the ECM thread");
    return 0;
}

}  // namespace kr
