#include "ca/ecm_worker.h"

#include "core/log.h"
#include "core/platform.h"
#include "intake/worker_loop.h"

namespace kr {
namespace {
constexpr uint32_t kIdleMs = 100;
}

uint32_t kr_EcmThread(void* /*argument*/) {
    kr_Print(0x21, "start the ecm thread");
    WorkerReady();
    RunWorkerLoop(
        QueueId::Ecm, kIdleMs, [](SectionNode&) {},
        [&] { kr_Print(0x75, "No retrieve in CA queue."); });
    kr_Print(0x21, "stop the ECM thread");
    return 0;
}

}  // namespace kr
