// The terminal's card slot: the virtual card behind it, what is said about the card at start,
// and the card command, which reads and changes the card through the library's card calls.
#include <krmodule/krmodule.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "card/card_profile.h"
#include "card/card_state_file.h"
#include "card_command.h"
#include "common/file_io.h"
#include "json_writer.h"
#include "pcsc_card.h"
#include "progress.h"
#include "samples_dir.h"
#include "virtual_card_reader.h"

namespace krhost {
namespace {

std::string Hex(const uint8_t* bytes, std::size_t count) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
        text += digits;
    }
    return text;
}

// What the library made of a card in the slot, as a console line or a "card" event.
void SayInsertion(int32_t result) {
    std::string line;
    std::string members;
    if (result == 0) {
        uint8_t id[8] = {};
        (void)krca_T2CA_GetCardId(id);
        line = "ready, card id " + Hex(id, sizeof id);
        members = "\"state\":\"ready\",\"cardId\":" + JsonQuote(Hex(id, sizeof id));
    } else if (result == KR_CARD_NOT_READY) {
        line = "a card is in the slot but it is not usable";
        members = "\"state\":\"unusable\",\"cardId\":null";
    } else {
        line = "a card is in the slot but could not be read (result " + std::to_string(result) +
               ")";
        members = "\"state\":\"unreadable\",\"cardId\":null";
    }
    SayEvent("card", "card: " + line, members + ",\"code\":" + std::to_string(result));
}

// A card inserted into or taken out of the reader while the library runs.
void CardChanged(bool inserted) {
    if (!inserted) {
        (void)krca_T2CA_CardRemoved();
        SayEvent("card", "card: removed", "\"state\":\"removed\",\"cardId\":null,\"code\":null");
        return;
    }
    if (!JsonEvents()) Say("card: inserted");
    SayInsertion(krca_T2CA_CardInserted());
}

// What a PIN check or a PIN-protected change answered, in words.
std::string PinResultText(int32_t result) {
    if (result == 0) return "right";
    if ((result & 0xF0) == KR_PIN_WRONG)
        return "wrong, " + std::to_string(KR_PIN_TRIES(result)) +
               (KR_PIN_TRIES(result) == 1 ? " try left" : " tries left");
    if (result == KR_PIN_BLOCKED) return "blocked";
    if (result == KR_CARD_NOT_READY) return "no usable card";
    if (result == KR_OUT_OF_RANGE) return "out of range";
    return "failed (result " + std::to_string(result) + ")";
}

std::string ClockText(const uint8_t* bcd) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X:%02X", bcd[0], bcd[1]);
    return text;
}

struct Change {
    std::string setting;
    int32_t result = 0;
};

struct CardReport {
    uint8_t id[8] = {};
    OperatorInfo operatorInfo{};
    ManufacturerInfo manufacturer{};
    uint8_t rating = 0;
    uint8_t workStart[2] = {};
    uint8_t workEnd[2] = {};
    bool pinChecked = false;
    int32_t pinResult = 0;
    std::vector<Change> changes;
};

std::string Name(const char* text, std::size_t size) {
    return std::string(text, strnlen(text, size));
}

std::string VersionText(uint32_t cos) {
    return std::to_string(cos >> 8 & 0x0F) + "." + std::to_string(cos & 0x0F);
}

bool Unrestricted(const CardReport& r) {
    return r.workStart[0] == 0 && r.workStart[1] == 0 && r.workEnd[0] == 0 && r.workEnd[1] == 0;
}

std::string FormatTable(const CardReport& r) {
    std::string out;
    const auto row = [&](const char* name, const std::string& value) {
        char label[32];
        std::snprintf(label, sizeof label, "%-20s", name);
        out += label + value + "\n";
    };
    row("card id", Hex(r.id, sizeof r.id));
    row("operator", Name(r.operatorInfo.name, sizeof r.operatorInfo.name) + " (number " +
                        std::to_string(r.operatorInfo.operatorNumber) + ")");
    row("manufacturer", Name(r.manufacturer.name, sizeof r.manufacturer.name));
    row("card OS version", VersionText(r.manufacturer.cosVersion));
    row("rating", r.rating == 0 ? std::string("none") : std::to_string(r.rating));
    row("viewing period", Unrestricted(r) ? std::string("none")
                                          : ClockText(r.workStart) + "-" + ClockText(r.workEnd));
    if (r.pinChecked) row("PIN", PinResultText(r.pinResult));
    for (const Change& c : r.changes)
        row(("set " + c.setting).c_str(), c.result == 0 ? "done" : PinResultText(c.result));
    return out;
}

