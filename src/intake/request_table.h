// The table of what the module wants to receive: one entry per host filter request, each with a
// unique id that the host echoes with every section.
//
// Two locks guard it. Whoever changes the table holds the module lock, so the changes of the
// host's API threads and of the workers are one after the other, and the host's filter slots are
// called with it held. Every write that the delivery thread could see (an entry's state, the
// table itself) is also made under the short intake lock, which the delivery thread takes for its
// search; the host is never called while the intake lock is held.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

#include "intake/section_queue.h"

namespace kr {

constexpr int kRequestCount = 64;

// Entry states. Values below kRequestReserved count as in use for every search.
constexpr uint8_t kRequestFree = 0xFF;
constexpr uint8_t kRequestReserved = 0xFE;
constexpr uint8_t kRequestActive = 1;

// Request types.
constexpr uint8_t kTypeSysinfo = 1;
constexpr uint8_t kTypeCa = 2;
constexpr uint8_t kTypeEpgDownload = 3;
constexpr uint8_t kTypeResource = 4;
constexpr uint8_t kTypeVideo = 5;
constexpr uint8_t kTypeAudio = 6;
constexpr uint8_t kTypeEmm = 7;
constexpr uint8_t kTypeEcm = 8;
constexpr uint8_t kTypeServiceMap = 9;
constexpr uint8_t kTypeBroadcastData = 10;
constexpr uint8_t kTypeSharedFilter = 16;

struct RequestEntry {
    uint8_t state;
    uint8_t type;
    SectionQueue* queue;
    uint32_t requestId;
    uint32_t ownerId;
    uint16_t pid;
    uint8_t viaSharedFilter;
    uint32_t ipAddress;
    uint16_t udpPort;
    uint8_t scrambled;
    KrDataProcessFn dataProcess;
    uint32_t deliveryMode;
};

struct RequestTable {
    RequestEntry entries[kRequestCount];
};

// Intake start and finish: allocate (all entries free) and release the table.
[[nodiscard]] int32_t RequestTableInit();
void RequestTableFinish();

// The ids of the requests one stop freed.
struct StoppedRequests {
    uint32_t ids[kRequestCount];
    int32_t count = 0;
};

int32_t AllotRequest(RequestEntry** out);
void QueueForType(uint8_t type, SectionQueue** out);
int32_t FindRequest(uint32_t requestId, RequestEntry** out);
int32_t IsOwnerActive(uint32_t ownerId);
int32_t StartTypedRequest(uint8_t type, uint16_t pid, uint8_t tableId);
void StopRequestsByType(uint8_t type, StoppedRequests* stopped = nullptr);
void StopRequestsByPid(uint16_t pid, StoppedRequests* stopped = nullptr);
void StopRequestsByOwner(uint32_t ownerId, StoppedRequests* stopped = nullptr);
// Stops the one request with this id (the host request of a shared filter whose last
// destination left). Nothing when no entry in use has it.
void StopRequestById(uint32_t requestId);

// Asks the host to run the filter of a reserved entry (call with the module lock held). The
// entry takes sections from before the host is asked, since a filter may deliver before the call
// returns; a refusal (or no filter slot) frees it with whatever was queued meanwhile. 0 running,
// -1 refused.
int32_t RunHostFilter(RequestEntry* entry, const SectionFilterParams& params);

// Frees an entry whose start failed, with the sections queued for it meanwhile.
void AbandonRequest(RequestEntry* entry);

// Moves a reserved entry to active (its filter runs) or back to free. Every state change after
// the allotment goes through here, so the delivery thread sees it whole.
void SetRequestState(RequestEntry* entry, uint8_t state);

// FindRequest for the holder of the intake lock, without diagnostics: null when none.
RequestEntry* FindRequestLocked(uint32_t requestId);
// The place of an entry in the table, which nodes carry.
uint8_t RequestIndex(const RequestEntry* entry);

// True while the request a node was queued for is still active: a worker drops the nodes of a
// request that stopped after they were queued. Takes no lock.
bool RequestLive(uint8_t entryIndex, uint32_t requestId);

// Entries in use (state below reserved); 0 when the table does not exist.
int32_t RequestsInUse();

}  // namespace kr
