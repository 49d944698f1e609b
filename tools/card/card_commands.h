// What the card answers to one command: the routing by CLA, INS and P1 and the handlers. Knows
// nothing of threads or of the host's buffers; the virtual card wraps it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "card/card_files.h"
#include "card/card_profile.h"

namespace krtools {

constexpr std::size_t kMaxPinSize = 8;

struct CardState {
    explicit CardState(const CardProfile& profile);

    // Kept in the card's memory.
    CardFiles files;
    std::vector<uint8_t> pin;
    uint8_t pinTries = 3;  // the most, restored by a right PIN
    uint8_t pinTriesLeft = 3;
    uint8_t version = 0x10;  // major << 4 | minor
    std::optional<AesKey> operatorKey;
    CwRequests cwRequests = CwRequests::kBoth;
    // The EMM WRITE commands the last EMM COMMAND answered with, each good once. A reset keeps
    // them: the terminal may reset the card between asking and writing.
    std::vector<std::vector<uint8_t>> authorisedWrites;
    // Grows with every change of what the card keeps without power: an EF, the PIN or its
    // tries, so that a copy of the card's memory knows when to be written again.
    uint64_t changes = 0;

    // The session, which a reset ends.
    uint16_t selectedDf = kMasterFile;
    bool pinVerified = false;
    std::vector<uint8_t> pending;  // for GET RESPONSE

    void EndSession();
};

// The response to a whole command: data, then SW1 SW2. Any bytes get an answer; the data never
// exceed kMaxResponseData.
std::vector<uint8_t> AnswerCommand(CardState& state, std::span<const uint8_t> command);

}  // namespace krtools
