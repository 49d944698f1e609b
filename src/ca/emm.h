// EMMs addressed to the inserted card: message EMMs (mails and short texts) and card-command
// EMMs (handed to the card, whose answer lists the commands the module then runs on it).
#pragma once

#include <cstdint>

namespace kr {

// A checked EMM section. -1 no card ready; KR_NOT_THIS_CARD; 1 the same section as the last of
// its type; -3 too short for its header; else 0.
int32_t kr_EmmParse(const uint8_t* section, uint32_t length);

// The record area of a message EMM. 0, or the mail store's first result other than 0 and
// KR_NO_UPDATE (the EMM is then taken again when it comes round).
int32_t kr_EmmMessages(const uint8_t* records, uint32_t length);

// The body of a card-command EMM (section byte 19 to the CRC) and the command parameter. 0;
// KR_NO_UPDATE its sequence was carried out; -1 the body does not hold its entries, is too long
// or the card refused it; 1 a card transaction failed (nothing recorded: the EMM is carried out
// when it comes round).
int32_t kr_EmmCardCommands(const uint8_t* body, uint32_t length, uint8_t parameter);

}  // namespace kr
