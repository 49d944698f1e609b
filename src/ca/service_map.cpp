#include "ca/service_map.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "ca/ecm_worker.h"
#include "ca/host_messages.h"
#include "ca/service_control.h"
#include "core/byte_reader.h"
#include "core/counters.h"
#include "core/log.h"
#include "core/platform.h"
#include "store/store.h"

namespace kr {
namespace {

constexpr uint32_t kMinSectionLength = 18;
constexpr uint8_t kAddressTag = 0xA1;
constexpr uint8_t kAddressLength = 6;
constexpr int kMaxEntries = 255;

ServiceRecord services[kServiceCount];
// The last section parsed or loaded: its version and its last four bytes as they stood.
uint8_t lastVersion = 0xFF;  // no 5-bit version equals it
uint8_t lastCrc[4] = {};

// One entry of the section, read in full before anything is applied.
struct Entry {
    uint16_t onid = 0;
    uint16_t tsid = 0;
    uint16_t svid = 0;
    uint8_t flags = 0;
    uint16_t ecmPid = 0;
    std::span<const uint8_t> name;
    std::span<const uint8_t> list;  // big-endian values
    std::span<const uint8_t> descriptors;
};

bool ReadEntry(ByteReader& in, Entry& e) {
    e.onid = in.Be16();
    e.tsid = in.Be16();
    e.svid = in.Be16();
    e.flags = in.U8();
    e.ecmPid = in.Be16();
    e.name = in.Bytes(in.U8());
    e.list = in.Bytes(2u * in.U8());
    e.descriptors = in.Bytes(in.U8());
    return in.ok();
}

bool NextIsEnd(int index) {
    return index == kServiceCount - 1 || services[index + 1].status == kServiceEnd;
}

int FindInUse(uint16_t svid) {
    for (int i = 0; i < kServiceCount && services[i].status != kServiceEnd; ++i) {
        if (services[i].status == kServiceInUse && services[i].svid == svid) return i;
    }
    return -1;
}

int FindFree() {
    for (int i = 0; i < kServiceCount; ++i) {
        if (services[i].status != kServiceInUse) return i;
    }
    return -1;
}

// A zero length, or a descriptor that runs past the loop, ends the loop. Pairs the entry does not
// give are cleared: an address the service no longer uses must not find it.
void ParseAddresses(ServiceRecord& record, std::span<const uint8_t> loop) {
    std::memset(record.address, 0, sizeof record.address);
    std::memset(record.port, 0, sizeof record.port);
    ByteReader in(loop);
    int slot = 0;
    while (in.remaining() > 0) {
        const uint8_t tag = in.U8();
        const uint8_t length = in.U8();
        const std::span<const uint8_t> body = in.Bytes(length);
        if (length == 0 || !in.ok()) {
            kr_Print(0x73, "Invalid descriptor len.");
            return;
        }
        if (tag == kAddressTag && length >= kAddressLength && slot < kServiceAddressSlots) {
            ByteReader address(body);
            record.address[slot] = address.Be32();
            record.port[slot] = address.Be16();
            ++slot;
        }
    }
}

void Apply(const Entry& e) {
    int index = FindInUse(e.svid);
    if (index < 0) index = FindFree();
    if (index < 0) return;  // the map is full: this entry is skipped
    ServiceRecord& r = services[index];
    if (r.status != kServiceInUse) std::memset(&r, 0, sizeof r);
    r.status = kServiceInUse;
    r.onid = e.onid;
    r.tsid = e.tsid;
    r.svid = e.svid;
    r.flag = static_cast<uint8_t>(e.flags >> 7);
    r.rating = static_cast<uint8_t>(e.flags & 0x0F);
    r.ecmPid = e.ecmPid;
    // NUL-padded: the host reads the 32 bytes as they are, so a shorter new name leaves no tail
    // of the old one.
    std::memset(r.name, 0, sizeof r.name);
    std::memcpy(r.name, e.name.data(), std::min<std::size_t>(e.name.size(), kServiceNameSize));
    std::memset(r.list, 0, sizeof r.list);
    ByteReader list(e.list);
    for (int i = 0; i < kServiceListValues && list.remaining() >= 2; ++i)
        r.list[i] = list.Be16();
    ParseAddresses(r, e.descriptors);
}

// Records named by none of the entries are freed; a freed record keeps the indexes of the ones
// after it.
void RemoveUnlisted(std::span<const Entry> entries) {
    for (int i = 0; i < kServiceCount && services[i].status != kServiceEnd; ++i) {
        if (services[i].status != kServiceInUse) continue;
        bool listed = false;
        for (const Entry& e : entries)
            listed = listed || e.svid == services[i].svid;
        if (!listed) services[i].status = NextIsEnd(i) ? kServiceEnd : kServiceDeleted;
    }
}

void Save() {
    uint8_t count = 0;
    for (int i = 0; i < kServiceCount && services[i].status != kServiceEnd; ++i) {
        if (services[i].status == kServiceDeleted) continue;
        (void)kr_StoreWrite(
            kServiceRecordsOffset + count * static_cast<uint32_t>(sizeof(ServiceRecord)),
            sizeof(ServiceRecord), reinterpret_cast<const uint8_t*>(&services[i]));
        ++count;
    }
    const uint8_t head[6] = {count, lastVersion, lastCrc[0], lastCrc[1], lastCrc[2], lastCrc[3]};
    (void)kr_StoreWrite(kServiceMapHeadOffset, sizeof head, head);
    (void)kr_StoreSetCrc(kStoreCaArea.offset, kStoreCaArea.length, kStoreCaArea.crcOffset);
    (void)kr_StoreFlush();
}

}  // namespace

const ServiceRecord* ServiceMapRecords() {
    return services;
}

void kr_ServiceMapInit() {
    {
        ModuleLockGuard hold;
        std::memset(lastCrc, 0, sizeof lastCrc);
        lastVersion = 0xFF;
        std::memset(services, 0, sizeof services);
        for (ServiceRecord& r : services)
            r.status = kServiceEnd;
        ResetStartedServices();
    }
    ResetMessageState();
    (void)kr_ServiceMapLoad();
}

int32_t kr_ServiceMapLoad() {
    ModuleLockGuard hold;
    uint8_t head[8] = {};
    if (kr_StoreRead(kServiceMapHeadOffset, sizeof head, head) != 0) return -1;
    lastVersion = head[1];
    std::memcpy(lastCrc, head + 2, sizeof lastCrc);
    kr_Print(0x73, "Get smt from buffer, count: %d", head[0]);
    for (int i = 0; i < head[0] && i < kServiceCount; ++i) {
        ServiceRecord& r = services[i];
        const uint32_t offset =
            kServiceRecordsOffset + static_cast<uint32_t>(i) * static_cast<uint32_t>(sizeof r);
        if (kr_StoreRead(offset, sizeof r, reinterpret_cast<uint8_t*>(&r)) != 0) return -1;
        r.status = kServiceInUse;
    }
    return 0;
}

int32_t kr_SmtParse(const uint8_t* section, uint32_t length) {
    if (section == nullptr || length < kMinSectionLength) {
        Tally(Count::ServiceMapsBadLength);
        kr_Print(0x72, "SMT data length error.");
        return -3;
    }
    ModuleLockGuard hold;
    const uint8_t version = section[3] & 0x1F;
    const uint8_t* crc = section + length - 4;
    if (version == lastVersion && std::memcmp(crc, lastCrc, sizeof lastCrc) == 0) {
        Tally(Count::ServiceMapsRepeated);
        kr_Print(0x74, "Already received this smt.");
        return 1;
    }
    lastVersion = version;
    std::memcpy(lastCrc, crc, sizeof lastCrc);
    const uint8_t count = section[4];
    kr_Print(0x72, "Parse SMT ...");
    kr_Print(0x73, "service count: %d", count);

    // The entries lie between the count and the CRC. A cut entry ends the section: the entries
    // before it are applied, and no record is removed, since the cut part may have named it.
    Entry entries[kMaxEntries];
    int complete = 0;
    ByteReader in(section + 5, length - 5 - 4);
    while (complete < count && ReadEntry(in, entries[complete]))
        ++complete;
    const bool cut = complete < count;

    kr_Print(0x73, "update service list ...");
    if (!cut) RemoveUnlisted(std::span<const Entry>(entries, static_cast<std::size_t>(complete)));
    for (int i = 0; i < complete; ++i)
        Apply(entries[i]);
    if (cut) {
        Tally(Count::ServiceMapsEntryCut);
        kr_Print(0x73, "Invalid service entry len.");
    }
    Save();
    // A started service the map names now gets its ECM filter on the ECM worker's next pass.
    RequestEcmMaintain();
    return 0;
}

int32_t kr_FindServiceByEcmPid(ServiceRecord* out, uint16_t pid) {
    if (out == nullptr) return -2;
    ModuleLockGuard hold;
    int32_t result = kNotFound;
    ForEachService([&](const ServiceRecord& r) {
        if (result != 0 && r.ecmPid == pid) {
            *out = r;
            result = 0;
        }
    });
    return result;
}

int32_t kr_FindServiceByAddr(ServiceRecord* out, uint32_t address, uint16_t port) {
    if (out == nullptr) return -2;
    ModuleLockGuard hold;
    int32_t result = kNotFound;
    ForEachService([&](const ServiceRecord& r) {
        for (int i = 0; i < kServiceAddressSlots && result != 0; ++i) {
            // A slot the entry did not fill is no address of the service.
            const bool empty = r.address[i] == 0 && r.port[i] == 0;
            if (!empty && r.address[i] == address && r.port[i] == port) {
                *out = r;
                result = 0;
            }
        }
    });
    return result;
}

int32_t kr_FindServiceByIds(ServiceRecord* out, uint16_t onid, uint16_t tsid, uint16_t svid) {
    if (out == nullptr) return -2;
    ModuleLockGuard hold;
    int32_t result = kNotFound;
    ForEachService([&](const ServiceRecord& r) {
        if (result != 0 && r.onid == onid && r.tsid == tsid && r.svid == svid) {
            *out = r;
            result = 0;
        }
    });
    return result;
}

}  // namespace kr
