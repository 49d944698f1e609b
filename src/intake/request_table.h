// The table of what the module wants to receive: one entry per host filter request, each with a
// unique id that the host echoes with every section. Every search and change of the table
// happens under the module lock, so the host's delivery thread, its API threads and the workers
// never see a half-changed entry.
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

int32_t AllotRequest(RequestEntry** out);
void QueueForType(uint8_t type, SectionQueue** out);
int32_t FindRequest(uint32_t requestId, RequestEntry** out);
int32_t IsOwnerActive(uint32_t ownerId);
int32_t StartTypedRequest(uint8_t type, uint16_t pid, uint8_t tableId);
void StopRequestsByType(uint8_t type);
void StopRequestsByPid(uint16_t pid);
void StopRequestsByOwner(uint32_t ownerId);

// Entries in use (state below reserved); 0 when the table does not exist.
int32_t RequestsInUse();

}  // namespace kr
