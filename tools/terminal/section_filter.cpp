#include "terminal/section_filter.h"

#include <algorithm>

namespace krtools {

bool FilterMatches(const SectionFilterParams& filter, uint16_t pid,
                   std::span<const uint8_t> section) {
    if ((filter.pid & 0x1FFF) != (pid & 0x1FFF)) return false;
    for (std::size_t i = 0; i < sizeof filter.mask; ++i) {
        if (filter.mask[i] == 0) continue;
        if (i >= section.size()) return false;
        if (((section[i] ^ filter.match[i]) & filter.mask[i]) != 0) return false;
    }
    return true;
}

void SectionFilterTable::Set(uint32_t requestId, const SectionFilterParams& params) {
    std::lock_guard lock(mutex_);
    std::erase_if(filters_, [requestId](const Entry& e) { return e.requestId == requestId; });
    filters_.push_back({requestId, params});
}

std::optional<uint16_t> SectionFilterTable::Stop(uint32_t requestId) {
    std::lock_guard lock(mutex_);
    const auto found = std::find_if(filters_.begin(), filters_.end(),
                                    [requestId](const Entry& e) { return e.requestId == requestId; });
    if (found == filters_.end()) return std::nullopt;
    const auto pid = static_cast<uint16_t>(found->params.pid & 0x1FFF);
    filters_.erase(found);
    return pid;
}

std::vector<uint32_t> SectionFilterTable::Match(uint16_t pid,
                                                std::span<const uint8_t> section) const {
    std::vector<uint32_t> ids;
    std::lock_guard lock(mutex_);
    for (const Entry& e : filters_)
        if (FilterMatches(e.params, pid, section)) ids.push_back(e.requestId);
    return ids;
}

bool SectionFilterTable::WantsPid(uint16_t pid) const {
    std::lock_guard lock(mutex_);
    return std::any_of(filters_.begin(), filters_.end(),
                       [pid](const Entry& e) { return (e.params.pid & 0x1FFF) == (pid & 0x1FFF); });
}

std::size_t SectionFilterTable::size() const {
    std::lock_guard lock(mutex_);
    return filters_.size();
}

std::vector<uint32_t> SectionFilterTable::ids() const {
    std::lock_guard lock(mutex_);
    std::vector<uint32_t> result;
    result.reserve(filters_.size());
    for (const Entry& e : filters_)
        result.push_back(e.requestId);
    return result;
}

}  // namespace krtools
