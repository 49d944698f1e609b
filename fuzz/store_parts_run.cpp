#include "store_parts_run.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "ca/service_control.h"
#include "ca/service_map.h"
#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/host.h"
#include "epg/epg_database.h"
#include "epg/stored_epg.h"
#include "store/store.h"

namespace krfuzz {
namespace {

using kr::kStoreSize;

std::array<uint8_t, kStoreSize> hostStore;
std::array<uint8_t, kStoreSize> scratch;
// Bytes at the start of the host's store that may not be zero.
std::size_t hostDirty = kStoreSize;
HostCallbacks previousSlots{};

int32_t GetStoreBuffer(uint32_t* size, uintptr_t* storeHandle) {
    *size = kStoreSize;
    *storeHandle = reinterpret_cast<uintptr_t>(hostStore.data());
    return 0;
}

int32_t ReadStore(uintptr_t storeHandle, uint32_t* length, uint8_t* destination) {
    if (storeHandle != reinterpret_cast<uintptr_t>(hostStore.data())) return -1;
    std::memcpy(destination, hostStore.data(), std::min<uint32_t>(*length, kStoreSize));
    return 0;
}

int32_t WriteStore(uintptr_t storeHandle, uint32_t* length, const uint8_t* source) {
    if (storeHandle != reinterpret_cast<uintptr_t>(hostStore.data())) return -1;
    std::memcpy(hostStore.data(), source, std::min<uint32_t>(*length, kStoreSize));
    return 0;
}

void UseStoreSlots() {
    previousSlots = kr::Host();
    HostCallbacks slots{};
    slots.GetStoreBuffer = GetStoreBuffer;
    slots.ReadStore = ReadStore;
    slots.WriteStore = WriteStore;
    kr::SetHostCallbacks(slots);
}

bool AllZero(const uint8_t* bytes, std::size_t length) {
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

// A loaded store: each area either matches its CRC field or was emptied (an empty area passes
// either way, and costs no CRC).
bool AreasConsistent() {
    uint8_t head[kr::kStoreHeadSize];
    if (kr::kr_StoreRead(0, sizeof head, head) != 0) return false;
    for (const kr::StoreArea& area : {kr::kStoreCaArea, kr::kStoreEpgArea, kr::kStoreIconArea}) {
        if (kr::kr_StoreRead(area.offset, area.length, scratch.data()) != 0) return false;
        if (AllZero(scratch.data(), area.length)) continue;
        if (kr::Crc32(scratch.data(), area.length) != kr::ReadBe32(head, area.crcOffset))
            return false;
    }
    return true;
}

template <std::size_t N>
bool EndsInNul(const char (&text)[N]) {
    return text[N - 1] == '\0';
}

// Bytes a run wrote into the working copy, cleared before the next input is written.
struct Written {
    uint32_t offset = 0;
    uint32_t length = 0;
};
std::array<Written, 2> written;

void WriteInput(std::size_t slot, uint32_t offset, uint32_t room, const uint8_t* data,
                std::size_t size) {
    static const std::array<uint8_t, kStoreSize> zeros{};
    Written& w = written[slot];
    (void)kr::kr_StoreWrite(w.offset, w.length, zeros.data());
    w = {offset, static_cast<uint32_t>(std::min<std::size_t>(size, room))};
    (void)kr::kr_StoreWrite(w.offset, w.length, data);
}

// The live EPG loaded from the store at EPG init stays inside its tables, whatever was stored.
bool StoredEpgSound() {
    if (kr::kr_EpgInit() != 0) return false;
    const kr::LiveBuffer* live = kr::Epg().currentLive;
    const bool sound = LiveEpgSound(live != nullptr ? &live->epg : nullptr);
    kr::kr_EpgFinish();
    return sound;
}

bool HeadValid(const uint8_t* image) {
    const uint16_t mark = kr::kStoreByteOrderMark;
    return kr::Crc32(image, kr::kStoreHeadCrcOffset) ==
               kr::ReadBe32(image, kr::kStoreHeadCrcOffset) &&
           std::memcmp(image, kr::kStoreMagic, sizeof kr::kStoreMagic) == 0 &&
           image[kr::kStoreVersionOffset] == kr::kStoreVersion &&
           std::memcmp(image + kr::kStoreByteOrderOffset, &mark, sizeof mark) == 0;
}

bool RunImage(const uint8_t* data, std::size_t size) {
    hostStore.fill(0);
    if (data != nullptr)
        std::memcpy(hostStore.data(), data, std::min<std::size_t>(size, kStoreSize));

    if (kr::kr_StoreInit() != 0) return false;
    uint8_t probe = 0;
    const int32_t loaded = kr::kr_StoreRead(0, 1, &probe);
    if (loaded == 0 && !AreasConsistent()) return false;
    if (!StoredEpgSound()) return false;
    // A rejected store is cleared in the host's buffer and nothing of it stays readable.
    if (loaded != 0 && (loaded != -1 || !AllZero(hostStore.data(), kStoreSize))) return false;

    constexpr std::array<uint8_t, 16> kMark = {0x4B, 0x52, 0x01, 0x02, 0x03, 0x04, 0xA5, 0x5A,
                                               0xFF, 0x00, 0x80, 0x7F, 0x10, 0x20, 0x30, 0x40};
    constexpr uint32_t kMarkOffset = kr::kStoreCaArea.offset + 0x20;
    {
        kr::StoreUpdate update;
        if (update.Write(kMarkOffset, kMark.size(), kMark.data()) != 0) return false;
        if (update.SetCrc(kr::kStoreCaArea) != 0) return false;
        if (update.Flush() != 0) return false;
    }
    if (!HeadValid(hostStore.data())) return false;

    kr::kr_StoreFinish();
    if (kr::kr_StoreInit() != 0) return false;
    std::array<uint8_t, kMark.size()> back{};
    if (kr::kr_StoreRead(kMarkOffset, back.size(), back.data()) != 0) return false;
    return back == kMark && AreasConsistent();
}

}  // namespace

bool LiveEpgSound(const LiveEpg* live) {
    const kr::EpgDatabase& db = kr::Epg();
    bool sound = db.linkCount <= kr::kMaxLinks;
    for (const ServiceLink& link : db.serviceLinks)
        sound = sound && EndsInNul(link.internetLink) && EndsInNul(link.epgInfoFile);
    if (live == nullptr) return sound;
    const LiveEpg& epg = *live;
    sound = sound && epg.programCount >= 0 && epg.programCount <= kr::kMaxPrograms &&
                 epg.iconCount <= kr::kMaxIcons && epg.programs == epg.program;
    for (int i = 0; sound && i < epg.programCount; ++i) {
        const ProgramInfo& p = epg.program[i];
        bool iconInside = p.icon == nullptr;
        for (int k = 0; k < epg.iconCount; ++k)
            iconInside = iconInside || p.icon == &epg.icons[k].image;
        const StreamInfo& stream = epg.stream[i];
        const bool sdpInside = stream.sort != 4 || stream.media.sdp.videoConfigLength <=
                                                       sizeof stream.media.sdp.videoConfig;
        sound = iconInside && sdpInside && p.media == &stream.media && p.events == nullptr &&
                EndsInNul(p.name) && EndsInNul(p.abstract) && EndsInNul(p.internetLink) &&
                EndsInNul(p.epgInfoFile);
    }
    for (int k = 0; sound && k < epg.iconCount; ++k)
        sound = epg.icons[k].image.length <= kr::kIconMax;
    return sound;
}

bool RunStoreImage(const uint8_t* data, std::size_t size) {
    UseStoreSlots();
    const bool held = RunImage(data, size);
    kr::kr_StoreFinish();
    kr::SetHostCallbacks(previousSlots);
    hostDirty = kStoreSize;
    return held;
}

bool RunStoreCheckInput(const uint8_t* data, std::size_t size) {
    // Only the bytes the last input left need clearing: a rejected image was cleared by the
    // format, a loaded one holds what was copied in.
    std::memset(hostStore.data(), 0, hostDirty);
    hostDirty = std::min<std::size_t>(size, kStoreSize);
    if (data != nullptr && hostDirty > 0) std::memcpy(hostStore.data(), data, hostDirty);

    UseStoreSlots();
    bool held = kr::kr_StoreInit() == 0;
    uint8_t probe = 0;
    const int32_t loaded = held ? kr::kr_StoreRead(0, 1, &probe) : 1;
    if (loaded == 0) {
        held = AreasConsistent();
    } else {
        held = held && loaded == -1 && AllZero(hostStore.data(), kStoreSize);
    }
    kr::kr_StoreFinish();
    kr::SetHostCallbacks(previousSlots);
    return held;
}

bool StartStoredParts() {
    hostStore.fill(0);
    hostDirty = kStoreSize;
    written = {};
    UseStoreSlots();
    // An empty store is formatted and flushed; started again, it loads.
    if (kr::kr_StoreInit() != 0 || kr::kr_StoreFlush() != 0) return false;
    kr::kr_StoreFinish();
    if (kr::kr_StoreInit() != 0) return false;
    uint8_t probe = 0;
    if (kr::kr_StoreRead(0, 1, &probe) != 0) return false;
    // The runs write only the working copy: a flush need not copy the whole store out each time.
    HostCallbacks slots = kr::Host();
    slots.WriteStore = nullptr;
    kr::SetHostCallbacks(slots);
    return kr::kr_EpgInit() == 0;
}

void FinishStoredParts() {
    kr::kr_EpgFinish();
    kr::kr_StoreFinish();
    kr::kr_ServiceMapInit();  // empty: nothing of the last input stays for the next user
    kr::SetHostCallbacks(previousSlots);
}

bool RunStoredEpgInput(const uint8_t* data, std::size_t size) {
    const std::size_t skip = size >= 2 ? 2 : 0;
    const std::size_t wanted = skip != 0 ? std::size_t{kr::ReadBe16(data, 0)} : 0;
    const std::size_t epgBytes = std::min(wanted, size - skip);
    const uint8_t* epg = data + skip;
    WriteInput(0, kr::kStoredFrequencyOffset, kr::kStoreEpgArea.length, epg, epgBytes);
    WriteInput(1, kr::kStoredIconsOffset, kr::kStoreIconArea.length, epg + epgBytes,
               size - skip - epgBytes);
    kr::LiveBuffer* live = nullptr;
    if (kr::kr_TakeLiveBuffer(&live) != 0 || live == nullptr) return false;
    const int32_t loaded = kr::kr_LoadStoredEpg(live);
    if (loaded != 0) return loaded == -1 && live->state == 0 && live->epg.programCount == 0;
    return LiveEpgSound(&live->epg);
}

bool RunStoredMapInput(const uint8_t* data, std::size_t size, std::size_t* inUse) {
    constexpr uint32_t kRoom = kr::kStoreCaArea.offset + kr::kStoreCaArea.length -
                               kr::kServiceMapHeadOffset;
    WriteInput(0, kr::kServiceMapHeadOffset, kRoom, data, size);
    kr::kr_ServiceMapInit();

    bool held = true;
    std::size_t count = 0;
    const kr::ServiceRecord* records = kr::ServiceMapRecords();
    // The first three records in use and the last one are looked up (all of them would cost
    // the fuzzer a square of the map's size).
    int picked[4] = {};
    int n = 0;
    for (int i = 0; i < kr::kServiceCount && records[i].status != kr::kServiceEnd; ++i) {
        if (records[i].status != kr::kServiceInUse) continue;
        ++count;
        if (n < 3) {
            picked[n++] = i;
        } else {
            picked[3] = i;
            n = 4;
        }
    }
    for (int k = 0; k < n; ++k) {
        const kr::ServiceRecord& r = records[picked[k]];
        kr::ServiceRecord found{};
        held = held && kr::kr_FindServiceByIds(&found, r.onid, r.tsid, r.svid) == 0 &&
               found.status == kr::kServiceInUse && found.svid == r.svid;
        held = held && kr::kr_FindServiceByEcmPid(&found, r.ecmPid) == 0;
        if (r.address[0] != 0 || r.port[0] != 0)
            held = held && kr::kr_FindServiceByAddr(&found, r.address[0], r.port[0]) == 0;
    }
    ServiceEntitleInfo info[kr::kServiceCount];
    uint8_t listed = kr::kServiceCount;
    held = held && krca_T2CA_GetServiceEntitles(info, &listed) == 0 && listed == count;

    // A section on top of the loaded map: two services, one of them maybe loaded already.
    static const uint8_t kSection[] = {0x84, 0x70, 0x2C, 0x01, 0x02,
                                       0x00, 0x01, 0x00, 0x02, 0x00, 0x0C, 0x05, 0x05, 0x01,
                                       0x01, 'A', 0x00, 0x00,
                                       0x00, 0x01, 0x00, 0x02, 0x00, 0x0D, 0x00, 0x05, 0x02,
                                       0x00, 0x00, 0x08, 0xA1, 0x06, 0xEF, 0x01, 0x01, 0x02,
                                       0x13, 0x88, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    // A stored head may name this very section (then it is not parsed again), and a full map
    // has no room for new services.
    const int32_t parsed = kr::kr_SmtParse(kSection, sizeof kSection);
    held = held && (parsed == 0 || parsed == 1);
    kr::ServiceRecord found{};
    if (parsed == 0 && count + 2 <= static_cast<std::size_t>(kr::kServiceCount)) {
        held = held && kr::kr_FindServiceByIds(&found, 1, 2, 12) == 0 &&
               kr::kr_FindServiceByIds(&found, 1, 2, 13) == 0 && found.ecmPid == 0x0502;
    }
    if (inUse != nullptr) *inUse = count;
    return held;
}

}  // namespace krfuzz
