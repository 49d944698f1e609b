// The virtual card's memory on disk: what it wrote (mails, rating, viewing period, entitlements,
// the PIN and its tries) kept between runs, as a real card keeps it without power. The profile
// describes the card as it left the factory; a state file, once written, wins over it.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "card/virtual_card.h"

namespace krtools {

// Loads a saved state into the card; false when the file does not exist. Throws ToolError for
// a file that cannot be read, is malformed, or belongs to another card.
bool LoadCardState(VirtualCard& card, const std::filesystem::path& path);

// Writes the card's state whole, through a new file renamed over the old one, so a run killed
// while writing leaves the previous state. Throws OutputError when it cannot be written.
void SaveCardState(const VirtualCard& card, const std::filesystem::path& path);

// Saves the state now and after every exchange that changes the card's memory, until the
// keeper is destroyed, which must not happen while the card is in an exchange. A failed save
// is reported through report and tried again at the next change.
class CardStateKeeper {
  public:
    using Report = std::function<void(const std::string& message)>;
    CardStateKeeper(VirtualCard& card, std::filesystem::path path, Report report);
    ~CardStateKeeper();
    CardStateKeeper(const CardStateKeeper&) = delete;
    CardStateKeeper& operator=(const CardStateKeeper&) = delete;

  private:
    void Save() const;

    VirtualCard& card_;
    std::filesystem::path path_;
    Report report_;
};

}  // namespace krtools
