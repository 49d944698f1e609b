#include "intake/request_table.h"

#include <cstring>

#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/shared_filter.h"

namespace kr {
namespace {

RequestTable* table = nullptr;

// Ids never repeat within a process, also across restarts of the module.
uint32_t lastRequestId = 0;

bool InUse(const RequestEntry& entry) {
    return entry.state < kRequestReserved;
}

bool TableMissing() {
    if (table != nullptr) return false;
    kr_Print(0x32, "The requests are not initialized.");
    return true;
}

enum class StopKey { Type, Pid, Owner };

bool Matches(const RequestEntry& entry, StopKey key, uint32_t value) {
    switch (key) {
        case StopKey::Type:
            return entry.type == value;
        case StopKey::Pid:
            return entry.pid == value;
        case StopKey::Owner:
            return entry.ownerId == value;
    }
    return false;
}

// The caller holds the module lock and has checked that the table exists.
void StopMatching(StopKey key, uint32_t value) {
    for (RequestEntry& entry : table->entries) {
        if (!InUse(entry) || !Matches(entry, key, value)) continue;
        if (entry.viaSharedFilter != 0) {
            DetachIpFilter(entry.requestId);
        } else if (Host().StopSectionFilter != nullptr) {
            Host().StopSectionFilter(entry.requestId);
        }
        kr_Print(0x33, "Stop retrieve, request id: %d.", static_cast<int>(entry.requestId));
        if (entry.queue != nullptr) RemoveRequestNodes(entry.requestId, entry.queue);
        entry.state = kRequestFree;
    }
}

}  // namespace

int32_t RequestTableInit() {
    ModuleLockGuard hold;
    auto* fresh = static_cast<RequestTable*>(AllocMem(sizeof(RequestTable)));
    if (fresh == nullptr) return -1;
    std::memset(fresh, 0, sizeof(RequestTable));
    for (RequestEntry& entry : fresh->entries)
        entry.state = kRequestFree;
    table = fresh;
    return 0;
}

void RequestTableFinish() {
    ModuleLockGuard hold;
    FreeMem(table);
    table = nullptr;
}

int32_t AllotRequest(RequestEntry** out) {
    ModuleLockGuard hold;
    if (out == nullptr || table == nullptr) {
        kr_Print(0x33, "Request not init.");
        return -2;
    }
    for (RequestEntry& entry : table->entries) {
        if (entry.state != kRequestFree) continue;
        std::memset(&entry, 0, sizeof entry);
        entry.state = kRequestReserved;
        entry.requestId = ++lastRequestId;
        if (entry.requestId == 0) kr_Print(0x32, "No request id exists!");
        *out = &entry;
        return 0;
    }
    return -7;
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

int32_t FindRequest(uint32_t requestId, RequestEntry** out) {
    if (out == nullptr) return -2;
    ModuleLockGuard hold;
    if (TableMissing()) return -1;
    for (RequestEntry& entry : table->entries) {
        if (InUse(entry) && entry.requestId == requestId) {
            *out = &entry;
            return 0;
        }
    }
    return -1;
}

int32_t IsOwnerActive(uint32_t ownerId) {
    ModuleLockGuard hold;
    if (table == nullptr) return KR_NO;
    for (const RequestEntry& entry : table->entries) {
        if (InUse(entry) && entry.ownerId == ownerId) return KR_YES;
    }
    return KR_NO;
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

    const KrSetSectionFilterFn setFilter = Host().SetSectionFilter;
    if (setFilter != nullptr && setFilter(entry->requestId, params) == 0) {
        entry->state = kRequestActive;
        return 0;
    }
    kr_Print(0x71, "Set filter failed!");
    entry->state = kRequestFree;
    return -1;
}

void StopRequestsByType(uint8_t type) {
    ModuleLockGuard hold;
    if (TableMissing()) return;
    kr_Print(0x32, "Stop retrieves by type %d.", type);
    StopMatching(StopKey::Type, type);
}

void StopRequestsByPid(uint16_t pid) {
    ModuleLockGuard hold;
    if (TableMissing()) return;
    kr_Print(0x32, "Stop retrieves by pid 0x%2.2X.", pid);
    StopMatching(StopKey::Pid, pid);
}

void StopRequestsByOwner(uint32_t ownerId) {
    // Requests without an owner carry 0: they are never stopped this way.
    if (ownerId == 0) return;
    ModuleLockGuard hold;
    if (TableMissing()) return;
    kr_Print(0x32, "Stop retrieves by id %d.", static_cast<int>(ownerId));
    StopMatching(StopKey::Owner, ownerId);
}

int32_t RequestsInUse() {
    ModuleLockGuard hold;
    if (table == nullptr) return 0;
    int32_t count = 0;
    for (const RequestEntry& entry : table->entries)
        count += InUse(entry) ? 1 : 0;
    return count;
}

}  // namespace kr
