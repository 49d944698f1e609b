// Section filters as a hardware demultiplexer applies them: a PID and 16 match and mask bytes
// over section bytes 0..15. Filters are set and stopped by request id; a section may match
// several filters and is then delivered once per request.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace krtools {

// True when the section is on the filter's PID and every mask bit of bytes 0..15 agrees with
// match. A mask bit over a byte the section does not have never agrees.
bool FilterMatches(const SectionFilterParams& filter, uint16_t pid,
                   std::span<const uint8_t> section);

// The running filters. Safe to change from one thread while another matches sections.
class SectionFilterTable {
  public:
    // Starts a filter; a filter already running under the id is replaced.
    void Set(uint32_t requestId, const SectionFilterParams& params);
    // Stops the filter: the PID it was on; none when no filter runs under the id.
    std::optional<uint16_t> Stop(uint32_t requestId);

    // Ids of the matching filters, in the order they were set.
    std::vector<uint32_t> Match(uint16_t pid, std::span<const uint8_t> section) const;
    bool WantsPid(uint16_t pid) const;
    std::size_t size() const;
    // Ids of the running filters, in the order they were set.
    std::vector<uint32_t> ids() const;

  private:
    struct Entry {
        uint32_t requestId;
        SectionFilterParams params;
    };
    mutable std::mutex mutex_;
    std::vector<Entry> filters_;
};

}  // namespace krtools
