#include "ca/ca_core.h"

#include "core/log.h"
#include "core/platform.h"
#include "intake/worker_loop.h"

namespace kr {
namespace {
constexpr uint32_t kIdleMs = 100;
}

int32_t kr_CaStart() {
    return 0;
}

int32_t kr_CaStop() {
    return 0;
}

uint32_t kr_CaThread(void* /*argument*/) {
    kr_Print(0x21, "start the ca thread");
    WorkerReady();
    RunWorkerLoop(
        QueueId::Ca, kIdleMs, [](SectionNode&) {},
        [&] { kr_Print(0x75, "No retrieve in CA queue."); });
    kr_Print(0x21, "stop the CA thread");
    return 0;
}

}  // namespace kr
