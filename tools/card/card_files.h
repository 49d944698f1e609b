// The file tree of the subscriber card: the master file with the card's own EFs, and the CA
// application DF with the subscriber's settings and the mail store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "card/card_profile.h"

namespace krtools {

constexpr uint16_t kMasterFile = 0x3F00;
constexpr uint16_t kCaApplication = 0xDF01;

// The EFs by SFI.
constexpr uint8_t kSfiCardId = 16;        // MF, 8 bytes
constexpr uint8_t kSfiManufacturer = 17;  // MF, 64 bytes ASCII, NUL-padded
constexpr uint8_t kSfiOperator = 3;       // DF01, 64 bytes ASCII, NUL-padded
constexpr uint8_t kSfiRating = 4;         // DF01, 0x00 and the rating code
constexpr uint8_t kSfiViewingPeriod = 5;  // DF01, start hour, minute, end hour, minute
constexpr uint8_t kSfiEntitlements = 6;   // DF01, count, then records of kEntitlementSize
constexpr uint8_t kSfiMail = 12;          // DF01, records of kMailRecordSize bytes

constexpr std::size_t kMailRecordSize = 140;
constexpr std::size_t kEntitlementSize = 10;  // id u16, start u32, end u32, big-endian
constexpr std::size_t kEntitlementsFileSize = 1 + kMaxEntitlements * kEntitlementSize;
// A response carries at most this many data bytes before SW1 SW2 in the host's 256-byte buffer.
constexpr std::size_t kMaxResponseData = 254;

enum class UpdateRight { kAlways, kAfterPin, kNever };

struct ElementaryFile {
    uint8_t sfi = 0;
    UpdateRight update = UpdateRight::kAlways;
    std::size_t recordSize = 0;  // 0: a transparent EF
    // Transparent: the contents. Records: record n (from 1) at (n - 1) * recordSize.
    std::vector<uint8_t> data;

    std::size_t RecordCount() const { return recordSize == 0 ? 0 : data.size() / recordSize; }
};

struct DedicatedFile {
    uint16_t fid = 0;
    std::vector<uint8_t> fci;  // what SELECT leaves for GET RESPONSE; empty: nothing
    std::vector<ElementaryFile> files;
};

struct CardFiles {
    std::vector<DedicatedFile> dfs;

    DedicatedFile* FindDf(uint16_t fid);
    ElementaryFile* Find(uint16_t df, uint8_t sfi);
    const ElementaryFile* Find(uint16_t df, uint8_t sfi) const;
};

CardFiles BuildCardFiles(const CardProfile& profile);

// The entitlements EF as the card holds it, and back. Reading trusts neither the count nor the
// size: a file replaced by a test may be short.
std::vector<uint8_t> EncodeEntitlements(const std::vector<Entitlement>& entitlements);
std::vector<Entitlement> DecodeEntitlements(const std::vector<uint8_t>& file);

}  // namespace krtools
