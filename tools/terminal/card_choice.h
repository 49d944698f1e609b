// What fills the terminal's card slot, as a user names it: a card profile (the virtual card,
// with its memory kept in a state file when one is given), "none" for an empty slot, or
// "pcsc[:READER]" for a real reader.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "card_reader.h"
#include "report.h"

namespace krtools {

// Null for "none". An empty choice is the default profile. Throws ToolError for a profile or
// state that cannot be read (or a state file given with a real reader), std::runtime_error
// when PC/SC cannot give the reader. What the card has to say later goes to report.
std::unique_ptr<CardReader> OpenCard(const std::string& choice,
                                     const std::filesystem::path& cardState,
                                     const std::filesystem::path& defaultProfile,
                                     const Report& report);

}  // namespace krtools
