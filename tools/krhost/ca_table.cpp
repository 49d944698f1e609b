#include "ca_table.h"

#include <krmodule/krmodule.h>

#include <cstdio>
#include <string>

#include "common/section_builder.h"
#include "progress.h"

namespace krhost {
namespace {

constexpr uint8_t kCaDescriptorTag = 0x09;
constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kCrcSize = 4;

bool LibraryAccepts(uint16_t systemId) {
    return krca_T2CA_VerifySystemId(systemId) == KR_OK;
}

std::string Hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

}  // namespace

std::optional<CaAnnouncement> FindOurCaSystem(std::span<const uint8_t> section,
                                              bool (*accepted)(uint16_t systemId)) {
    if (section.size() < kHeaderSize + kCrcSize || section[0] != kCaTableId) return std::nullopt;
    const std::size_t length = 3u + ((section[1] & 0x0Fu) << 8 | section[2]);
    if (length != section.size()) return std::nullopt;
    const std::size_t end = length - kCrcSize;
    const uint32_t crc = static_cast<uint32_t>(section[end]) << 24 |
                         static_cast<uint32_t>(section[end + 1]) << 16 |
                         static_cast<uint32_t>(section[end + 2]) << 8 | section[end + 3];
    if (krtools::SectionCrc(section.data(), end) != crc) return std::nullopt;
    for (std::size_t at = kHeaderSize; at + 2 <= end;) {
        const uint8_t tag = section[at];
        const std::size_t size = section[at + 1];
        if (at + 2 + size > end) break;
        if (tag == kCaDescriptorTag && size >= 4) {
            const uint8_t* body = section.data() + at + 2;
            CaAnnouncement found;
            found.systemId = static_cast<uint16_t>(body[0] << 8 | body[1]);
            found.emmPid = static_cast<uint16_t>((body[2] & 0x1F) << 8 | body[3]);
            if (accepted(found.systemId)) return found;
        }
        at += 2 + size;
    }
    return std::nullopt;
}

void CaTableWatch::OnSection(uint16_t pid, std::span<const uint8_t> section) {
    if (pid != kCaTablePid) return;
    const std::optional<CaAnnouncement> ours = FindOurCaSystem(section, LibraryAccepts);
    if (!ours || current_ == ours->emmPid) return;
    current_ = ours->emmPid;
    SayEvent("ca", "ca: system " + Hex(ours->systemId, 4) + ", EMMs on PID " + Hex(ours->emmPid, 4),
             "\"systemId\":" + std::to_string(ours->systemId) +
                 ",\"emmPid\":" + std::to_string(ours->emmPid));
    (void)krca_T2CA_SetEmmPids(1, &ours->emmPid);
}

}  // namespace krhost
