#include "card/card_slot.h"

#include <mutex>

namespace krtools {

namespace {

std::mutex slotMutex;
VirtualCard* slotCard = nullptr;

}  // namespace

void InsertIntoSlot(VirtualCard* card) {
    std::lock_guard<std::mutex> lock(slotMutex);
    slotCard = card;
}

int32_t CardSlotReset(uint8_t* atr, uint32_t* length) {
    std::lock_guard<std::mutex> lock(slotMutex);
    return slotCard != nullptr ? slotCard->Reset(atr, length) : 1;
}

// The card writes at most 256 bytes, the size of the host's response buffer.
int32_t CardSlotApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    std::lock_guard<std::mutex> lock(slotMutex);
    return slotCard != nullptr ? slotCard->Apdu(length, command, response) : 1;
}

}  // namespace krtools
