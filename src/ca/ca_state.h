// What the conditional-access client knows of the card and of the CA broadcast. In memory only:
// rebuilt from the card at every insertion.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/platform.h"

namespace kr {

// The CA system id under which the head end announces this CA system.
constexpr uint16_t kCaSystemId = 0x4B52;

constexpr uint16_t kNoPid = 0x1FFF;
constexpr int kCardIdSize = 8;
constexpr int kEmmTypeCount = 10;
constexpr int kHistoryGroups = 5;
constexpr int kHistoryDepth = 5;

// Message-history groups.
constexpr uint8_t kHistoryBroadcastText = 0;
constexpr uint8_t kHistoryRedirection = 1;
constexpr uint8_t kHistoryEmmText = 4;

struct CaState {
    // Written by the host's card calls, read by the workers as they find them.
    std::atomic<uint8_t> cardInserted{0};
    std::atomic<uint8_t> cardReady{0};
    std::atomic<uint8_t> cardError{1};
    std::atomic<uint16_t> emmPid{kNoPid};
    std::atomic<uint8_t> cardRating{0};
    std::atomic<uint16_t> workStart{0};  // BCD hhmm
    std::atomic<uint16_t> workEnd{0};

    // The rest is guarded by `lock` (a short lock: copies only).
    ShortLock lock;
    uint8_t cardId[kCardIdSize] = {};  // kept after removal
    uint8_t lastEmmCrc[kEmmTypeCount][4] = {};
    uint32_t lastCommandSeq = 0;
    uint8_t lastBrdCrc[4] = {};
    uint32_t messageHistory[kHistoryGroups][kHistoryDepth] = {};
};

CaState& Ca();

// Serialises card insertion, removal and the EMM PID, which change the card state and the CA
// filters together. Taken before the card lock and before the module lock, never after them.
SlowLock& CardEventLock();

// The card id under the state's lock.
void CopyCardId(uint8_t out[kCardIdSize]);

// KR_YES when id is one of the group's remembered ids, else KR_NO.
int32_t kr_HistorySeen(uint8_t group, uint32_t id);
// Remembers id as the group's newest; the oldest falls out.
void kr_HistoryRemember(uint8_t group, uint32_t id);

}  // namespace kr
