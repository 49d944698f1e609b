// For input read faster than it was broadcast: a new ECM's keys reach the descrambler before
// the input goes on, as a receiver that gets the stream in real time would have them, because
// they open the packets that follow it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <unordered_map>

#include "common/cissa.h"

namespace krhost {

class EcmPacing {
  public:
    explicit EcmPacing(const krtools::DescramblerTable& table) : table_(table) {}

    // Hands the section on through send. After an ECM that differs from the PID's last one, waits
    // until the descrambler's keys change or the card's time is up. A time-out stops the waits
    // until the keys change again, so a refused service costs one wait, not one per ECM.
    void Pass(uint16_t pid, std::span<const uint8_t> section, const std::function<void()>& send);

    // ECMs carry table id 0x80 or 0x81, by the parity of the word they bring first.
    static bool IsEcm(std::span<const uint8_t> section);

  private:
    const krtools::DescramblerTable& table_;
    std::unordered_map<uint16_t, uint32_t> lastCrc_;
    std::optional<uint64_t> gaveUpAt_;  // the table's changes when a wait timed out
};

}  // namespace krhost