void WritePinResult(JsonWriter& j, int32_t result, const char* success) {
    j.Key("code").Number(result);
    j.Key("meaning").String(result == 0 ? success : PinResultText(result));
    j.Key("triesLeft");
    if ((result & 0xF0) == KR_PIN_WRONG)
        j.Number(KR_PIN_TRIES(result));
    else
        j.Null();
}

void WriteCardJson(JsonWriter& j, const CardReport& r) {
    j.BeginObject();
    j.Key("cardId").String(Hex(r.id, sizeof r.id));
    j.Key("operator").BeginObject();
    j.Key("number").Number(r.operatorInfo.operatorNumber);
    j.Key("name").String(Name(r.operatorInfo.name, sizeof r.operatorInfo.name));
    j.EndObject();
    j.Key("manufacturer").String(Name(r.manufacturer.name, sizeof r.manufacturer.name));
    j.Key("cosVersion").String(VersionText(r.manufacturer.cosVersion));
    j.Key("rating").Number(r.rating);
    j.Key("viewingPeriod");
    if (Unrestricted(r)) {
        j.Null();
    } else {
        j.BeginObject();
        j.Key("start").String(ClockText(r.workStart));
        j.Key("end").String(ClockText(r.workEnd));
        j.EndObject();
    }
    j.Key("pin");
    if (r.pinChecked) {
        j.BeginObject();
        WritePinResult(j, r.pinResult, "right");
        j.EndObject();
    } else {
        j.Null();
    }
    j.Key("changes").BeginArray();
    for (const Change& c : r.changes) {
        j.BeginObject();
        j.Key("setting").String(c.setting);
        WritePinResult(j, c.result, "done");
        j.EndObject();
    }
    j.EndArray();
    j.EndObject();
}

// The PIN-protected changes in the order given; a PIN that is not right ends them, as every
// further try would count against the card's retries.
void ApplyChanges(const HostOptions& o, CardReport& r) {
    const auto* pin = reinterpret_cast<const uint8_t*>(o.pin->data());
    const auto length = static_cast<uint8_t>(o.pin->size());
    if (!o.newRating && !o.newWorkTime) {
        r.pinChecked = true;
        r.pinResult = krca_T2CA_VerfyPin(pin, length);
        return;
    }
    if (o.newRating) {
        r.changes.push_back({"rating", krca_T2CA_ChangeRating(pin, length, *o.newRating)});
        if (r.changes.back().result != 0 && r.changes.back().result != KR_OUT_OF_RANGE) return;
    }
    if (o.newWorkTime) {
        const std::array<uint8_t, 4>& t = *o.newWorkTime;
        r.changes.push_back(
            {"viewing period", krca_T2CA_ChangeWorkTime(pin, length, &t[0], &t[2])});
    }
}

}  // namespace

std::unique_ptr<CardReader> LoadCard(const HostOptions& options) {
    if (options.card == "none") return nullptr;
    if (options.card == "pcsc" || options.card.starts_with("pcsc:")) {
        if (!options.cardState.empty())
            throw krtools::ToolError(
                "--card-state keeps the virtual card's memory; a card in a reader keeps its own");
        return OpenPcscReader(options.card.substr(std::min<std::size_t>(options.card.size(), 5)));
    }
    const std::filesystem::path profile =
        options.card.empty() ? DefaultCardProfile() : std::filesystem::path(options.card);
    auto card = std::make_unique<krtools::VirtualCard>(krtools::ReadCardProfile(profile));
    std::unique_ptr<krtools::CardStateKeeper> keeper;
    if (!options.cardState.empty()) {
        (void)krtools::LoadCardState(*card, options.cardState);
        keeper = std::make_unique<krtools::CardStateKeeper>(
            *card, options.cardState, [](const std::string& message) { Say("card: " + message); });
    }
    return std::make_unique<VirtualCardReader>(std::move(card), std::move(keeper));
}

