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
#include "terminal/card_choice.h"
#include "terminal/pcsc_card.h"
#include "progress.h"
#include "samples_dir.h"

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

std::string InsertionText(int32_t result) {
    if (result == 0) {
        uint8_t id[8] = {};
        (void)krca_T2CA_GetCardId(id);
        return "ready, card id " + Hex(id, sizeof id);
    }
    if (result == KR_CARD_NOT_READY) return "a card is in the slot but it is not usable";
    return "a card is in the slot but could not be read (result " + std::to_string(result) + ")";
}

// A card inserted into or taken out of the reader while the library runs.
void CardChanged(bool inserted) {
    if (!inserted) {
        (void)krca_T2CA_CardRemoved();
        Say("card: removed");
        return;
    }
    Say("card: inserted");
    Say("card: " + InsertionText(krca_T2CA_CardInserted()));
}

// What a PIN check or a PIN-protected change answered, in words.
std::string PinResultText(int32_t result) {
    if (result == 0) return "right";
    if ((result & 0xF0) == KR_PIN_WRONG)
        return "wrong, " + std::to_string(KR_PIN_TRIES(result)) + " tries left";
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

std::string FormatJson(const CardReport& r) {
    JsonWriter j;
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
    const auto pin = [&](int32_t result, const char* success) {
        j.BeginObject();
        j.Key("result").Number(result);
        j.Key("meaning").String(result == 0 ? success : PinResultText(result));
        if ((result & 0xF0) == KR_PIN_WRONG) j.Key("triesLeft").Number(KR_PIN_TRIES(result));
        j.EndObject();
    };
    if (r.pinChecked) {
        j.Key("pin");
        pin(r.pinResult, "right");
    }
    j.Key("changes").BeginArray();
    for (const Change& c : r.changes) {
        j.BeginObject();
        j.Key("setting").String(c.setting);
        j.Key("result");
        pin(c.result, "done");
        j.EndObject();
    }
    j.EndArray();
    j.EndObject();
    return j.text();
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
    return krtools::OpenCard(options.card, options.cardState, DefaultCardProfile(), Say);
}

int32_t AnnounceCard(const Terminal& terminal) {
    CardReader* card = terminal.config().card;
    int32_t result = KR_CARD_NOT_READY;
    if (card == nullptr || !card->CardPresent()) {
        Say("card: the slot is empty");
    } else {
        // The card was in the slot when the terminal started: its insertion is reported now.
        result = krca_T2CA_CardInserted();
        Say("card: " + InsertionText(result));
    }
    // Later changes come from the reader's own thread, which is where the library wants them.
    if (card != nullptr) card->Watch(CardChanged);
    return result;
}

void StopCardWatch(const Terminal& terminal) {
    if (terminal.config().card != nullptr) terminal.config().card->StopWatching();
}

int WithCardOnly(const HostOptions& o, const std::function<int(bool ready)>& work) {
    const std::unique_ptr<CardReader> card = LoadCard(o);
    TerminalConfig config;
    config.debug = !o.debugCodes.empty();
    config.frequency = o.frequency;
    config.card = card.get();
    config.jsonEvents = o.json;
    Terminal terminal(config);
    const InitRecord record = terminal.MakeInitRecord(64);
    if (const int32_t result = kr_T2K_Init(&record); result != KR_OK)
        throw krtools::ToolError("the library did not start (kr_T2K_Init returned " +
                                 std::to_string(result) + ")");
    for (uint8_t code : o.debugCodes)
        (void)kr_T2K_SetDebugFlag(code, 1);
    const int status = work(AnnounceCard(terminal) == 0);
    StopCardWatch(terminal);
    (void)kr_T2K_Finish();
    return status;
}

// krhost card --readers: the PC/SC readers, with or without a card.
int ListReaders(const HostOptions& o) {
    const std::vector<krtools::PcscReaderInfo> readers = krtools::ListPcscReaders();
    std::string text;
    if (o.json) {
        JsonWriter j;
        j.BeginArray();
        for (const krtools::PcscReaderInfo& r : readers) {
            j.BeginObject();
            j.Key("name").String(r.name);
            j.Key("card").Bool(r.cardPresent);
            j.EndObject();
        }
        j.EndArray();
        text = j.text();
    } else {
        for (const krtools::PcscReaderInfo& r : readers)
            text += r.name + (r.cardPresent ? ": card present\n" : ": no card\n");
    }
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        throw krtools::ToolError("cannot write to standard output");
    if (readers.empty()) Say("no card reader is connected");
    return 0;
}

int RunCard(const HostOptions& o) {
    if (o.listReaders) return ListReaders(o);
    CardReport r;
    bool ready = false;
    (void)WithCardOnly(o, [&](bool cardReady) {
        ready = cardReady;
        if (!ready) return 1;
        if (o.pin) ApplyChanges(o, r);
        uint8_t count = 0;
        (void)krca_T2CA_GetCardId(r.id);
        (void)krca_T2CA_GetOperatorInfo(&r.operatorInfo, &count);
        (void)krca_T2CA_GetManufacturerInfo(&r.manufacturer);
        (void)krca_T2CA_GetRating(&r.rating);
        (void)krca_T2CA_GetWorkTime(r.workStart, r.workEnd);
        return 0;
    });
    if (!ready) {
        Say("no usable card in the slot: nothing to read");
        return 1;
    }
    const std::string text = o.json ? FormatJson(r) : FormatTable(r);
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        throw krtools::ToolError("cannot write to standard output");
    bool refused = r.pinChecked && r.pinResult != 0;
    for (const Change& c : r.changes)
        refused = refused || c.result != 0;
    return refused ? 1 : 0;
}

}  // namespace krhost
