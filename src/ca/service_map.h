// The service map: what the head end's service map section says about each scrambled service
// (its ids, its rating, the PID of its control messages, the addresses its streams are sent to),
// kept in memory and in the CA area of the store, so that it is known at once after a restart.
//
// Read and changed under the module lock: the CA worker updates it, the ECM worker and the
// host's service calls look services up.
#pragma once

#include <cstdint>

namespace kr {

constexpr int kServiceCount = 128;
constexpr int kServiceAddressSlots = 3;
constexpr int kServiceListValues = 5;
constexpr int kServiceNameSize = 32;

constexpr uint8_t kServiceInUse = 0x01;
constexpr uint8_t kServiceDeleted = 0xFE;  // free, records in use may follow
constexpr uint8_t kServiceEnd = 0xFF;      // free, and so is every record after it

constexpr int32_t kNotFound = 0x80;

// One service; the same 80 bytes, in the terminal's byte order, are its stored form.
struct ServiceRecord {
    uint8_t status;
    uint8_t reserved1;
    uint16_t onid;
    uint16_t tsid;
    uint16_t svid;
    uint32_t reserved2;
    uint8_t flag;
    uint8_t rating;
    uint16_t ecmPid;
    uint32_t address[kServiceAddressSlots];
    uint16_t port[kServiceAddressSlots];
    uint16_t list[kServiceListValues];
    uint8_t name[kServiceNameSize];
    uint32_t reserved3;
};
static_assert(sizeof(ServiceRecord) == 80, "the stored record is 80 bytes");

// Where the map lives in the store.
constexpr uint32_t kServiceMapHeadOffset = 0x39;
constexpr uint32_t kServiceRecordsOffset = 0x40;

// Empties the map (and the started services and the message state), then loads the stored map.
void kr_ServiceMapInit();
// 0 loaded or nothing stored; -1 the store is not readable.
int32_t kr_ServiceMapLoad();
// A checked service map section. 0 parsed and stored; 1 the same section as the last one; -3 too
// short.
int32_t kr_SmtParse(const uint8_t* section, uint32_t length);

// Copies of the first matching record in use: 0 found, kNotFound otherwise (out untouched).
int32_t kr_FindServiceByEcmPid(ServiceRecord* out, uint16_t pid);
int32_t kr_FindServiceByAddr(ServiceRecord* out, uint32_t address, uint16_t port);
// -2 for a null out.
int32_t kr_FindServiceByIds(ServiceRecord* out, uint16_t onid, uint16_t tsid, uint16_t svid);

// The map itself, for ForEachService.
const ServiceRecord* ServiceMapRecords();

// Calls visit with every record in use, in map order. The caller holds the module lock.
template <typename Visit>
void ForEachService(Visit&& visit) {
    const ServiceRecord* records = ServiceMapRecords();
    for (int i = 0; i < kServiceCount && records[i].status != kServiceEnd; ++i) {
        if (records[i].status == kServiceInUse) visit(records[i]);
    }
}

}  // namespace kr
