// The persistent store: a 0x20000-byte image in the host's store buffer, read once at start-up
// into a working copy, checked (and formatted when its head is unusable), updated in the working
// copy by the owners of its areas and handed back whole to the host after every update.
#pragma once

#include <cstdint>

#include "core/platform.h"

namespace kr {

constexpr uint32_t kStoreSize = 0x20000;

// Head: magic, version, native byte-order mark, reserved, three area CRCs, head CRC (CRCs
// big-endian). The head CRC covers bytes 0..27, area CRC fields included.
constexpr uint32_t kStoreMagicOffset = 0x00;
constexpr uint32_t kStoreVersionOffset = 0x06;
constexpr uint32_t kStoreByteOrderOffset = 0x07;
constexpr uint32_t kStoreHeadCrcOffset = 0x1C;
constexpr uint32_t kStoreHeadSize = 0x20;
constexpr uint8_t kStoreVersion = 0x10;
constexpr uint16_t kStoreByteOrderMark = 0xFFEE;
constexpr char kStoreMagic[6] = {'K', 'R', 'D', 'A', 'T', 'A'};

// One CRC-protected area: its bytes and the head field that holds their CRC-32.
struct StoreArea {
    uint32_t offset;
    uint32_t length;
    uint32_t crcOffset;
};

constexpr StoreArea kStoreCaArea{0x0020, 0x3FE0, 0x0010};
constexpr StoreArea kStoreEpgArea{0x4000, 0xC000, 0x0014};
constexpr StoreArea kStoreIconArea{0x10000, 0x10000, 0x0018};
// What a format clears at the start of the CA and EPG areas.
constexpr uint32_t kStoreCaHeadSize = 32;
constexpr uint32_t kStoreEpgHeadSize = 16;

// Start-up: allocate the working copy, obtain the host store, load, check, format when the
// check fails. 0 = ready (also after a format); 1 = no store (the module runs without one).
int32_t kr_StoreInit();
// Shut-down: release the working copy (no flush). Safe when the store never started.
int32_t kr_StoreFinish();

// Copies store bytes out of the working copy. -1 = nothing loaded (also after a format until the
// next start), 1 = offset + length beyond the store, -2 = null destination; 0 = copied.
int32_t kr_StoreRead(uint32_t offset, uint32_t length, uint8_t* destination);
// Copies bytes into the working copy, loaded or not. 1 = beyond the store or no working copy,
// -2 = null source; 0 = copied.
int32_t kr_StoreWrite(uint32_t offset, uint32_t length, const uint8_t* source);
// Writes the big-endian CRC-32 of bytes offset..offset+length-1 at crcOffset. 1 = a range beyond
// the store or no working copy; 0 = written.
int32_t kr_StoreSetCrc(uint32_t offset, uint32_t length, uint32_t crcOffset);
// Recomputes the head CRC and hands the whole working copy to the host. 1 = no usable host store
// (nothing done); 0 = handed over (or the host has no WriteStore).
int32_t kr_StoreFlush();

// The check of the loaded head and areas: 1 = head unreadable, head CRC or magic wrong; -1 =
// version or byte order wrong; 0 = usable (an area whose CRC disagrees has been emptied).
int32_t kr_StoreCheck();
// Clears the host's store buffer and writes a fresh head into the working copy. Start-up runs it
// after a failed check.
void kr_StoreFormat();

// Holds the module lock across one update sequence (writes, area CRCs, one flush), so that the
// sequences of the two writing threads never interleave and no flush hands the host an area
// whose CRC is not yet updated. Every writer wraps its sequence in one of these.
class StoreUpdate {
  public:
    StoreUpdate() = default;
    StoreUpdate(const StoreUpdate&) = delete;
    StoreUpdate& operator=(const StoreUpdate&) = delete;

    int32_t Write(uint32_t offset, uint32_t length, const uint8_t* source) {
        return kr_StoreWrite(offset, length, source);
    }
    int32_t SetCrc(const StoreArea& area) {
        return kr_StoreSetCrc(area.offset, area.length, area.crcOffset);
    }
    int32_t Flush() { return kr_StoreFlush(); }

  private:
    ModuleLockGuard lock_;
};

}  // namespace kr
