// The numbered conditional-access messages the host shows on the screen ("no card", "outside
// the viewing hours", ...). The module names the condition; the host words it. At most one
// numbered message is shown at a time, and a condition that clears takes down only its own.
#pragma once

#include <cstdint>

namespace kr {

constexpr uint8_t kMessageRating = 0;
constexpr uint8_t kMessageWorkTime = 1;
constexpr uint8_t kMessageNoCard = 4;
constexpr uint8_t kMessageCardRefused = 8;
constexpr uint8_t kMessageCardUnusable = 9;
constexpr uint8_t kMessageAny = 0xFF;

// Nothing shown (at CA start).
void ResetMessageState();

// Shows the message unless it is the one shown (0xFF is never shown). 0.
int32_t kr_ShowMessage(uint8_t number);

// Takes the message down when it is the one shown (kMessageAny: whatever is shown). 0 taken down
// or nothing shown; 1 another message is shown and stays.
int32_t kr_HideMessage(uint8_t number);

// Takes down whatever is shown, without a diagnostic (CA stop). 0.
int32_t kr_DropMessage();

// The message on the screen, kMessageAny when none.
uint8_t CurrentMessage();

}  // namespace kr
