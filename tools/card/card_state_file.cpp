#include "card/card_state_file.h"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <system_error>

#include "card/card_files.h"
#include "common/file_io.h"
#include "common/settings.h"

namespace krtools {

namespace {

// The card's own EFs (its id, its maker) never change; the CA application's all may, by the
// terminal's updates or the operator's EMM writes.
bool Kept(const VirtualCard::FileId& id) {
    return id.df == kCaApplication;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    return HexText(bytes);
}

std::string EfKey(const VirtualCard::FileId& id) {
    char key[16];
    std::snprintf(key, sizeof key, "ef %04X %02X", id.df, id.sfi);
    return key;
}

std::vector<uint8_t> HexValue(const std::string& value) {
    std::vector<uint8_t> bytes;
    if (!ParseHexBytes(value, bytes)) throw ToolError("'" + value + "' is not hex bytes");
    return bytes;
}

}  // namespace

bool LoadCardState(VirtualCard& card, const std::filesystem::path& path) {
    std::error_code error;
    if (!std::filesystem::exists(path, error)) return false;
    const std::vector<uint8_t> bytes = ReadWholeFile(path);
    const std::string text(bytes.begin(), bytes.end());
    const std::vector<uint8_t> cardId = card.File(kMasterFile, kSfiCardId);
    bool sameCard = false;
    ReadSettings(text, "card state " + path.string(),
                 [&](const std::string& key, const std::string& value) {
        if (key == "card-id") {
            if (HexValue(value) != cardId)
                throw ToolError("it belongs to card " + value + ", not to " + Hex(cardId));
            sameCard = true;
            return;
        }
        if (!sameCard) throw ToolError("'card-id' must come first");
        try {
            if (key == "pin") {
                card.SetPin(HexValue(value));
            } else if (key == "pin-tries-left") {
                const auto tries = ParseDecimal(value, 255);
                if (!tries) throw ToolError("bad value for 'pin-tries-left': '" + value + "'");
                card.SetPinTriesLeft(static_cast<uint8_t>(*tries));
            } else {
                for (const VirtualCard::FileId& id : card.Files()) {
                    if (!Kept(id) || EfKey(id) != key) continue;
                    // The card's files have the sizes it was made with; none grows or shrinks.
                    const std::vector<uint8_t> contents = HexValue(value);
                    const std::size_t size = card.File(id.df, id.sfi).size();
                    if (contents.size() != size)
                        throw ToolError("'" + key + "' must hold " + std::to_string(size) +
                                        " bytes");
                    card.SetFile(id.df, id.sfi, contents);
                    return;
                }
                throw ToolError("unknown setting '" + key + "'");
            }
        } catch (const std::invalid_argument& refused) {
            throw ToolError("'" + key + "': the card cannot take it (" + refused.what() + ")");
        }
    });
    if (!sameCard) throw ToolError("card state " + path.string() + " names no card");
    return true;
}

void SaveCardState(const VirtualCard& card, const std::filesystem::path& path) {
    std::string text =
        "# The virtual card's memory, written by the card after each change and read back at\n"
        "# its next start. Delete the file to start again from the card's profile.\n";
    text += "card-id = " + Hex(card.File(kMasterFile, kSfiCardId)) + "\n";
    text += "pin = " + Hex(card.Pin()) + "\n";
    text += "pin-tries-left = " + std::to_string(card.PinTriesLeft()) + "\n";
    for (const VirtualCard::FileId& id : card.Files())
        if (Kept(id)) text += EfKey(id) + " = " + Hex(card.File(id.df, id.sfi)) + "\n";
    std::filesystem::path fresh = path;
    fresh += ".new";
    WriteWholeFile(fresh, std::vector<uint8_t>(text.begin(), text.end()));
    std::error_code error;
    std::filesystem::rename(fresh, path, error);
    if (error) throw OutputError("cannot write " + path.string() + ": " + error.message());
}

CardStateKeeper::CardStateKeeper(VirtualCard& card, std::filesystem::path path, Report report)
    : card_(card), path_(std::move(path)), report_(std::move(report)) {
    Save();
    card_.OnMemoryChanged([this] { Save(); });
}

CardStateKeeper::~CardStateKeeper() {
    card_.OnMemoryChanged(nullptr);
}

void CardStateKeeper::Save() const {
    try {
        SaveCardState(card_, path_);
    } catch (const OutputError& error) {
        if (report_) report_(error.what());
    }
}

}  // namespace krtools
