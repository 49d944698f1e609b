#include "support/sysinfo_builder.h"

#include <algorithm>

namespace krtest {
namespace {

void PutLe32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> BuildSysinfoPayload(const SysinfoAnnouncement& a) {
    std::vector<uint8_t> out;
    PutLe32(out, a.magic);
    // Date and time of the announcement: not read by the receiver.
    for (uint32_t v : {2026u, 12u, 6u, 18u, 0u, 0u, 0u})
        PutLe32(out, v);
    std::string stamp = a.versionStamp;
    stamp.resize(14, '\0');
    out.insert(out.end(), stamp.begin(), stamp.end());
    out.resize(out.size() + 2 + 4, 0);
    PutLe32(out, a.epgPid);
    PutLe32(out, a.epgAddress);
    PutLe32(out, a.epgPort);
    PutLe32(out, a.declaredMessageLength.value_or(static_cast<uint32_t>(a.message.size())));
    out.insert(out.end(), a.message.begin(), a.message.end());
    return out;
}

std::vector<uint8_t> BuildBlockPayload(const Block& b) {
    std::vector<uint8_t> out;
    PutLe32(out, b.kind);
    PutLe32(out, 0);
    PutLe32(out, b.number);
    PutLe32(out, b.total);
    PutLe32(out, b.declaredLength.value_or(static_cast<uint32_t>(b.data.size())));
    PutLe32(out, 0);
    PutLe32(out, 0);
    out.insert(out.end(), b.data.begin(), b.data.end());
    return out;
}

std::vector<std::vector<uint8_t>> SplitIntoBlocks(const std::vector<uint8_t>& file,
                                                  uint32_t blockSize) {
    const auto total = static_cast<uint32_t>((file.size() + blockSize - 1) / blockSize);
    std::vector<std::vector<uint8_t>> blocks;
    for (uint32_t n = 0; n < total; ++n) {
        const size_t begin = size_t{n} * blockSize;
        const size_t end = std::min(file.size(), begin + blockSize);
        Block b;
        b.number = n + 1;
        b.total = total;
        b.data.assign(file.begin() + static_cast<std::ptrdiff_t>(begin),
                      file.begin() + static_cast<std::ptrdiff_t>(end));
        blocks.push_back(BuildBlockPayload(b));
    }
    return blocks;
}

}  // namespace krtest
