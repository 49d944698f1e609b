// Runs one input through the parsers of the sections the head end sends for the conditional-access
// client, with a ready card in the slot. Shared by the fuzz target and the unit tests.
//
// Input: a selector byte, then the section. Selector bits 0-1 pick the parser: EMM, broadcast
// data, service map, ECM. For an ECM, the service its ids name is in the map and started unless
// bit 2 is set. For the others, bit 7 means that the card's answer to its CA command comes from
// the input: a length byte and that many bytes (cut short at the end of the input) before the
// section. Each input starts from a card without history, an empty mail store and an empty
// service map, so that every finding replays alone.
#pragma once

#include <cstddef>
#include <cstdint>

namespace krfuzz {

// What the inputs so far made the module do at the host and the card.
struct CaReach {
    std::size_t texts = 0;         // texts shown
    std::size_t mails = 0;         // mails the card stored
    std::size_t redirections = 0;  // services the host was sent to
    std::size_t cardCommands = 0;  // CA commands the card received
    std::size_t controlWords = 0;  // control words set at the descrambler
};

// The host's slots (the fake card among them) and the intake that ECM filters need. false when
// the intake does not start.
bool StartCaMessages();
// Intake stopped, host slots cleared, no card.
void FinishCaMessages();

void RunCaMessagesInput(const uint8_t* data, std::size_t size);

const CaReach& CaMessagesReach();

}  // namespace krfuzz
