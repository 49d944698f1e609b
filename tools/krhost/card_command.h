// The terminal's card slot and the card command.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "card_reader.h"
#include "options.h"
#include "outcome.h"
#include "terminal.h"

namespace krhost {

// The card slot of --card: the virtual card of a profile (the sample card when none is given;
// with --card-state its saved memory is loaded over the profile and kept after every change),
// a PC/SC reader for "pcsc[:READER]", or null for "none". Throws krtools::ToolError for a
// profile or state that cannot be read, std::runtime_error when PC/SC cannot give the reader.
std::unique_ptr<CardReader> LoadCard(const HostOptions& options);

// Tells the started library whether a card is in the slot and says what it made of it, then
// reports every later insertion and removal to it until StopCardWatch; returns what
// krca_T2CA_CardInserted answered (KR_CARD_NOT_READY for an empty slot).
int32_t AnnounceCard(const Terminal& terminal);
// Before the library finishes.
void StopCardWatch(const Terminal& terminal);

Outcome RunCard(const HostOptions& options);

// Starts the library with the card in the slot and no input, announces the card, runs work
// with whether it is ready, and finishes the library.
void WithCardOnly(const HostOptions& options, const std::function<void(bool ready)>& work);

}  // namespace krhost
