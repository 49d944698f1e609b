#include "card/card_files.h"

#include "common/byte_writer.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace krtools {

namespace {

std::vector<uint8_t> PaddedName(const std::string& name) {
    std::vector<uint8_t> bytes(kCardNameSize, 0x00);
    for (std::size_t i = 0; i < name.size() && i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(name[i]);
    return bytes;
}

// The application's FCI: its file id and DF name.
std::vector<uint8_t> ApplicationFci() {
    constexpr std::string_view kDfName = "KRCA01";
    std::vector<uint8_t> fci = {0x6F, 0,    0x83, 0x02,
                                0xDF, 0x01, 0x84, static_cast<uint8_t>(kDfName.size())};
    for (const char c : kDfName)
        fci.push_back(static_cast<uint8_t>(c));
    fci[1] = static_cast<uint8_t>(fci.size() - 2);
    return fci;
}

// The terminal adds 3 to the code it reads, so the code is the rating less 3; "none" is 0.
uint8_t RatingCode(uint8_t rating) {
    return rating < 4 ? 0 : static_cast<uint8_t>(rating - 3);
}

}  // namespace

DedicatedFile* CardFiles::FindDf(uint16_t fid) {
    for (DedicatedFile& df : dfs)
        if (df.fid == fid) return &df;
    return nullptr;
}

ElementaryFile* CardFiles::Find(uint16_t df, uint8_t sfi) {
    return const_cast<ElementaryFile*>(std::as_const(*this).Find(df, sfi));
}

const ElementaryFile* CardFiles::Find(uint16_t df, uint8_t sfi) const {
    for (const DedicatedFile& d : dfs) {
        if (d.fid != df) continue;
        for (const ElementaryFile& ef : d.files)
            if (ef.sfi == sfi) return &ef;
    }
    return nullptr;
}

std::vector<uint8_t> EncodeEntitlements(const std::vector<Entitlement>& entitlements) {
    const std::size_t count = std::min(entitlements.size(), kMaxEntitlements);
    std::vector<uint8_t> file = {static_cast<uint8_t>(count)};
    for (std::size_t i = 0; i < count; ++i) {
        AppendBe16(file, entitlements[i].id);
        AppendBe32(file, entitlements[i].start);
        AppendBe32(file, entitlements[i].end);
    }
    file.resize(kEntitlementsFileSize, 0x00);
    return file;
}

std::vector<Entitlement> DecodeEntitlements(const std::vector<uint8_t>& file) {
    std::vector<Entitlement> entitlements;
    if (file.empty()) return entitlements;
    const std::size_t count =
        std::min<std::size_t>({file[0], kMaxEntitlements, (file.size() - 1) / kEntitlementSize});
    for (std::size_t i = 0; i < count; ++i) {
        const uint8_t* r = file.data() + 1 + i * kEntitlementSize;
        entitlements.push_back({ReadBe16(r), ReadBe32(r + 2), ReadBe32(r + 6)});
    }
    return entitlements;
}

CardFiles BuildCardFiles(const CardProfile& p) {
    const uint32_t records = std::clamp<uint32_t>(p.mailRecords, 1, kMaxMailRecords);
    CardFiles files;
    files.dfs.push_back({kMasterFile,
                         {},
                         {{kSfiCardId, UpdateRight::kNever, 0, {p.cardId.begin(), p.cardId.end()}},
                          {kSfiManufacturer, UpdateRight::kNever, 0, PaddedName(p.manufacturer)}}});
    files.dfs.push_back({kCaApplication,
                         ApplicationFci(),
                         {{kSfiOperator, UpdateRight::kNever, 0, PaddedName(p.operatorName)},
                          {kSfiRating, UpdateRight::kAfterPin, 0, {0x00, RatingCode(p.rating)}},
                          {kSfiViewingPeriod,
                           UpdateRight::kAfterPin,
                           0,
                           {p.viewingPeriod.begin(), p.viewingPeriod.end()}},
                          // Changed only by the operator's EMMs.
                          {kSfiEntitlements, UpdateRight::kNever, 0,
                           EncodeEntitlements(p.entitlements)},
                          {kSfiMail, UpdateRight::kAlways, kMailRecordSize,
                           std::vector<uint8_t>(records * kMailRecordSize, 0x00)}}});
    return files;
}

}  // namespace krtools
