#include "intake/request_table.h"

#include <array>
#include <atomic>
#include <cstring>

#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/catch_up.h"
#include "intake/shared_filter.h"

namespace kr {
namespace {

RequestTable* table = nullptr;

// Ids never repeat within a process, also across restarts of the module.
uint32_t lastRequestId = 0;

// The id of each active entry, 0 for the others: what workers check a node against without a
// lock. Ids are unique, so a node can never pass for a later request of the same entry. Read for
// every section, written only when a request starts or stops: on lines of their own.
OwnCacheLine<std::array<std::atomic<uint32_t>, kRequestCount>> liveIdLines;
std::array<std::atomic<uint32_t>, kRequestCount>& liveIds = liveIdLines.value;

bool InUse(const RequestEntry& entry) {
    return entry.state < kRequestReserved;
}

bool TableMissing() {
    if (table != nullptr) return false;
    kr_Print(0x32, "The requests are not initialized.");
    return true;
}

enum class StopKey { Type, Pid, Owner, Id };

bool Matches(const RequestEntry& entry, StopKey key, uint32_t value) {
    switch (key) {
        case StopKey::Type:
            return entry.type == value;
        case StopKey::Pid:
            // A stop by PID ends the module's own table filters on it. Consumers of datagrams on
            // that PID, and the shared filters that carry them, belong to their own starts and
            // stop with them: a stop that freed them here would neither wait for their content
            // calls nor tell their owners.
            return entry.pid == value && entry.viaSharedFilter == 0 &&
                   entry.type != kTypeSharedFilter;
        case StopKey::Owner:
            return entry.ownerId == value;
        case StopKey::Id:
            return entry.requestId == value;
    }
    return false;
}

void SetStateLocked(RequestEntry& entry, uint8_t state) {
    entry.state = state;
    liveIds[RequestIndex(&entry)].store(state == kRequestActive ? entry.requestId : 0,
                                        std::memory_order_seq_cst);
}

// The caller holds the module lock and has checked that the table exists. The entry is freed,
// and its waiting sections dropped, before the host's filter is stopped: a section that arrives
// meanwhile finds no request and is refused instead of being delivered late.
void StopMatching(StopKey key, uint32_t value, StoppedRequests* stopped) {
    for (RequestEntry& entry : table->entries) {
        if (!InUse(entry) || !Matches(entry, key, value)) continue;
        const uint32_t id = entry.requestId;
        const bool shared = entry.viaSharedFilter != 0;
        SectionQueue* const queue = entry.queue;
        {
            ShortLockGuard hold(IntakeLock());
            SetStateLocked(entry, kRequestFree);
            RemoveRequestNodesLocked(id, queue);
        }
        NoteNodesReturned();
        if (shared) {
            DetachIpFilter(id);
        } else if (Host().StopSectionFilter != nullptr) {
            Host().StopSectionFilter(id);
        }
        kr_Print(0x33, "Stop retrieve, request id: %d.", static_cast<int>(id));
        if (queue != nullptr) kr_Print(0x35, "Remove retrieves from queue.");
        if (stopped != nullptr && stopped->count < kRequestCount)
            stopped->ids[stopped->count++] = id;
    }
}

}  // namespace

uint8_t RequestIndex(const RequestEntry* entry) {
    return static_cast<uint8_t>(entry - table->entries);
}

bool RequestLive(uint8_t entryIndex, uint32_t requestId) {
    return entryIndex < kRequestCount &&
           liveIds[entryIndex].load(std::memory_order_seq_cst) == requestId;
}

int32_t RequestTableInit() {
    ModuleLockGuard hold;
    auto* fresh = static_cast<RequestTable*>(AllocMem(sizeof(RequestTable)));
    if (fresh == nullptr) return -1;
    std::memset(fresh, 0, sizeof(RequestTable));
    for (RequestEntry& entry : fresh->entries)
        entry.state = kRequestFree;
    ShortLockGuard intake(IntakeLock());
    for (std::atomic<uint32_t>& id : liveIds)
        id.store(0);
    table = fresh;
    return 0;
}

void RequestTableFinish() {
    ModuleLockGuard hold;
    RequestTable* old = nullptr;
    {
        ShortLockGuard intake(IntakeLock());
        old = table;
        table = nullptr;
        for (std::atomic<uint32_t>& id : liveIds)
            id.store(0);
    }
    FreeMem(old);
}

int32_t AllotRequest(RequestEntry** out) {
    ModuleLockGuard hold;
    if (out == nullptr || table == nullptr) {
        kr_Print(0x33, "Request not init.");
        return -2;
    }
    RequestEntry* chosen = nullptr;
    {
        ShortLockGuard intake(IntakeLock());
        for (RequestEntry& entry : table->entries) {
            if (entry.state != kRequestFree) continue;
            std::memset(&entry, 0, sizeof entry);
            entry.state = kRequestReserved;
            entry.requestId = ++lastRequestId;
            chosen = &entry;
            break;
        }
    }
    if (chosen == nullptr) return -7;
    if (chosen->requestId == 0) kr_Print(0x32, "No request id exists!");
    *out = chosen;
    return 0;
}

void SetRequestState(RequestEntry* entry, uint8_t state) {
    if (entry == nullptr) return;
    ShortLockGuard hold(IntakeLock());
    SetStateLocked(*entry, state);
}

void QueueForType(uint8_t type, SectionQueue** out) {
    if (out == nullptr) return;
    switch (type) {
        case kTypeSysinfo:
        case kTypeEpgDownload:
            *out = GetQueue(QueueId::Sys);
            break;
        case kTypeResource:
        case kTypeVideo:
        case kTypeAudio:
            *out = GetQueue(QueueId::Stream);
            break;
        case kTypeCa:
        case kTypeEmm:
        case kTypeServiceMap:
        case kTypeBroadcastData:
            *out = GetQueue(QueueId::Ca);
            break;
        case kTypeEcm:
            *out = GetQueue(QueueId::Ecm);
            break;
        default:
            *out = nullptr;  // shared filters and unknown types have no queue
            break;
    }
}

RequestEntry* FindRequestLocked(uint32_t requestId) {
    if (table == nullptr) return nullptr;
    for (RequestEntry& entry : table->entries) {
        if (InUse(entry) && entry.requestId == requestId) return &entry;
    }
    return nullptr;
}

int32_t FindRequest(uint32_t requestId, RequestEntry** out) {
    if (out == nullptr) return -2;
    bool missing = false;
    {
        ShortLockGuard hold(IntakeLock());
        missing = table == nullptr;
        *out = FindRequestLocked(requestId);
    }
    if (missing) kr_Print(0x32, "The requests are not initialized.");
    return *out != nullptr ? 0 : -1;
}

int32_t IsOwnerActive(uint32_t ownerId) {
    ShortLockGuard hold(IntakeLock());
    if (table == nullptr) return KR_NO;
    for (const RequestEntry& entry : table->entries) {
        if (InUse(entry) && entry.ownerId == ownerId) return KR_YES;
    }
    return KR_NO;
}

void AbandonRequest(RequestEntry* entry) {
    if (entry == nullptr) return;
    {
        ShortLockGuard hold(IntakeLock());
        SetStateLocked(*entry, kRequestFree);
        RemoveRequestNodesLocked(entry->requestId, entry->queue);
    }
    NoteNodesReturned();
}

int32_t RunHostFilter(RequestEntry* entry, const SectionFilterParams& params) {
    if (entry == nullptr) return -1;
    const KrSetSectionFilterFn setFilter = Host().SetSectionFilter;
    if (setFilter == nullptr) {
        SetRequestState(entry, kRequestFree);
        return -1;
    }
    // A hardware filter may deliver before the call returns, on the host's delivery thread.
    SetRequestState(entry, kRequestActive);
    if (setFilter(entry->requestId, params) == 0) return 0;
    AbandonRequest(entry);
    return -1;
}

int32_t StartTypedRequest(uint8_t type, uint16_t pid, uint8_t tableId) {
    ModuleLockGuard hold;
    RequestEntry* entry = nullptr;
    if (AllotRequest(&entry) != 0) return -1;
    entry->type = type;
    QueueForType(type, &entry->queue);
    entry->pid = pid;

    SectionFilterParams params{};
    params.pid = pid;
    params.match[0] = tableId;
    params.mask[0] = 0xFF;
    kr_Print(0x73, "Request ID : %2d", static_cast<int>(entry->requestId));
    kr_Print(0x73, "Filter PID : 0x%2X, Table ID: 0x%2.2X", pid, tableId);

    if (RunHostFilter(entry, params) == 0) return 0;
    kr_Print(0x71, "Set filter failed!");
    return -1;
}

void StopRequestsByType(uint8_t type, StoppedRequests* stopped) {
    ModuleLockGuard hold;
    if (TableMissing()) return;
    kr_Print(0x32, "Stop retrieves by type %d.", type);
    StopMatching(StopKey::Type, type, stopped);
}

void StopRequestsByPid(uint16_t pid, StoppedRequests* stopped) {
    ModuleLockGuard hold;
    if (TableMissing()) return;
    kr_Print(0x32, "Stop retrieves by pid 0x%2.2X.", pid);
    StopMatching(StopKey::Pid, pid, stopped);
}

void StopRequestsByOwner(uint32_t ownerId, StoppedRequests* stopped) {
    // Requests without an owner carry 0: they are never stopped this way.
    if (ownerId == 0) return;
    ModuleLockGuard hold;
    if (TableMissing()) return;
    kr_Print(0x32, "Stop retrieves by id %d.", static_cast<int>(ownerId));
    StopMatching(StopKey::Owner, ownerId, stopped);
}

void StopRequestById(uint32_t requestId) {
    ModuleLockGuard hold;
    if (table == nullptr) return;
    StopMatching(StopKey::Id, requestId, nullptr);
}

int32_t RequestsInUse() {
    ShortLockGuard hold(IntakeLock());
    if (table == nullptr) return 0;
    int32_t count = 0;
    for (const RequestEntry& entry : table->entries)
        count += InUse(entry) ? 1 : 0;
    return count;
}

}  // namespace kr
