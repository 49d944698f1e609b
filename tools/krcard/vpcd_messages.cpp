#include "vpcd_messages.h"

#include <algorithm>
#include <stdexcept>

#include "common/settings.h"

namespace krcard {
namespace {

constexpr std::size_t kLengthSize = 2;
constexpr std::size_t kHostResponseSize = 256;

}  // namespace

bool VpcdReceiver::Take(std::span<const uint8_t> bytes, std::vector<Bytes>& out) {
    for (uint8_t b : bytes) {
        if (broken_) return false;
        pending_.push_back(b);
        if (pending_.size() < kLengthSize) continue;
        const std::size_t length = static_cast<std::size_t>(pending_[0]) << 8 | pending_[1];
        if (length == 0) {
            broken_ = true;
            pending_.clear();
            return false;
        }
        if (pending_.size() == kLengthSize + length) {
            out.emplace_back(pending_.begin() + kLengthSize, pending_.end());
            pending_.clear();
        }
    }
    return !broken_;
}

Bytes FrameMessage(std::span<const uint8_t> payload) {
    if (payload.size() > 0xFFFF) throw std::length_error("a vpcd message holds at most 65535 bytes");
    Bytes framed;
    framed.reserve(kLengthSize + payload.size());
    framed.push_back(static_cast<uint8_t>(payload.size() >> 8));
    framed.push_back(static_cast<uint8_t>(payload.size()));
    for (uint8_t b : payload)
        framed.push_back(b);
    return framed;
}

CardInReader::Answer CardInReader::Handle(const Bytes& message) {
    if (message.size() == 1) {
        uint8_t atr[64];
        uint32_t length = sizeof atr;
        switch (static_cast<VpcdControl>(message[0])) {
            case VpcdControl::PowerOff:
                return {std::nullopt, "power off"};
            case VpcdControl::PowerOn:
            case VpcdControl::Reset:
                // Either starts the card afresh: the MF selected, no PIN verified.
                (void)card_.Reset(atr, &length);
                return {std::nullopt, message[0] == 1 ? "power on" : "reset"};
            case VpcdControl::AnswerToReset:
                // Asked whenever the reader looks for its card: said nowhere.
                return {atr_, ""};
        }
        return {std::nullopt, "unknown control " + std::to_string(message[0]) + " ignored"};
    }
    uint8_t response[kHostResponseSize];
    auto length = static_cast<uint32_t>(message.size());
    Bytes reply;
    if (card_.Apdu(&length, message.data(), response) == 0 && length >= 2 &&
        length <= sizeof response) {
        reply.assign(response, response + length);
    } else {
        // The reader waits for an answer whatever happens: no precise diagnosis.
        reply = {0x6F, 0x00};
    }
    const std::size_t header = std::min<std::size_t>(message.size(), 4);
    const std::string line = krtools::HexText(std::span(message).first(header), ' ') + ", " +
                             std::to_string(message.size()) +
                             " bytes: " + krtools::HexText(std::span(reply).last(2), ' ');
    return {std::move(reply), line};
}

}  // namespace krcard
