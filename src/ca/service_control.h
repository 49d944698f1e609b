// The started services: the up to 8 services the host, a program or a download want descrambled,
// each with the ECM filter that brings its control messages once the service map names its ECM
// PID. krca_T2CA_StartServices, krca_T2CA_StopServices and krca_T2CA_GetServiceEntitles are
// declared in the public header.
//
// The table is read and changed under the module lock (host threads start and stop services, the
// ECM worker handles them).
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

constexpr int kStartedServiceCount = 8;

constexpr uint8_t kStartedFree = 0xFF;
constexpr uint8_t kStartedSettingUp = 0xFE;
constexpr uint8_t kStartedWaitingForMap = 0x00;  // the map does not name its ECM PID yet
constexpr uint8_t kStartedFiltered = 0x01;       // its ECM filter is requested

constexpr uint8_t kNoEcmVersion = 0xFF;

struct StartedService {
    uint8_t state = kStartedFree;
    uint8_t lastEcmVersion = kNoEcmVersion;  // of the last ECM whose control words were set
    uint8_t cwCleared = 0;                   // the descrambler was told to clear the service
    uint16_t ecmPid = 0;
    ServiceRequest request{};
    // Who holds the service: the host once, however often it started it, and each program or
    // download that started it. It stops when nobody holds it any more.
    uint8_t hostHolds = 0;
    uint32_t moduleHolds = 0;
    // This service's own ECM filter request succeeded (services of one ECM PID share a filter).
    uint8_t ecmFilterSet = 0;
    // Changes at every start of the entry, so that work begun for an earlier service is known
    // as stale once the module lock is taken again.
    uint32_t generation = 0;
};

// All entries free.
void ResetStartedServices();

// The table; the caller holds the module lock.
StartedService* StartedServices();

// The first started service whose ECM filter is requested on ecmPid. 0 found; 0x80 not found;
// -2 out null. *out is set to null first. The caller holds the module lock.
int32_t kr_FindStartedService(StartedService** out, uint16_t ecmPid);

// Requests the ECM filter of the service, unless another started service's filter already
// brings its ECMs. The caller holds the module lock.
void RequestEcmFilter(StartedService& service);

// A program or a download takes a hold on a service (always by address and port): true when it
// holds it, false when no entry was free. Each hold is ended by one ReleaseService with the same
// request, whatever the EPG says by then.
bool HoldService(const ServiceRequest& request);
void ReleaseService(const ServiceRequest& request);

}  // namespace kr