int32_t AnnounceCard(const Terminal& terminal) {
    CardReader* card = terminal.config().card;
    int32_t result = KR_CARD_NOT_READY;
    if (card == nullptr || !card->CardPresent()) {
        SayEvent("card", "card: the slot is empty",
                 "\"state\":\"empty\",\"cardId\":null,\"code\":null");
    } else {
        // The card was in the slot when the terminal started: its insertion is reported now.
        result = krca_T2CA_CardInserted();
        SayInsertion(result);
    }
    // Later changes come from the reader's own thread, which is where the library wants them.
    if (card != nullptr) card->Watch(CardChanged);
    return result;
}

void StopCardWatch(const Terminal& terminal) {
    if (terminal.config().card != nullptr) terminal.config().card->StopWatching();
}

void WithCardOnly(const HostOptions& o, const std::function<void(bool ready)>& work) {
    const std::unique_ptr<CardReader> card = LoadCard(o);
    TerminalConfig config;
    config.debug = !o.debugCodes.empty();
    config.frequency = o.frequency;
    config.card = card.get();
    Terminal terminal(config);
    const InitRecord record = terminal.MakeInitRecord(64);
    if (const int32_t result = kr_T2K_Init(&record); result != KR_OK)
        throw krtools::ToolError("the library did not start (kr_T2K_Init returned " +
                                 std::to_string(result) + ")");
    for (uint8_t code : o.debugCodes)
        (void)kr_T2K_SetDebugFlag(code, 1);
    work(AnnounceCard(terminal) == 0);
    StopCardWatch(terminal);
    (void)kr_T2K_Finish();
}

// krhost card --readers: the PC/SC readers, with or without a card.
Outcome ListReaders(const HostOptions& o) {
    const std::vector<PcscReaderInfo> readers = ListPcscReaders();
    Outcome outcome;
    if (o.json) {
        outcome.members = [readers](JsonWriter& j) {
            j.Key("readers").BeginArray();
            for (const PcscReaderInfo& r : readers) {
                j.BeginObject();
                j.Key("name").String(r.name);
                j.Key("card").Bool(r.cardPresent);
                j.EndObject();
            }
            j.EndArray();
        };
    } else {
        std::string text;
        for (const PcscReaderInfo& r : readers)
            text += r.name + (r.cardPresent ? ": card present\n" : ": no card\n");
        (void)PrintOut(text);
    }
    if (readers.empty()) {
        outcome.exit = kExitUndelivered;
        outcome.reason = "no card reader is connected";
    }
    return outcome;
}

Outcome RunCard(const HostOptions& o) {
    if (o.listReaders) return ListReaders(o);
    CardReport r;
    bool ready = false;
    WithCardOnly(o, [&](bool cardReady) {
        ready = cardReady;
        if (!ready) return;
        if (o.pin) ApplyChanges(o, r);
        uint8_t count = 0;
        (void)krca_T2CA_GetCardId(r.id);
        (void)krca_T2CA_GetOperatorInfo(&r.operatorInfo, &count);
        (void)krca_T2CA_GetManufacturerInfo(&r.manufacturer);
        (void)krca_T2CA_GetRating(&r.rating);
        (void)krca_T2CA_GetWorkTime(r.workStart, r.workEnd);
    });
    Outcome outcome;
    outcome.members = [r, ready](JsonWriter& j) {
        j.Key("card");
        if (ready)
            WriteCardJson(j, r);
        else
            j.Null();
    };
    if (!ready) {
        outcome.exit = kExitUndelivered;
        outcome.reason = "no usable card in the slot: nothing to read";
        return outcome;
    }
    if (!o.json) (void)PrintOut(FormatTable(r));
    if (r.pinChecked && r.pinResult != 0) {
        outcome.exit = kExitUndelivered;
        outcome.reason = "PIN " + PinResultText(r.pinResult);
    }
    for (const Change& c : r.changes)
        if (c.result != 0) {
            outcome.exit = kExitUndelivered;
            outcome.reason = "set " + c.setting + ": " + PinResultText(c.result);
        }
    return outcome;
}

}  // namespace krhost
