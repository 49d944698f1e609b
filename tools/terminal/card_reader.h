// The terminal's card slot: what answers the host's SmartcardReset and SmartcardApdu, and how
// it tells the terminal that a card came or went. Two kinds: the virtual card in memory and a
// real reader through PC/SC.
#pragma once

#include <cstdint>
#include <functional>

namespace krtools {

class CardReader {
  public:
    virtual ~CardReader() = default;

    // The host's two card slots: the answer to reset (at most *length bytes) and one exchange,
    // *length the command's length in and the response's out (at most 256 bytes). 0 = done.
    virtual int32_t Reset(uint8_t* answerToReset, uint32_t* length) = 0;
    virtual int32_t Apdu(uint32_t* length, const uint8_t* command, uint8_t* response) = 0;

    // Whether a card is in the slot now.
    virtual bool CardPresent() = 0;

    // From now on, calls changed (on a thread of the reader) whenever the card is inserted or
    // removed, until StopWatching returns. A slot whose card cannot change calls nothing.
    using Changed = std::function<void(bool inserted)>;
    virtual void Watch(Changed changed) { (void)changed; }
    virtual void StopWatching() {}
};

}  // namespace krtools
