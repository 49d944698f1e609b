#include "intake/shared_filter.h"

#include <array>
#include <cstring>

#include "core/byte_order.h"
#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"

namespace kr {
namespace {

std::array<SharedFilter, kSharedFilterCount> filters;
LockHandle filterLock;

// The host matches bytes 0..15; the module the rest.
constexpr int kHostMatchBytes = 16;

bool SameHostFilter(const SharedFilter& filter, const IpFilterRequest& request) {
    return filter.params.pid == request.pid &&
           std::memcmp(filter.params.match, request.match, kHostMatchBytes) == 0 &&
           std::memcmp(filter.params.mask, request.mask, kHostMatchBytes) == 0;
}

// Bytes the section does not have never match a mask bit (the filters built here have mask 0
// beyond byte 35, so a short section can still match them).
// Every section of a shared filter's PID passes here under the intake lock: the bytes the section
// has are compared eight at a time.
bool SlotMatches(const IpFilterRequest& slot, const uint8_t* section, int32_t length) {
    const int end = length < kIpFilterBytes ? static_cast<int>(length) : kIpFilterBytes;
    for (int i = end > kHostMatchBytes ? end : kHostMatchBytes; i < kIpFilterBytes; ++i) {
        if (slot.mask[i] != 0) return false;
    }
    int i = kHostMatchBytes;
    for (; i + 8 <= end; i += 8) {
        uint64_t mask;
        uint64_t match;
        uint64_t got;
        std::memcpy(&mask, slot.mask + i, 8);
        std::memcpy(&match, slot.match + i, 8);
        std::memcpy(&got, section + i, 8);
        if (((match ^ got) & mask) != 0) return false;
    }
    for (; i < end; ++i) {
        if (((slot.match[i] ^ section[i]) & slot.mask[i]) != 0) return false;
    }
    return true;
}

}  // namespace

void SharedFiltersStart() {
    ModuleLockGuard hold;
    {
        ShortLockGuard intake(IntakeLock());
        std::memset(filters.data(), 0, sizeof filters);
    }
    if (CreateLock(&filterLock, 0) != 0) kr_Print(0x31, "Mutex init faild!");
}

void SharedFiltersFinish() {
    ModuleLockGuard hold;
    CloseLock(&filterLock);
    ShortLockGuard intake(IntakeLock());
    std::memset(filters.data(), 0, sizeof filters);
}

void BuildIpUdpFilter(uint8_t match[kIpFilterBytes], uint8_t mask[kIpFilterBytes],
                      uint32_t ipAddress, uint16_t udpPort) {
    kr_Print(0x13, "set filter address: 0x%6X : %4d ", ipAddress, udpPort);
    if (match == nullptr || mask == nullptr) return;
    std::memset(match, 0, kIpFilterBytes);
    std::memset(mask, 0, kIpFilterBytes);
    match[0] = 0x3E;  // datagram section
    mask[0] = 0xFF;
    mask[5] = 0x02;    // LLC/SNAP flag 0
    match[12] = 0x45;  // IPv4 with a 20-byte header
    mask[12] = 0xFF;
    mask[18] = 0xFF;  // no fragmentation
    mask[19] = 0xFF;
    match[21] = 0x11;  // UDP
    mask[21] = 0xFF;
    WriteBe32(match, 28, ipAddress);
    std::memset(mask + 28, 0xFF, 4);
    WriteBe16(match, 34, udpPort);
    mask[34] = 0xFF;
    mask[35] = 0xFF;
}

// The table changes under the module lock (every attach and detach is one after the other) and
// each write the delivery thread could see under the intake lock; the host's filter is started
// with neither the intake lock nor anything but the module lock held.
int32_t AttachIpFilter(const IpFilterRequest* request) {
    if (request == nullptr) return -1;
    ModuleLockGuard hold;

    for (SharedFilter& filter : filters) {
        if (filter.state != 1 || !SameHostFilter(filter, *request)) continue;
        for (IpFilterRequest& slot : filter.slots) {
            if (slot.state != 0) continue;
            ShortLockGuard intake(IntakeLock());
            slot = *request;
            slot.state = 1;
            return 0;
        }
        // All eight destinations of the matching host filter are taken: refused, nothing
        // changes.
        kr_Print(0x71, "Set KRDB filter failed!");
        return -1;
    }

    kr_Print(0x32, "Set krdb filter.");
    SharedFilter* filter = nullptr;
    for (SharedFilter& candidate : filters) {
        if (candidate.state == 0) {
            filter = &candidate;
            break;
        }
    }
    if (filter == nullptr) return -1;
    RequestEntry* entry = nullptr;
    if (AllotRequest(&entry) != 0) return -1;
    entry->type = kTypeSharedFilter;
    entry->pid = request->pid;
    {
        // Still free for the delivery thread until its host filter runs.
        ShortLockGuard intake(IntakeLock());
        std::memset(filter, 0, sizeof *filter);
        filter->slots[0] = *request;
        filter->slots[0].state = 0;
        filter->params.pid = request->pid;
        std::memcpy(filter->params.match, request->match, kHostMatchBytes);
        std::memcpy(filter->params.mask, request->mask, kHostMatchBytes);
    }

    kr_Print(0x33, "Request ID : %ld", static_cast<long>(entry->requestId));
    kr_Print(0x33, "Filter PID : 0x%2X", request->pid);

    // The filter and its first destination take sections from before the host is asked: a
    // hardware filter may deliver before SetSectionFilter returns.
    {
        ShortLockGuard intake(IntakeLock());
        filter->hostRequestId = entry->requestId;
        filter->state = 1;
        filter->slots[0].state = 1;
    }
    if (RunHostFilter(entry, filter->params) == 0) return 0;
    {
        ShortLockGuard intake(IntakeLock());
        filter->slots[0].state = 0;
        filter->state = 0;
    }
    kr_Print(0x71, "Set KRDB filter failed!");
    return -1;
}

int32_t AttachConsumer(RequestEntry* entry, const IpFilterRequest& filter) {
    if (entry == nullptr) return -1;
    ModuleLockGuard hold;
    // Live before its destination is, so that no section the filter passes finds it reserved.
    SetRequestState(entry, kRequestActive);
    if (AttachIpFilter(&filter) == 0) return 0;
    AbandonRequest(entry);
    return -1;
}

int32_t DetachIpFilter(uint32_t requestId) {
    ModuleLockGuard hold;
    for (SharedFilter& filter : filters) {
        if (filter.state != 1) continue;
        for (IpFilterRequest& slot : filter.slots) {
            if (slot.state != 1 || slot.requestId != requestId) continue;
            bool last = true;
            {
                ShortLockGuard intake(IntakeLock());
                slot.state = 0;
                for (const IpFilterRequest& other : filter.slots) {
                    if (other.state == 1) last = false;
                }
                if (last) filter.state = 0;
            }
            if (!last) return 0;
            // The last destination is gone: the host filter stops with its own request, and
            // only with it (other requests on the same PID keep running).
            kr_Print(0x32, "Stop retrieves by pid 0x%2.2X.", filter.params.pid);
            StopRequestById(filter.hostRequestId);
            return 0;
        }
    }
    return -1;
}

SharedMatch MatchSharedSectionLocked(uint32_t hostRequestId, const uint8_t* section,
                                     int32_t length) {
    SharedMatch match;
    if (section == nullptr || length <= 0) return match;
    const SharedFilter* owner = nullptr;
    for (const SharedFilter& filter : filters) {
        if (filter.state == 1 && filter.hostRequestId == hostRequestId) {
            owner = &filter;
            break;
        }
    }
    if (owner == nullptr) {
        match.result = 128;
        return match;
    }
    for (const IpFilterRequest& slot : owner->slots) {
        if (slot.state == 1 && SlotMatches(slot, section, length)) {
            match.consumer = slot.requestId;
            match.matched = true;
            return match;
        }
    }
    return match;
}

int32_t DispatchSharedSection(uint32_t hostRequestId, uint8_t status, const uint8_t* section,
                              int32_t length) {
    SharedMatch match;
    {
        ShortLockGuard hold(IntakeLock());
        match = MatchSharedSectionLocked(hostRequestId, section, length);
    }
    if (!match.matched) return match.result;
    return kr_T2K_SendRetrieved(static_cast<int32_t>(match.consumer), status, section, length);
}

int32_t SharedFiltersActive() {
    ShortLockGuard hold(IntakeLock());
    int32_t count = 0;
    for (const SharedFilter& filter : filters)
        count += filter.state == 1 ? 1 : 0;
    return count;
}

}  // namespace kr
