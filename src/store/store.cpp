#include "store/store.h"

#include <krmodule/krmodule.h>

#include <cstring>

#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/host.h"
#include "core/log.h"

namespace kr {
namespace {

// Module state, read and changed under the module lock only.
uint8_t* storeWorkingCopy = nullptr;
int32_t storeSize = 0;
uintptr_t storeAddress = 0;
bool storePresent = false;  // the host store is usable: flushes are allowed
bool storeLoaded = false;   // the working copy passed the check: reads are allowed

// offset + length as a 32-bit sum, with the sum exactly kStoreSize allowed and a sum that
// does not fit in 32 bits refused.
bool InStore(uint32_t offset, uint32_t length) {
    return length <= kStoreSize && offset <= kStoreSize - length;
}

void ReleaseWorkingCopy() {
    FreeMem(storeWorkingCopy);
    storeWorkingCopy = nullptr;
}

// An area whose bytes disagree with its CRC field is emptied; the field stays as it is.
void CheckArea(const StoreArea& area, const char* message) {
    const uint32_t stored = ReadBe32(storeWorkingCopy, area.crcOffset);
    if (Crc32(storeWorkingCopy + area.offset, area.length) == stored) return;
    kr_Print(0x62, "%s", message);
    std::memset(storeWorkingCopy + area.offset, 0, area.length);
}

}  // namespace

int32_t kr_StoreInit() {
    ModuleLockGuard lock;
    kr_Print(0x61, "Data init start");
    storeSize = 0;
    storeAddress = 0;
    storePresent = false;
    storeLoaded = false;
    // A start-up without a shut-down in between must not leak the previous copy.
    ReleaseWorkingCopy();

    storeWorkingCopy = static_cast<uint8_t*>(AllocMem(kStoreSize));
    if (storeWorkingCopy == nullptr) {
        kr_Print(0x62, "Data buffer malloc faild.");
        return 1;
    }
    // Zeroed, so that a host that reads less than the whole store (or offers no ReadStore)
    // never gets heap garbage back at the next flush.
    std::memset(storeWorkingCopy, 0, kStoreSize);

    const HostCallbacks& host = Host();
    if (host.GetStoreBuffer != nullptr) {
        uint32_t size = 0;
        uintptr_t address = 0;
        const int32_t result = host.GetStoreBuffer(&size, &address);
        storeSize = static_cast<int32_t>(size);
        storeAddress = address;
        if (result != 0) {
            kr_Print(0x62, "Get store buffer failed.");
            storePresent = false;
            return 1;
        }
    }
    if (storeAddress == 0 || storeSize < static_cast<int32_t>(kStoreSize)) {
        kr_Print(0x62, "No enough store buffer.");
        storePresent = false;
        return 1;
    }

    storePresent = true;
    if (host.ReadStore != nullptr) {
        uint32_t length = kStoreSize;
        (void)host.ReadStore(storeAddress, &length, storeWorkingCopy);
        storeLoaded = true;
    }
    if (kr_StoreCheck() != 0) {
        storeLoaded = false;
        kr_StoreFormat();
    }
    kr_Print(0x61, "Data init finish");
    return 0;
}

int32_t kr_StoreFinish() {
    ModuleLockGuard lock;
    ReleaseWorkingCopy();
    storePresent = false;
    storeLoaded = false;
    return 0;
}

int32_t kr_StoreRead(uint32_t offset, uint32_t length, uint8_t* destination) {
    ModuleLockGuard lock;
    if (!storeLoaded || storeWorkingCopy == nullptr) return -1;
    if (!InStore(offset, length)) return 1;
    if (length == 0) return 0;
    if (destination == nullptr) return KR_NULL_ARG;
    std::memcpy(destination, storeWorkingCopy + offset, length);
    return 0;
}

int32_t kr_StoreWrite(uint32_t offset, uint32_t length, const uint8_t* source) {
    ModuleLockGuard lock;
    // Without a working copy the writers' updates are refused and go nowhere.
    if (storeWorkingCopy == nullptr) return 1;
    if (!InStore(offset, length)) return 1;
    if (length == 0) return 0;
    if (source == nullptr) return KR_NULL_ARG;
    std::memmove(storeWorkingCopy + offset, source, length);
    return 0;
}

int32_t kr_StoreSetCrc(uint32_t offset, uint32_t length, uint32_t crcOffset) {
    ModuleLockGuard lock;
    if (storeWorkingCopy == nullptr) return 1;
    if (!InStore(offset, length) || !InStore(crcOffset, 4)) return 1;
    WriteBe32(storeWorkingCopy, crcOffset, Crc32(storeWorkingCopy + offset, length));
    return 0;
}

int32_t kr_StoreFlush() {
    ModuleLockGuard lock;
    if (!storePresent || storeWorkingCopy == nullptr) return 1;
    (void)kr_StoreSetCrc(0, kStoreHeadCrcOffset, kStoreHeadCrcOffset);
    const KrWriteStoreFn write = Host().WriteStore;
    if (write != nullptr) {
        uint32_t length = kStoreSize;
        (void)write(storeAddress, &length, storeWorkingCopy);
    }
    return 0;
}

int32_t kr_StoreCheck() {
    ModuleLockGuard lock;
    uint8_t head[kStoreHeadSize];
    if (kr_StoreRead(0, kStoreHeadSize, head) != 0) return 1;
    if (Crc32(head, kStoreHeadCrcOffset) != ReadBe32(head, kStoreHeadCrcOffset)) {
        kr_Print(0x62, "Store data head CRC error!");
        return 1;
    }
    if (std::memcmp(head + kStoreMagicOffset, kStoreMagic, sizeof kStoreMagic) != 0) {
        kr_Print(0x62, "Invalid Stored data head.");
        return 1;
    }
    if (head[kStoreVersionOffset] != kStoreVersion) {
        kr_Print(0x62, "Invalid store data version.");
        return -1;
    }
    uint16_t mark = 0;
    std::memcpy(&mark, head + kStoreByteOrderOffset, sizeof mark);
    if (mark != kStoreByteOrderMark) {
        kr_Print(0x62, "Invalid Stored data endian order.");
        return -1;
    }
    CheckArea(kStoreCaArea, "CA data CRC error!");
    CheckArea(kStoreEpgArea, "EPG data CRC error!");
    CheckArea(kStoreIconArea, "Icon data CRC error!");
    return 0;
}

void kr_StoreFormat() {
    ModuleLockGuard lock;
    if (storeWorkingCopy == nullptr || storeAddress == 0) return;
    kr_Print(0x62, "Store KRDATA head ...");
    // The host hands out its buffer's address for this: the format clears it in place.
    std::memset(reinterpret_cast<uint8_t*>(storeAddress), 0, kStoreSize);
    // Only the head and the heads of the CA and EPG areas are written. Every other byte (the
    // reserved head bytes, the area CRC fields, the areas) keeps what was read, so an area whose
    // CRC still matches its bytes comes back at the next start; one that does not is emptied
    // then.
    std::memcpy(storeWorkingCopy + kStoreMagicOffset, kStoreMagic, sizeof kStoreMagic);
    kr_Print(0x63, "Store version, endian order ...");
    storeWorkingCopy[kStoreVersionOffset] = kStoreVersion;
    const uint16_t mark = kStoreByteOrderMark;
    std::memcpy(storeWorkingCopy + kStoreByteOrderOffset, &mark, sizeof mark);
    std::memset(storeWorkingCopy + kStoreCaArea.offset, 0, kStoreCaHeadSize);
    std::memset(storeWorkingCopy + kStoreEpgArea.offset, 0, kStoreEpgHeadSize);
    // No CRC here: the next flush writes the head CRC.
}

}  // namespace kr
