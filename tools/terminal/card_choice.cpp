#include "card_choice.h"

#include <algorithm>

#include "card/card_profile.h"
#include "card/card_state_file.h"
#include "common/file_io.h"
#include "pcsc_card.h"
#include "virtual_card_reader.h"

namespace krtools {

std::unique_ptr<CardReader> OpenCard(const std::string& choice,
                                     const std::filesystem::path& cardState,
                                     const std::filesystem::path& defaultProfile,
                                     const Report& report) {
    if (choice == "none") return nullptr;
    if (choice == "pcsc" || choice.starts_with("pcsc:")) {
        if (!cardState.empty())
            throw ToolError(
                "--card-state keeps the virtual card's memory; a card in a reader keeps its own");
        return OpenPcscReader(choice.substr(std::min<std::size_t>(choice.size(), 5)), report);
    }
    const std::filesystem::path profile =
        choice.empty() ? defaultProfile : std::filesystem::path(choice);
    auto card = std::make_unique<VirtualCard>(ReadCardProfile(profile));
    std::unique_ptr<CardStateKeeper> keeper;
    if (!cardState.empty()) {
        (void)LoadCardState(*card, cardState);
        keeper = std::make_unique<CardStateKeeper>(
            *card, cardState, [report](const std::string& message) {
                if (report) report("card: " + message);
            });
    }
    return std::make_unique<VirtualCardReader>(std::move(card), std::move(keeper));
}

}  // namespace krtools
