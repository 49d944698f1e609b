#include "sysinfo/sysinfo.h"

#include <cstring>

#include "core/byte_order.h"
#include "core/log.h"
#include "epg/epg_database.h"
#include "intake/request_table.h"
#include "intake/shared_filter.h"
#include "sysinfo/epg_download.h"
#include "sysinfo/sysinfo_state.h"

namespace kr {
namespace {

SysinfoState sysinfoState;

// Section bytes 40..43 (the start of the UDP payload) must be the magic, so the host filter's
// shared datagrams to the system-information destination that carry anything else never queue.
constexpr uint32_t kMagicFilterOffset = 40;

void ClearSysinfoState() {
    sysinfoState.sysinfoPresent.store(0);
    sysinfoState.epgInfo = EpgInfo{};
    sysinfoState.localVersion = 0;
    sysinfoState.downloading.store(0);
    sysinfoState.downloadingVersion = 0;
    sysinfoState.receivedBlocks.store(0);
    sysinfoState.totalBlocks.store(0);
    // A restarted module shows the current message again.
    std::memset(sysinfoState.message, 0, sizeof sysinfoState.message);
    sysinfoState.messageLength = 0;
}

int32_t SetSysinfoFilter() {
    kr_Print(0x12, "Set system info filter");
    ModuleLockGuard hold;  // the entry stays reserved until its filter runs
    RequestEntry* entry = nullptr;
    if (AllotRequest(&entry) != 0) {
        kr_Print(0x11, "Allot request faild!");
        return -1;
    }
    entry->type = kTypeSysinfo;
    QueueForType(kTypeSysinfo, &entry->queue);
    entry->viaSharedFilter = 1;
    entry->pid = kSysinfoPid;
    entry->ipAddress = kSysinfoAddress;
    entry->udpPort = kSysinfoPort;

    IpFilterRequest filter{};
    filter.pid = kSysinfoPid;
    filter.requestId = entry->requestId;
    BuildIpUdpFilter(filter.match, filter.mask, kSysinfoAddress, kSysinfoPort);
    WriteBe32(filter.match, kMagicFilterOffset, 0xBDBD0000);
    WriteBe32(filter.mask, kMagicFilterOffset, 0xFFFFFFFF);
    kr_Print(0x03, "Request ID : %2d", static_cast<int>(entry->requestId));
    if (AttachConsumer(entry, filter) == 0) {
        kr_Print(0x21, "Sysinfo init end");
        return 0;
    }
    kr_Print(0x11, "Set system info filter faild!");
    return -1;
}

}  // namespace

SysinfoState& Sysinfo() {
    return sysinfoState;
}

// The EPG lock is the module lock; it is taken directly rather than through its handle, which
// shut-down closes, possibly while a kr_T2K_ClearEpg holds it: an unlock through a closed handle
// would leave the lock held for good.
EpgLockGuard::EpgLockGuard() = default;
EpgLockGuard::~EpgLockGuard() = default;

int32_t SysinfoInit() {
    kr_Print(0x21, "Sysinfo init start");
    ClearSysinfoState();
    // A start without a finish first gives back the earlier buffer.
    FreeMem(sysinfoState.buffer);
    sysinfoState.buffer = static_cast<EpgDownloadBuffer*>(AllocMem(sizeof(EpgDownloadBuffer)));
    if (sysinfoState.buffer == nullptr) {
        kr_Print(0x22, "Malloc epg memory faild.");
    } else {
        std::memset(sysinfoState.buffer, 0, sizeof(EpgDownloadBuffer));
    }
    if (CreateLock(&sysinfoState.epgLock, 0) != 0) kr_Print(0x22, "EPG mutex init faild.");
    // The EPG database starts here, and with it the live EPG kept in the store.
    (void)kr_EpgInit();
    return SetSysinfoFilter();
}

int32_t SysinfoFinish() {
    kr_Print(0x21, "Sysinfo finish start");
    CloseLock(&sysinfoState.epgLock);
    StopRequestsByType(kTypeEpgDownload);
    StopRequestsByType(kTypeSysinfo);
    FreeMem(sysinfoState.buffer);
    sysinfoState.buffer = nullptr;
    sysinfoState.downloading.store(0);
    sysinfoState.sysinfoPresent.store(0);
    kr_EpgFinish();
    kr_Print(0x21, "Sysinfo finish end");
    return 0;
}

SysinfoStatus ReadSysinfoStatus() {
    SysinfoStatus status;
    status.present = sysinfoState.sysinfoPresent.load() != 0;
    status.downloading = sysinfoState.downloading.load() != 0;
    status.receivedBlocks = sysinfoState.receivedBlocks.load();
    status.totalBlocks = sysinfoState.totalBlocks.load();
    return status;
}

}  // namespace kr
