#include "sysinfo/sysinfo.h"

#include <atomic>

#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "intake/worker_loop.h"

namespace kr {
namespace {

constexpr uint32_t kIdleMs = 300;
// Empty polls after which system information counts as absent.
constexpr int kMissesUntilAbsent = 4;

std::atomic<bool> sysinfoPresent{false};
std::atomic<bool> downloading{false};
std::atomic<uint32_t> receivedBlocks{0};
std::atomic<uint32_t> totalBlocks{0};

}  // namespace

int32_t SysinfoInit() {
    sysinfoPresent.store(false);
    downloading.store(false);
    receivedBlocks.store(0);
    totalBlocks.store(0);
    // The EPG database starts here, and with it the live EPG kept in the store.
    (void)kr_EpgInit();
    return 0;
}

int32_t SysinfoFinish() {
    kr_EpgFinish();
    return 0;
}

SysinfoStatus ReadSysinfoStatus() {
    SysinfoStatus status;
    status.present = sysinfoPresent.load();
    status.downloading = downloading.load();
    status.receivedBlocks = receivedBlocks.load();
    status.totalBlocks = totalBlocks.load();
    return status;
}

uint32_t SysinfoWorker(void* /*argument*/) {
    kr_Print(0x21, "start the system info thread");
    WorkerReady();
    int misses = 0;
    RunWorkerLoop(
        QueueId::Sys, kIdleMs,
        [&](SectionNode&) {
            misses = 0;
            sysinfoPresent.store(true);
        },
        [] { kr_Print(0x25, "No retrieve in sysinfo queue."); },
        [&] {
            // Four empty rounds in a row: system information is absent.
            if (++misses == kMissesUntilAbsent) {
                misses = 0;
                sysinfoPresent.store(false);
            }
        });
    kr_Print(0x21, "stop the system info thread");
    return 0;
}

}  // namespace kr
