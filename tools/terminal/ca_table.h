// The conditional-access table of the multiplex (PID 1): where a terminal learns the CA system
// the head end uses and the PID of its EMMs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "common/ca_section.h"
#include "report.h"

namespace krtools {

struct CaAnnouncement {
    uint16_t systemId = 0;
    uint16_t emmPid = 0;
};

// The CA descriptors of a whole, intact CA table section, in order; the first whose system the
// library accepts is the one to use. Empty for anything else.
std::optional<CaAnnouncement> FindOurCaSystem(std::span<const uint8_t> section,
                                              bool (*accepted)(uint16_t systemId));

// Watches the CA table on the input and gives the library the EMM PID of its CA system, once
// per change, saying so through report.
class CaTableWatch {
  public:
    explicit CaTableWatch(Report report = {}) : report_(std::move(report)) {}
    void OnSection(uint16_t pid, std::span<const uint8_t> section);

  private:
    Report report_;
    std::optional<uint16_t> current_;
};

}  // namespace krtools
