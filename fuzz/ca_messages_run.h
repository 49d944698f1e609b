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
    std::size_t refusals = 0;      // ECMs whose words the card's answer did not give
};

// The host's slots (the fake card among them) and the intake that ECM filters need. false when
// the intake does not start.
bool StartCaMessages();
// Intake stopped, host slots cleared, no card.
void FinishCaMessages();

void RunCaMessagesInput(const uint8_t* data, std::size_t size);

// One ECM against a card whose every answer comes from the input, with the refusal branches and
// their pauses (left out by the fuzz build) reachable. Input: flags (bit 0 no card, bit 1 the
// service is not in the map, bit 2 it is not started, bit 3 the card's exchanges for the words
// fail), the card's way of answering the words command (bits 0-1: 61 xx and GET RESPONSE, the
// words at once with 90 00, a bare status, the words with the status given; bit 2 GET RESPONSE
// fails with the status given; bits 3-7: bytes the card sends after its status), the status
// (2 bytes), the answer's length and bytes, the service's rating byte in the map, the card's
// viewing hours (4 bytes, BCD) and rating, then the ECM section, handled twice. false when words
// other than the ones the card answered reached the descrambler.
bool RunEcmInput(const uint8_t* data, std::size_t size);

const CaReach& CaMessagesReach();

}  // namespace krfuzz
