#include "epg/stored_epg.h"

#include <array>
#include <cstring>

#include "core/byte_order.h"
#include "core/log.h"
#include "epg/stored_records.h"
#include "store/store.h"

namespace kr {
namespace {

// The store's head of the stored live EPG.
struct StoredEpgHead {
    uint8_t count;
    uint32_t version;
    uint8_t iconCount;
    uint8_t linkCount;
};

std::array<uint8_t, kStoredEpgHeadSize> EncodeHead(const StoredEpgHead& head) {
    std::array<uint8_t, kStoredEpgHeadSize> bytes{};
    bytes[0] = head.count;
    WriteBe32(bytes.data(), 1, head.version);
    bytes[5] = head.iconCount;
    bytes[6] = head.linkCount;
    bytes[7] = 0;  // reserved
    return bytes;
}

StoredEpgHead DecodeHead(const std::array<uint8_t, kStoredEpgHeadSize>& bytes) {
    return {bytes[0], ReadBe32(bytes.data(), 1), bytes[5], bytes[6]};
}

template <typename Count>
uint8_t Capped(Count count, int limit) {
    if (count < 0) return 0;
    return static_cast<uint8_t>(count < limit ? count : limit);
}

// Reads one record at *offset and advances it; false when refused or unusable.
template <uint32_t Size, typename Record, typename Decode>
bool ReadRecord(uint32_t* offset, Record* record, Decode decode) {
    std::array<uint8_t, Size> bytes{};
    if (kr_StoreRead(*offset, Size, bytes.data()) != 0) return false;
    *offset += Size;
    return decode(std::span<const uint8_t, Size>(bytes), record);
}

int32_t LoadInto(LiveBuffer* live) {
    EpgDatabase& db = Epg();
    kr_Print(0x52, "Get stored EPG...");
    kr_Print(0x53, "Get system freq ...");
    std::array<uint8_t, 4> frequencyBytes{};
    if (kr_StoreRead(kStoredFrequencyOffset, 4, frequencyBytes.data()) != 0) return -1;
    const uint32_t frequency = ReadBe32(frequencyBytes.data(), 0);
    if (frequency != 0 && frequency != 0xFFFFFFFFu) SetSystemFrequency(frequency);

    kr_Print(0x53, "Get program version ...");
    std::array<uint8_t, kStoredEpgHeadSize> headBytes{};
    if (kr_StoreRead(kStoredEpgHeadOffset, kStoredEpgHeadSize, headBytes.data()) != 0) return -1;
    const StoredEpgHead head = DecodeHead(headBytes);
    // A store written by something else: never read more records than the tables hold.
    if (head.count > kMaxPrograms || head.iconCount > kMaxIcons || head.linkCount > kMaxLinks) {
        return -1;
    }

    LiveEpg& epg = live->epg;
    kr_Print(0x53, "Get program %d...", head.count);
    uint32_t offset = kStoredProgramsOffset;
    for (int i = 0; i < head.count; ++i) {
        if (!ReadRecord<kStoredProgramSize>(&offset, &epg.program[i], DecodeProgram)) return -1;
    }
    kr_Print(0x53, "Get program sdp ...");
    for (int i = 0; i < head.count; ++i) {
        if (!ReadRecord<kStoredStreamSize>(&offset, &epg.stream[i], DecodeStream)) return -1;
        epg.program[i].media = &epg.stream[i].media;
    }
    // The links go into a copy first: a load that fails must not leave the table half replaced.
    std::array<ServiceLink, kMaxLinks> links{};
    for (int i = 0; i < head.linkCount; ++i) {
        if (!ReadRecord<kStoredLinkSize>(&offset, &links[static_cast<std::size_t>(i)],
                                         DecodeLink)) {
            return -1;
        }
    }
    kr_Print(0x53, "Get program icon %d ...", head.iconCount);
    offset = kStoredIconsOffset;
    for (int i = 0; i < head.iconCount; ++i) {
        if (!ReadRecord<kStoredIconSize>(&offset, &epg.icons[i], DecodeIcon)) return -1;
    }

    {
        ShortLockGuard hold(EpgHandOverLock());
        std::memcpy(db.serviceLinks, links.data(), sizeof db.serviceLinks);
        db.linkCount = head.linkCount;
    }
    epg.iconCount = head.iconCount;
    epg.programCount = head.count;
    epg.version = head.version;
    live->version = head.version;
    epg.programs = epg.program;
    epg.eventEpg = nullptr;
    live->state = kBufferValid;
    kr_LinkIcons(live);
    kr_Print(0x52, "Get stored EPG success.");
    return 0;
}

}  // namespace

int32_t kr_SaveLiveEpg(const LiveBuffer* live) {
    if (live == nullptr) return -2;
    StoreUpdate update;
    const EpgDatabase& db = Epg();
    const LiveEpg& epg = live->epg;
    const uint8_t count = Capped(epg.programCount, kMaxPrograms);
    const uint8_t icons = Capped(epg.iconCount, kMaxIcons);
    const uint8_t links = Capped(db.linkCount, kMaxLinks);

    kr_Print(0x52, "Store stream EPG ...");
    const auto head = EncodeHead({count, epg.version, icons, links});
    update.Write(kStoredEpgHeadOffset, kStoredEpgHeadSize, head.data());

    kr_Print(0x53, "Store program info ...");
    uint32_t offset = kStoredProgramsOffset;
    std::array<uint8_t, kStoredProgramSize> program{};
    for (int i = 0; i < count; ++i) {
        EncodeProgram(epg.program[i], program);
        update.Write(offset, kStoredProgramSize, program.data());
        offset += kStoredProgramSize;
    }
    kr_Print(0x53, "Store sdp info ...");
    std::array<uint8_t, kStoredStreamSize> stream{};
    for (int i = 0; i < count; ++i) {
        EncodeStream(epg.stream[i], stream);
        update.Write(offset, kStoredStreamSize, stream.data());
        offset += kStoredStreamSize;
    }
    std::array<uint8_t, kStoredLinkSize> link{};
    for (int i = 0; i < links; ++i) {
        EncodeLink(db.serviceLinks[i], link);
        update.Write(offset, kStoredLinkSize, link.data());
        offset += kStoredLinkSize;
    }
    update.SetCrc(kStoreEpgArea);

    offset = kStoredIconsOffset;
    std::array<uint8_t, kStoredIconSize> icon{};
    for (int i = 0; i < icons; ++i) {
        EncodeIcon(epg.icons[i], icon);
        update.Write(offset, kStoredIconSize, icon.data());
        offset += kStoredIconSize;
    }
    update.SetCrc(kStoreIconArea);
    update.Flush();
    kr_Print(0x52, "Store stream EPG success");
    return 0;
}

int32_t kr_LoadStoredEpg(LiveBuffer* live) {
    if (live == nullptr) return -1;
    ModuleLockGuard hold;
    if (LoadInto(live) == 0) return 0;
    live->state = kBufferFree;
    live->epg.programCount = 0;
    live->epg.iconCount = 0;
    return -1;
}

}  // namespace kr
