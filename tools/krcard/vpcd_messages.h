// The messages between the virtual reader of pcscd (vpcd) and the card behind it: each a 2-byte
// big-endian length and that many bytes. A 1-byte message is a control (power off, power on,
// reset, send the answer to reset); a longer one is a command APDU, answered by the response
// APDU.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "card/virtual_card.h"

namespace krcard {

using Bytes = std::vector<uint8_t>;

enum class VpcdControl : uint8_t { PowerOff = 0, PowerOn = 1, Reset = 2, AnswerToReset = 4 };

// Splits what arrives from the socket, however it is cut, into messages.
class VpcdReceiver {
  public:
    // Appends the messages completed by bytes to out. False once a length is 0 (the stream is
    // not vpcd's); nothing more is taken after that.
    bool Take(std::span<const uint8_t> bytes, std::vector<Bytes>& out);
    // A message is started and not complete: a connection that ends now cut it.
    bool InsideMessage() const { return !pending_.empty(); }

  private:
    Bytes pending_;  // the length bytes and what has come of the message
    bool broken_ = false;
};

// A message as it goes on the socket; payloads above 65535 bytes cannot be sent (std::length_error).
Bytes FrameMessage(std::span<const uint8_t> payload);

// The virtual card as the card in the reader: what it answers to each message, and a line for
// the console about it.
class CardInReader {
  public:
    CardInReader(krtools::VirtualCard& card, Bytes answerToReset)
        : card_(card), atr_(std::move(answerToReset)) {}

    struct Answer {
        std::optional<Bytes> reply;  // what goes back to vpcd, if anything
        std::string line;            // what happened; empty for answer-to-reset requests
    };
    Answer Handle(const Bytes& message);

  private:
    krtools::VirtualCard& card_;
    Bytes atr_;
};

}  // namespace krcard
