// Shared IP filters: several IPv4/UDP destinations carried on one PID share a single host
// filter (which matches section bytes 0..15), and the module tells them apart in software by
// the IP and UDP header bytes 16..63.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

constexpr int kSharedFilterCount = 12;
constexpr int kSharedFilterSlots = 8;
constexpr int kIpFilterBytes = 64;

struct IpFilterRequest {
    uint8_t state;  // 0 free, 1 active
    uint16_t pid;
    uint32_t requestId;  // the consumer request matching sections are handed to
    uint8_t match[kIpFilterBytes];
    uint8_t mask[kIpFilterBytes];
};

struct SharedFilter {
    uint8_t state;           // 0 free, 1 active
    uint32_t hostRequestId;  // the type-16 request the host filter runs under
    SectionFilterParams params;
    IpFilterRequest slots[kSharedFilterSlots];
};

// Intake start (all filters free) and finish.
void SharedFiltersStart();
void SharedFiltersFinish();

// Match and mask for datagram sections to one IPv4 destination address and UDP port.
void BuildIpUdpFilter(uint8_t match[kIpFilterBytes], uint8_t mask[kIpFilterBytes],
                      uint32_t ipAddress, uint16_t udpPort);

int32_t AttachIpFilter(const IpFilterRequest* request);  // 0 attached; -1 failed
int32_t DetachIpFilter(uint32_t requestId);              // 0 detached; -1 not found

// Starts a reserved consumer entry on its destination: the entry takes sections from before
// its destination is attached; a refusal frees it with whatever was queued meanwhile. 0; -1.
struct RequestEntry;
int32_t AttachConsumer(RequestEntry* entry, const IpFilterRequest& filter);

// Hands a section of a shared filter's host request to the consumer whose destination it
// matches: the result of that hand-over; 0 when no destination matches; 128 when no shared
// filter carries hostRequestId.
int32_t DispatchSharedSection(uint32_t hostRequestId, uint8_t status, const uint8_t* section,
                              int32_t length);

// What a section of a shared filter's host request is for: the consumer request whose
// destination it matches, or the result the intake hands back (0 no destination matches, 128 no
// shared filter carries the id). For the holder of the intake lock.
struct SharedMatch {
    bool matched = false;
    uint32_t consumer = 0;
    int32_t result = 0;
};
SharedMatch MatchSharedSectionLocked(uint32_t hostRequestId, const uint8_t* section,
                                     int32_t length);

// Active shared filters (for checks that nothing was left behind).
int32_t SharedFiltersActive();

}  // namespace kr
