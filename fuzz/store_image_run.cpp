#include "store_image_run.h"

#include <krmodule/krmodule.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/host.h"
#include "epg/epg_database.h"
#include "store/store.h"

namespace krfuzz {
namespace {

using kr::kStoreSize;

// The host's store buffer; the module clears it in place when it formats.
std::array<uint8_t, kStoreSize> hostStore;
std::array<uint8_t, kStoreSize> scratch;

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

bool AllZero(const uint8_t* bytes, uint32_t length) {
    return std::all_of(bytes, bytes + length, [](uint8_t b) { return b == 0; });
}

// A loaded store: each area either matches its CRC field or was emptied.
bool AreasConsistent() {
    uint8_t head[kr::kStoreHeadSize];
    if (kr::kr_StoreRead(0, sizeof head, head) != 0) return false;
    for (const kr::StoreArea& area : {kr::kStoreCaArea, kr::kStoreEpgArea, kr::kStoreIconArea}) {
        if (kr::kr_StoreRead(area.offset, area.length, scratch.data()) != 0) return false;
        const bool matches =
            kr::Crc32(scratch.data(), area.length) == kr::ReadBe32(head, area.crcOffset);
        if (!matches && !AllZero(scratch.data(), area.length)) return false;
    }
    return true;
}

template <std::size_t N>
bool EndsInNul(const char (&text)[N]) {
    return text[N - 1] == '\0';
}

// The live EPG loaded from the store at EPG init stays inside its tables, whatever was stored.
bool StoredEpgSound() {
    if (kr::kr_EpgInit() != 0) return false;
    const kr::EpgDatabase& db = kr::Epg();
    bool sound = db.linkCount <= kr::kMaxLinks;
    for (const ServiceLink& link : db.serviceLinks)
        sound = sound && EndsInNul(link.internetLink) && EndsInNul(link.epgInfoFile);
    if (const kr::LiveBuffer* live = db.currentLive) {
        const LiveEpg& epg = live->epg;
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
    }
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

bool Run(const uint8_t* data, std::size_t size) {
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

bool RunStoreImage(const uint8_t* data, std::size_t size) {
    const HostCallbacks previous = kr::Host();
    HostCallbacks slots{};
    slots.GetStoreBuffer = GetStoreBuffer;
    slots.ReadStore = ReadStore;
    slots.WriteStore = WriteStore;
    kr::SetHostCallbacks(slots);
    const bool held = Run(data, size);
    kr::kr_StoreFinish();
    kr::SetHostCallbacks(previous);
    return held;
}

}  // namespace krfuzz
