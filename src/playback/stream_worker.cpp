#include "playback/stream_worker.h"

#include "core/log.h"
#include "core/platform.h"
#include "intake/worker_loop.h"

namespace kr {
namespace {
constexpr uint32_t kIdleMs = 100;
}

int32_t StreamInit() {
    return 0;
}

int32_t StreamFinish() {
    return 0;
}

uint32_t StreamWorker(void* /*argument*/) {
    kr_Print(0x41, "start the stream thread");
    WorkerReady();
    RunWorkerLoop(
        QueueId::Stream, kIdleMs, [](SectionNode&) {},
        [&] { kr_Print(0x45, "No retrieve in stream queue."); });
    kr_Print(0x41, "end the stream thread");
    return 0;
}

}  // namespace kr
