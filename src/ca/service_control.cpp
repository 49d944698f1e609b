#include "ca/service_control.h"

#include <cstring>

#include "ca/ca_state.h"
#include "ca/card_layer.h"
#include "ca/ecm_worker.h"
#include "ca/host_messages.h"
#include "ca/service_map.h"
#include "core/byte_order.h"
#include "core/log.h"
#include "core/platform.h"
#include "intake/request_table.h"

namespace kr {
namespace {

constexpr uint8_t kEcmTableId = 0x81;
constexpr uint32_t kTypeByEcmPid = 0;
constexpr uint32_t kTypeByAddress = 1;

// The card's entitlements: a count, then records of an id (the service's svid) and a period.
constexpr int kMaxEntitlements = 16;
constexpr int kEntitlementRecordSize = 10;

StartedService started[kStartedServiceCount];

bool IsStarted(const StartedService& s) {
    return s.state == kStartedWaitingForMap || s.state == kStartedFiltered;
}

bool SameService(const StartedService& s, const ServiceRequest& r) {
    if (!IsStarted(s) || s.request.type != r.type || s.request.pid != r.pid) return false;
    if (r.type == kTypeByEcmPid) return true;
    return s.request.ipAddress == r.ipAddress && s.request.udpPort == r.udpPort;
}

StartedService* FindSame(const ServiceRequest& r) {
    for (StartedService& s : started) {
        if (SameService(s, r)) return &s;
    }
    return nullptr;
}

void LogRequest(const char* format, const ServiceRequest& r) {
    kr_Print(0x73, format, r.pid, static_cast<unsigned>(r.ipAddress), r.udpPort);
}

enum class Holder : uint8_t { Host, Module };

// Another started service on this ECM PID whose filter request succeeded brings its ECMs too.
bool EcmFilterRuns(uint16_t ecmPid, const StartedService* except) {
    for (const StartedService& s : started) {
        if (&s != except && s.state == kStartedFiltered && s.ecmPid == ecmPid &&
            s.ecmFilterSet != 0)
            return true;
    }
    return false;
}

StartedService* OtherOnEcmPid(uint16_t ecmPid, const StartedService* except) {
    for (StartedService& s : started) {
        if (&s != except && s.state == kStartedFiltered && s.ecmPid == ecmPid) return &s;
    }
    return nullptr;
}

void TakeHold(StartedService& s, Holder holder) {
    if (holder == Holder::Host) {
        s.hostHolds = 1;
    } else {
        ++s.moduleHolds;
    }
}

// 0 and the service held; -4 when no entry is free; 1 for a request of no known type (ignored).
int32_t StartOne(const ServiceRequest& request, Holder holder) {
    if (StartedService* same = FindSame(request)) {
        LogRequest("Already start this service: pid:%2.2X, ip: %4.4X, port: %d.", request);
        TakeHold(*same, holder);
        return 0;
    }
    StartedService* entry = nullptr;
    for (StartedService& s : started) {
        if (s.state == kStartedFree) {
            entry = &s;
            break;
        }
    }
    if (entry == nullptr) {
        kr_Print(0x73, "Can't allot to start this service.");
        return -4;
    }
    entry->state = kStartedSettingUp;
    entry->cwCleared = 0;
    entry->lastEcmVersion = kNoEcmVersion;
    entry->request = request;
    entry->hostHolds = 0;
    entry->moduleHolds = 0;
    entry->ecmFilterSet = 0;
    ++entry->generation;

    ServiceRecord record{};
    bool found = false;
    if (request.type == kTypeByEcmPid) {
        entry->ecmPid = request.pid;
        found = kr_FindServiceByEcmPid(&record, request.pid) == 0;
    } else if (request.type == kTypeByAddress) {
        found = kr_FindServiceByAddr(&record, request.ipAddress, request.udpPort) == 0;
        if (found) entry->ecmPid = record.ecmPid;
    } else {
        entry->state = kStartedFree;
        return 1;
    }
    TakeHold(*entry, holder);
    if (found) {
        RequestEcmFilter(*entry);
    } else {
        // The ECM worker requests the filter once the service map names the service.
        entry->state = kStartedWaitingForMap;
        RequestEcmMaintain();
    }
    return 0;
}

void EndService(StartedService& s) {
    if (s.state == kStartedFiltered) {
        // The filter goes on for another started service of the same ECM PID, which takes it over.
        if (StartedService* heir = OtherOnEcmPid(s.ecmPid, &s)) {
            if (s.ecmFilterSet != 0) heir->ecmFilterSet = 1;
        } else {
            StopRequestsByPid(s.ecmPid);
        }
    }
    (void)kr_HideMessage(kMessageAny);
    s.state = kStartedFree;
    s.ecmFilterSet = 0;
}

// Ends the holder's hold; the service stops when nobody holds it any more.
void StopOne(const ServiceRequest& request, Holder holder) {
    StartedService* s = FindSame(request);
    if (s == nullptr) {
        LogRequest("Can't find service to stop: pid:%2.2X, ip: %4.4X, port: %d.", request);
        return;
    }
    if (holder == Holder::Host) {
        s->hostHolds = 0;
    } else if (s->moduleHolds > 0) {
        --s->moduleHolds;
    }
    if (s->hostHolds == 0 && s->moduleHolds == 0) EndService(*s);
}

struct Entitlement {
    uint16_t id;
    uint32_t start;
    uint32_t end;
};

// The periods the card keeps; none when no card is ready or the card keeps no such file.
int ReadEntitlements(Entitlement (&out)[kMaxEntitlements]) {
    if (Ca().cardReady.load() == 0) return 0;
    uint8_t file[kEntitlementFile.size] = {};
    {
        CardTransaction transaction(kEntitlementFile.df);
        if (transaction.result() != 0) return 0;
        if (kr_CardReadBinary(kEntitlementFile.sfi, file, sizeof file) != 0) return 0;
    }
    const int count = file[0] < kMaxEntitlements ? file[0] : kMaxEntitlements;
    for (int i = 0; i < count; ++i) {
        const uint32_t at = 1u + static_cast<uint32_t>(i * kEntitlementRecordSize);
        out[i] = {ReadBe16(file, at), ReadBe32(file, at + 2), ReadBe32(file, at + 6)};
    }
    return count;
}

}  // namespace

void ResetStartedServices() {
    ModuleLockGuard hold;
    for (StartedService& s : started) {
        const uint32_t generation = s.generation;
        s = StartedService{};
        s.generation = generation + 1;
    }
}

StartedService* StartedServices() {
    return started;
}

int32_t kr_FindStartedService(StartedService** out, uint16_t ecmPid) {
    if (out == nullptr) return -2;
    *out = nullptr;
    for (StartedService& s : started) {
        if (s.state == kStartedFiltered && s.ecmPid == ecmPid) {
            *out = &s;
            return 0;
        }
    }
    return kNotFound;
}

void RequestEcmFilter(StartedService& service) {
    // A filter that was refused is asked for again by the next service of its PID.
    const bool running = EcmFilterRuns(service.ecmPid, &service);
    service.lastEcmVersion = kNoEcmVersion;
    service.state = kStartedFiltered;
    service.ecmFilterSet = 0;
    if (!running && StartTypedRequest(kTypeEcm, service.ecmPid, kEcmTableId) == 0)
        service.ecmFilterSet = 1;
}

bool HoldService(const ServiceRequest& request) {
    ModuleLockGuard hold;
    return StartOne(request, Holder::Module) == 0;
}

void ReleaseService(const ServiceRequest& request) {
    ModuleLockGuard hold;
    StopOne(request, Holder::Module);
    (void)kr_HideMessage(kMessageAny);
}

}  // namespace kr

