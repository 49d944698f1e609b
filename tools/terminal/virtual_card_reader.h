// The virtual card of tools/card in the terminal's slot: it is there from start to end. With a
// state keeper, what the card writes is saved after every change.
#pragma once

#include <memory>
#include <utility>

#include "card/card_state_file.h"
#include "card/virtual_card.h"
#include "card_reader.h"

namespace krtools {

class VirtualCardReader final : public CardReader {
  public:
    explicit VirtualCardReader(std::unique_ptr<VirtualCard> card,
                               std::unique_ptr<CardStateKeeper> keeper = nullptr)
        : card_(std::move(card)), keeper_(std::move(keeper)) {}

    VirtualCard& card() { return *card_; }

    int32_t Reset(uint8_t* answerToReset, uint32_t* length) override {
        return card_->Reset(answerToReset, length);
    }
    int32_t Apdu(uint32_t* length, const uint8_t* command, uint8_t* response) override {
        return card_->Apdu(length, command, response);
    }
    bool CardPresent() override { return card_->IsInserted(); }

  private:
    std::unique_ptr<VirtualCard> card_;
    std::unique_ptr<CardStateKeeper> keeper_;  // destroyed first, the card unused then
};

}  // namespace krtools
