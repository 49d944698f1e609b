// The host's card slot for programs with one virtual card: the host's slot functions take no
// context, so the card they reach is put in here.
#pragma once

#include <cstdint>

#include "card/virtual_card.h"

namespace krtools {

// nullptr empties the slot. Waits for a call in progress, so once it returns the card that was
// in the slot is no longer used.
void InsertIntoSlot(VirtualCard* card);

// Exactly the host's SmartcardReset and SmartcardApdu. An empty slot answers 1.
int32_t CardSlotReset(uint8_t* atr, uint32_t* length);
int32_t CardSlotApdu(uint32_t* length, const uint8_t* command, uint8_t* response);

}  // namespace krtools