using namespace kr;

int32_t krca_T2CA_StartServices(uint8_t count, const ServiceRequest* list) {
    if (count == 0) return 0;
    if (list == nullptr) return KR_NULL_ARG;
    ModuleLockGuard hold;
    for (uint8_t i = 0; i < count; ++i) {
        if (StartOne(list[i], Holder::Host) == -4) return -4;
    }
    return 0;
}

int32_t krca_T2CA_StopServices(uint8_t count, const ServiceRequest* list) {
    if (count != 0 && list == nullptr) return KR_NULL_ARG;
    ModuleLockGuard hold;
    for (uint8_t i = 0; i < count; ++i)
        StopOne(list[i], Holder::Host);
    (void)kr_HideMessage(kMessageAny);
    return 0;
}

int32_t krca_T2CA_GetServiceEntitles(ServiceEntitleInfo* entries, uint8_t* count) {
    if (count == nullptr) return KR_NULL_ARG;
    const uint8_t capacity = *count;
    // The card is read before the map is: a card transaction is never made under the module lock.
    Entitlement periods[kMaxEntitlements];
    const int known = entries != nullptr && capacity > 0 ? ReadEntitlements(periods) : 0;

    ModuleLockGuard hold;
    uint8_t found = 0;
    ForEachService([&](const ServiceRecord& r) {
        if (entries != nullptr && found < capacity) {
            ServiceEntitleInfo& e = entries[found];
            e.entitled = 1;
            e.onid = r.onid;
            e.tsid = r.tsid;
            e.svid = r.svid;
            e.entitleStart = 0;
            e.entitleEnd = 0;
            for (int i = 0; i < known; ++i) {
                if (periods[i].id == r.svid) {
                    e.entitleStart = periods[i].start;
                    e.entitleEnd = periods[i].end;
                    break;
                }
            }
            std::memcpy(e.name, r.name, sizeof e.name);
            e.reserved2 = r.reserved2;
        }
        ++found;
    });
    *count = found;
    kr_Print(0x73, "Service count %d", found);
    return 0;
}
