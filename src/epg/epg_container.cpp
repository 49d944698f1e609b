#include "epg/epg_container.h"

#include <cstring>

#include "core/byte_reader.h"
#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "epg/file_epg.h"
#include "epg/live_epg.h"
#include "epg/program_epg.h"
#include "epg/stored_epg.h"
#include "epg/text_syntax.h"

namespace kr {
namespace {

// Fixed part of the container before the directory.
constexpr uint32_t kContainerHead = 13;

struct KnownFile {
    const char* name;
    int slot;
    uint8_t type;
};

constexpr KnownFile kKnownFiles[] = {
    {"LiveEPG.txt", 0, kSlotLive},
    {"FileEPG.txt", 1, kSlotFile},
    {"ProgramEPG.txt", 2, kSlotProgram},
    {"ico\\ico.ini", 3, kSlotIconIni},
};

constexpr int kFirstIconSlot = 4;

// The live EPG the host gets next. Only the parser writes a published buffer's icons and
// programs (and it never does), so the caller may read them without the hand-over lock.
const LiveBuffer* CurrentLive() {
    return NewestLive();
}

bool SameIcon(const LiveBuffer* live, int index, const ContainerSlot& slot, const uint8_t* file) {
    if (live == nullptr || index >= live->epg.iconCount) return false;
    const IconInfo& icon = live->epg.icons[index];
    return icon.iconId == slot.iconId && icon.image.length == slot.length &&
           std::memcmp(icon.image.data, file, slot.length) == 0;
}

void StoreIcon(LiveEpg& epg, int index, const ContainerSlot& slot, const uint8_t* file) {
    IconInfo& icon = epg.icons[index];
    icon.iconId = slot.iconId;
    icon.image.reserved1 = 0;
    icon.image.reserved2 = 0;
    icon.image.reserved3 = 0;
    icon.image.reserved4 = 0;
    icon.image.length = static_cast<uint16_t>(slot.length);
    std::memcpy(icon.image.data, file, slot.length);
}

}  // namespace

int32_t kr_ParseIconName(const char* name, uint32_t* number) {
    char directory[16] = {};
    char file[16] = {};
    if (kr_SplitAtLast(name, '\\', directory, sizeof directory - 1, file, sizeof file) != 1 ||
        std::strcmp(directory, "ico") != 0) {
        return -7;
    }
    char stem[16] = {};
    char extension[16] = {};
    if (kr_SplitAtLast(file, '.', stem, sizeof stem - 1, extension, sizeof extension) != 1 ||
        std::strcmp(extension, "bmp") != 0) {
        return -7;
    }
    if (number != nullptr) *number = kr_DecimalValue(stem);
    return 0;
}

int32_t kr_ParseContainerDirectory(const uint8_t* container, uint32_t size,
                                   ContainerSlot (&slots)[kContainerSlots], uint64_t* contentBase) {
    ByteReader reader(container, size);
    if (reader.Le32() != kEpgContainerMagic || !reader.ok()) return 1;
    reader.Skip(1);
    const uint32_t directorySize = reader.Le32();
    const uint32_t fileCount = reader.Le32();
    if (!reader.ok()) return 1;
    const uint64_t base = uint64_t{kContainerHead} + directorySize;
    if (contentBase != nullptr) *contentBase = base;

    int icons = 0;
    // The reader fails at the first entry that does not fit, which ends the directory.
    for (uint32_t entry = 0; entry < fileCount && reader.ok(); ++entry) {
        const uint32_t nameLength = reader.Le32();
        const std::span<const uint8_t> nameBytes = reader.Bytes(nameLength);
        const uint32_t offset = reader.Le32();
        const uint32_t length = reader.Le32();
        if (!reader.ok()) break;
        if (icons == kMaxIcons) continue;  // six icons recorded: the rest is skipped
        // A file that does not lie inside the bytes received is skipped.
        if (base + offset + length > size) continue;

        char name[64] = {};
        std::memcpy(name, nameBytes.data(), nameLength < 63 ? nameLength : 63);

        bool known = false;
        for (const KnownFile& file : kKnownFiles) {
            if (std::strcmp(name, file.name) != 0) continue;
            ContainerSlot& slot = slots[file.slot];
            slot.type = file.type;
            std::memcpy(slot.name, name, sizeof slot.name);
            slot.offset = offset;
            slot.length = length;
            known = true;
            break;
        }
        uint32_t iconId = 0;
        if (!known && kr_ParseIconName(name, &iconId) == 0) {
            ContainerSlot& slot = slots[kFirstIconSlot + icons];
            slot.type = kSlotIcon;
            slot.iconId = iconId;
            std::memcpy(slot.name, name, sizeof slot.name);
            slot.offset = offset;
            slot.length = length;
            ++icons;
        }
    }
    return 0;
}

int32_t kr_ProcessEpgContainer(const uint8_t* container, uint32_t size) {
    ModuleLockGuard hold;
    ContainerSlot slots[kContainerSlots] = {};
    uint64_t base = 0;
    if (kr_ParseContainerDirectory(container, size, slots, &base) != 0) return -2;

    // A new live EPG is completed (icons, their links) before the host can fetch it; icons of a
    // container whose live EPG did not change go into a copy of the current one, so a live EPG
    // the host holds is never written. While the host holds the current one, the copy waits
    // for its next fetch, and a new live file may still take its buffer.
    LiveBuffer* live = nullptr;
    bool liveParsed = false;
    bool iconsDropped = false;
    int iconsStored = 0;
    for (const ContainerSlot& slot : slots) {
        if (slot.type == kSlotEmpty) continue;
        // The directory made sure that every file lies inside the container.
        const uint8_t* file = container + base + slot.offset;
        switch (slot.type) {
            case kSlotLive:
                if (kr_BuildLiveEpg(file, slot.length, &live) == 0) liveParsed = true;
                break;
            case kSlotFile:
                (void)kr_ParseFileEpg(file, slot.length);  // a new one raises its flag
                break;
            case kSlotProgram:
                (void)kr_ParseProgramEpg(file, slot.length);
                break;
            case kSlotIcon: {
                if (iconsStored >= kMaxIcons || slot.length > kIconMax) break;
                // An icon the current live EPG already has at this place needs no new buffer.
                if (live == nullptr && SameIcon(CurrentLive(), iconsStored, slot, file)) {
                    ++iconsStored;
                    break;
                }
                if (live == nullptr && !iconsDropped) live = kr_CopyCurrentLive();
                if (live == nullptr) {
                    iconsDropped = CurrentLive() != nullptr;
                    break;
                }
                StoreIcon(live->epg, iconsStored, slot, file);
                ++iconsStored;
                live->epg.iconCount = static_cast<uint8_t>(iconsStored);
                break;
            }
            default:
                break;
        }
    }
    // Icons that all matched, but fewer than the current live EPG has: it loses the rest.
    const LiveBuffer* unchanged = CurrentLive();
    if (live == nullptr && !iconsDropped && iconsStored > 0 && unchanged != nullptr &&
        unchanged->epg.iconCount != iconsStored) {
        live = kr_CopyCurrentLive();
        if (live != nullptr) live->epg.iconCount = static_cast<uint8_t>(iconsStored);
        iconsDropped = live == nullptr;
    }
    // The host holds both live buffers: the icons come again with the next EPG version.
    if (iconsDropped) kr_Print(0x52, "No unlock stream EPG, icons dropped.");
    if (live != nullptr) {
        kr_LinkIcons(live);
        PublishLive(live, liveParsed ? LiveSource::File : LiveSource::Icons);
    }
    // Also while the flag is still set from an earlier parse (the host has not fetched since).
    // The save only reads what the host's calls never write, so the host may fetch meanwhile.
    // A live EPG published here is saved even when the host fetched it (clearing the flag) at once.
    bool save = live != nullptr;
    {
        ShortLockGuard handOver(EpgHandOverLock());
        if (Epg().liveUpdated != 0) save = true;
    }
    const LiveBuffer* newest = save ? NewestLive() : nullptr;
    if (newest != nullptr) kr_SaveLiveEpg(newest);
    return 1;
}

}  // namespace kr
