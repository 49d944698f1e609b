#include "ecm_pacing.h"

#include <chrono>

namespace krhost {

namespace {

// The library asks the card in two or three exchanges; a reader answers within this.
constexpr auto kCardAnswerLimit = std::chrono::milliseconds(300);
constexpr std::size_t kCrcSize = 4;

}  // namespace

bool EcmPacing::IsEcm(std::span<const uint8_t> section) {
    return section.size() > kCrcSize && (section[0] & 0xFE) == 0x80;
}

void EcmPacing::Pass(uint16_t pid, std::span<const uint8_t> section,
                     const std::function<void()>& send) {
    if (!IsEcm(section)) {
        send();
        return;
    }
    const std::span<const uint8_t> crc = section.last(kCrcSize);
    const uint32_t value = static_cast<uint32_t>(crc[0] << 24 | crc[1] << 16 | crc[2] << 8 | crc[3]);
    const auto [last, inserted] = lastCrc_.try_emplace(pid, value);
    const bool repeated = !inserted && last->second == value;
    last->second = value;
    const uint64_t before = table_.Changes();
    send();
    if (repeated || gaveUpAt_ == before) return;
    if (!table_.AwaitChange(before, std::chrono::steady_clock::now() + kCardAnswerLimit))
        gaveUpAt_ = before;
}

}  // namespace krhost
