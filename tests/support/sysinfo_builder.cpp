#include "support/sysinfo_builder.h"

#include "common/byte_writer.h"

namespace krtest {

using krtools::AppendLe32;

std::vector<uint8_t> BuildSysinfoPayload(const SysinfoAnnouncement& a) {
    std::vector<uint8_t> out;
    AppendLe32(out, a.magic);
    // Date and time of the announcement: not read by the receiver.
    for (uint32_t v : {2026u, 12u, 6u, 18u, 0u, 0u, 0u})
        AppendLe32(out, v);
    std::string stamp = a.versionStamp;
    stamp.resize(14, '\0');
    out.insert(out.end(), stamp.begin(), stamp.end());
    out.resize(out.size() + 2 + 4, 0);
    AppendLe32(out, a.epgPid);
    AppendLe32(out, a.epgAddress);
    AppendLe32(out, a.epgPort);
    AppendLe32(out, a.declaredMessageLength.value_or(static_cast<uint32_t>(a.message.size())));
    out.insert(out.end(), a.message.begin(), a.message.end());
    return out;
}

std::vector<uint8_t> BuildBlockPayload(const Block& b) {
    std::vector<uint8_t> out;
    AppendLe32(out, b.kind);
    AppendLe32(out, 0);
    AppendLe32(out, b.number);
    AppendLe32(out, b.total);
    AppendLe32(out, b.declaredLength.value_or(static_cast<uint32_t>(b.data.size())));
    AppendLe32(out, 0);
    AppendLe32(out, 0);
    out.insert(out.end(), b.data.begin(), b.data.end());
    return out;
}

}  // namespace krtest
