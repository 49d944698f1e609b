// Start-up and shut-down of the module, and the version and status exports.
#include <krmodule/krmodule.h>

#include <atomic>

#include "ca/ca_core.h"
#include "ca/ecm_worker.h"
#include "core/counters.h"
#include "core/host.h"
#include "core/log.h"
#include "core/module_state.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "intake/catch_up.h"
#include "intake/intake.h"
#include "playback/stream_worker.h"
#include "store/store.h"
#include "sysinfo/sysinfo.h"

namespace kr {
namespace {

std::atomic<bool> initialised{false};

// True from a start-up that got past section intake until the shut-down that undoes it.
// Only the host's calling thread reads and writes it.
bool running = false;

// Workers have normally announced themselves within milliseconds; the bound only keeps a
// starved machine from holding start-up for good.
constexpr uint32_t kWorkerStartTimeoutMs = 2000;

struct WorkerStart {
    WorkerRoutine routine;
    const char* failure;
};

// Start order of the four workers.
constexpr WorkerStart kWorkers[] = {
    {SysinfoWorker, "Start process sysinfo thread faild"},
    {StreamWorker, "Start process stream thread faild"},
    {kr_CaThread, "Start process CA thread faild"},
    {kr_EcmThread, "Start process ECM thread faild"},
};

void ShutDown() {
    initialised.store(false);
    // Every worker leaves its loop and is joined before anything it uses is released.
    SetStopping(true);
    WakeAllWorkers();
    CatchUpStop();
    JoinWorkers();

    // Shut-down order: stream side, system information, CA client, store copy, intake.
    StreamFinish();
    SysinfoFinish();
    kr_CaStop();
    kr_StoreFinish();
    IntakeFinish();
    running = false;
}

}  // namespace

bool IsInitialised() {
    return initialised.load();
}

}  // namespace kr

using namespace kr;

int32_t kr_T2K_Init(const InitRecord* record) {
    // A worker cannot restart the module it runs in: the restart would join the worker itself.
    if (OnWorkerThread()) {
        kr_Print(0x01, "kr_T2K_Init::Can't be called from a module thread!");
        return KR_FAILED;
    }
    const uint32_t requested = record != nullptr ? record->sectionBufferCount : 0;
    const uint32_t nodeCount = requested > kMaxSectionBuffers ? kMaxSectionBuffers : requested;

    kr_T2K_SetDebugFlag(3, 1);
    if (record == nullptr) return KR_NULL_ARG;

    // A start-up over a running module first shuts the running one down, so that its workers
    // and memory are not left behind.
    if (running) ShutDown();
    ResetCounters();

    SetHostCallbacks(record->callbacks);
    // A null slot leaves no notifier, not the one of an earlier run (whose host may be gone).
    if (record->callbacks.EpgUpdateNotify == nullptr) {
        SetEpgUpdateNotify(nullptr);
    } else {
        (void)kr_T2K_RegisterEpgUpdateNotify(record->callbacks.EpgUpdateNotify);
    }
    kr_Print(0x11, "krdb module %d.%d.%d.%d init", kVersion[0], kVersion[1], kVersion[2],
             kVersion[3]);
    SetStopping(false);
    CatchUpStart();

    // Start-up order: intake (with the request and shared-filter tables), store, stream side,
    // system information (with the EPG database), CA client.
    if (IntakeInit(nodeCount) != 0) return KR_NO_MEMORY;
    running = true;
    (void)kr_StoreInit();
    (void)StreamInit();
    (void)SysinfoInit();
    (void)kr_CaStart();

    for (const WorkerStart& worker : kWorkers) {
        WorkerHandle handle;
        if (CreateWorker(&handle, 0, worker.routine, nullptr) != 0) {
            kr_Print(0x11, "%s", worker.failure);
        }
    }
    // Lets every worker announce itself while start-up diagnostics are still on.
    (void)WaitWorkersReady(kWorkerStartTimeoutMs);

    initialised.store(true);
    kr_Print(0x11, "end krdb module init");
    kr_T2K_SetDebugFlag(0, 0);
    return KR_OK;
}

int32_t kr_T2K_Finish(void) {
    // Called from a host function on a worker, the shut-down would wait for that worker itself.
    if (OnWorkerThread()) {
        kr_Print(0x01, "kr_T2K_Finish::Can't be called from a module thread!");
        return KR_FAILED;
    }
    kr_Print(0x11, "start krdb module finish");
    ShutDown();
    kr_Print(0x11, "end krdb module finish");
    return KR_OK;
}

int32_t kr_T2K_GetVersion(uint8_t version[4]) {
    if (version == nullptr) return KR_NULL_ARG;
    for (int i = 0; i < 4; ++i)
        version[i] = kVersion[i];
    return KR_OK;
}

int32_t kr_T2K_GetKrdbStatus(uint8_t status[3]) {
    if (status == nullptr) return KR_NULL_ARG;
    const SysinfoStatus now = ReadSysinfoStatus();
    status[0] = now.present ? 1 : 0;
    status[1] = now.downloading ? 1 : 0;
    if (now.downloading) {
        // Nothing is known of the file before its first block: report 0 %. Blocks stored under
        // a larger total announced earlier can outnumber a later total: never above 100 %.
        const uint64_t percent =
            now.totalBlocks == 0 ? 0 : uint64_t{now.receivedBlocks} * 100 / now.totalBlocks;
        status[2] = static_cast<uint8_t>(percent > 100 ? 100 : percent);
    }
    return KR_OK;
}
