// The terminal's card slot and the card command.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "card/card_state_file.h"
#include "card/virtual_card.h"
#include "options.h"
#include "terminal.h"

namespace krhost {

// The virtual card of --card (the sample card when none is given); null for "none". Throws
// krtools::ToolError for a profile that cannot be read.
// With --card-state, the card's saved memory is loaded over its profile.
std::unique_ptr<krtools::VirtualCard> LoadCard(const HostOptions& options);
// With --card-state, saves the card's memory after every change while it lives; null without.
std::unique_ptr<krtools::CardStateKeeper> KeepCardState(const HostOptions& options,
                                                        krtools::VirtualCard* card);

// Tells the started library that the card in the slot is there and says what it made of it;
// returns what krca_T2CA_CardInserted answered (KR_CARD_NOT_READY for an empty slot).
int32_t AnnounceCard(const Terminal& terminal);

int RunCard(const HostOptions& options);

// Starts the library with the card in the slot and no input, announces the card, runs work
// with whether it is ready, and finishes the library; work's result.
int WithCardOnly(const HostOptions& options, const std::function<int(bool ready)>& work);

}  // namespace krhost
