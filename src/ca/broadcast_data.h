// Broadcast data: texts and redirections for groups of subscribers, addressed by a card-id
// pattern, each handed to the host once per message id.
#pragma once

#include <cstdint>

namespace kr {

// A checked broadcast data section. 0; -1 null; KR_NO_UPDATE the same section as the last; -3
// too short for its header; -5 the descriptor area is shorter than 8 bytes.
int32_t kr_BrdParse(const uint8_t* section, uint32_t length);

// KR_YES when the card id, masked, equals the masked address, else KR_NO.
int32_t kr_CardAddressMatch(const uint8_t* address, const uint8_t* mask);

}  // namespace kr
