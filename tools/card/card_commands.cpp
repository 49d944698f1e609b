#include "card/card_commands.h"

#include <algorithm>
#include <iterator>

namespace krtools {

CardState::CardState(const CardProfile& profile)
    : files(BuildCardFiles(profile)),
      pin(profile.pin.begin(), profile.pin.end()),
      pinTries(std::clamp<uint8_t>(profile.pinTries, 1, 15)),
      pinTriesLeft(pinTries),
      version(static_cast<uint8_t>((profile.versionMajor & 0x0F) << 4 |
                                   (profile.versionMinor & 0x0F))),
      operatorKey(profile.operatorKey),
      cwRequests(profile.cwRequests) {}

void CardState::EndSession() {
    selectedDf = kMasterFile;
    pinVerified = false;
    pending.clear();
}

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kOk = 0x9000;
constexpr uint16_t kWrongLength = 0x6700;
constexpr uint16_t kIncompatibleStructure = 0x6981;
constexpr uint16_t kSecurityNotSatisfied = 0x6982;
constexpr uint16_t kPinBlocked = 0x6983;
constexpr uint16_t kConditionsNotSatisfied = 0x6985;
constexpr uint16_t kNotAllowed = 0x6986;
constexpr uint16_t kBadCheckBlock = 0x6988;
constexpr uint16_t kWrongData = 0x6A80;
constexpr uint16_t kUnknownForm = 0x6A86;
constexpr uint16_t kNoKey = 0x6A88;
constexpr uint16_t kNotEntitled = 0x6401;
constexpr uint16_t kOutsidePeriod = 0x6402;
constexpr uint16_t kFileNotFound = 0x6A82;
constexpr uint16_t kRecordNotFound = 0x6A83;
constexpr uint16_t kWrongP1P2 = 0x6B00;
constexpr uint16_t kUnknownIns = 0x6D00;
constexpr uint16_t kUnknownCla = 0x6E00;

Bytes Status(uint16_t sw) {
    return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
}

Bytes Status(uint8_t sw1, uint8_t sw2) {
    return {sw1, sw2};
}

Bytes Data(std::span<const uint8_t> data) {
    Bytes response(data.begin(), data.end());
    response.push_back(0x90);
    response.push_back(0x00);
    return response;
}

struct Command {
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    std::span<const uint8_t> data;  // the Lc bytes
    std::size_t le = 0;             // 1..256
};

// How the bytes after the header are read: no command carries both Lc and Le.
enum class Form {
    kBare,  // nothing, or P3 = 0
    kLe,    // P3 = Le, 0 meaning 256
    kData,  // P3 = Lc (1..255), then exactly Lc bytes
};

using Handler = Bytes (*)(CardState&, const Command&);

// VERIFY and CHANGE PIN count on the same counter; a wrong PIN also ends an earlier
// verification.
uint16_t CheckPin(CardState& state, std::span<const uint8_t> presented) {
    if (state.pinTriesLeft == 0) return kPinBlocked;
    if (std::equal(presented.begin(), presented.end(), state.pin.begin(), state.pin.end())) {
        state.pinTriesLeft = state.pinTries;
        state.pinVerified = true;
        return kOk;
    }
    --state.pinTriesLeft;
    state.pinVerified = false;
    return static_cast<uint16_t>(0x63C0 | state.pinTriesLeft);
}

// The bytes a READ or UPDATE works on, or the status word that refuses it.
struct Target {
    const ElementaryFile* ef = nullptr;
    std::span<uint8_t> bytes;
    uint16_t sw = kOk;
};

Target Refused(uint16_t sw) {
    Target t;
    t.sw = sw;
    return t;
}

// P1: bit 8 set, then the SFI; the offset (P2) is always 0.
Target BinaryTarget(CardState& state, const Command& c) {
    if ((c.p1 & 0xE0) != 0x80 || c.p2 != 0) return Refused(kWrongP1P2);
    ElementaryFile* ef = state.files.Find(state.selectedDf, c.p1 & 0x1F);
    if (ef == nullptr) return Refused(kFileNotFound);
    if (ef->recordSize != 0) return Refused(kIncompatibleStructure);
    return {ef, ef->data, kOk};
}

// P1: the record number; P2: SFI * 8 + 4.
Target RecordTarget(CardState& state, const Command& c) {
    if ((c.p2 & 0x07) != 0x04) return Refused(kWrongP1P2);
    ElementaryFile* ef = state.files.Find(state.selectedDf, static_cast<uint8_t>(c.p2 >> 3));
    if (ef == nullptr) return Refused(kFileNotFound);
    if (ef->recordSize == 0) return Refused(kIncompatibleStructure);
    if (c.p1 == 0 || c.p1 > ef->RecordCount()) return Refused(kRecordNotFound);
    return {ef, std::span<uint8_t>(ef->data).subspan((c.p1 - 1u) * ef->recordSize, ef->recordSize),
            kOk};
}

// Le beyond the bytes: 6C with their number, so the terminal can ask again.
Bytes Read(const Target& t, std::size_t le) {
    if (t.sw != kOk) return Status(t.sw);
    if (le > t.bytes.size()) return Status(0x6C, static_cast<uint8_t>(t.bytes.size()));
    return Data(t.bytes.first(le));
}

// The whole file or record at once.
Bytes Write(const CardState& state, const Target& t, std::span<const uint8_t> data) {
    if (t.sw != kOk) return Status(t.sw);
    if (t.ef->update == UpdateRight::kNever) return Status(kNotAllowed);
    if (t.ef->update == UpdateRight::kAfterPin && !state.pinVerified)
        return Status(kSecurityNotSatisfied);
    if (data.size() != t.bytes.size()) return Status(kWrongLength);
    std::copy(data.begin(), data.end(), t.bytes.begin());
    return Status(kOk);
}

Bytes Select(CardState& state, const Command& c) {
    if (c.p2 != 0) return Status(kWrongP1P2);
    if (c.data.size() != 2) return Status(kWrongLength);
    const uint16_t fid = static_cast<uint16_t>(c.data[0] << 8 | c.data[1]);
    const DedicatedFile* df = state.files.FindDf(fid);
    if (df == nullptr) return Status(kFileNotFound);
    state.selectedDf = fid;
    if (df->fci.empty()) return Status(kOk);
    state.pending = df->fci;
    return Status(0x61, static_cast<uint8_t>(state.pending.size()));
}

Bytes ReadBinary(CardState& state, const Command& c) {
    return Read(BinaryTarget(state, c), c.le);
}

Bytes ReadRecord(CardState& state, const Command& c) {
    return Read(RecordTarget(state, c), c.le);
}

Bytes UpdateBinary(CardState& state, const Command& c) {
    return Write(state, BinaryTarget(state, c), c.data);
}

Bytes UpdateRecord(CardState& state, const Command& c) {
    return Write(state, RecordTarget(state, c), c.data);
}

Bytes Verify(CardState& state, const Command& c) {
    if (c.p2 != 0) return Status(kWrongP1P2);
    return Status(CheckPin(state, c.data));
}

// Data: the old PIN, 0xFF, the new PIN.
Bytes ChangePin(CardState& state, const Command& c) {
    if (c.p2 != 0) return Status(kWrongP1P2);
    const auto separator = std::find(c.data.begin(), c.data.end(), uint8_t{0xFF});
    if (separator == c.data.end() || separator == c.data.begin()) return Status(kWrongData);
    const std::span<const uint8_t> old(c.data.begin(), separator);
    const std::span<const uint8_t> next(std::next(separator), c.data.end());
    if (next.empty() || next.size() > kMaxPinSize ||
        std::find(next.begin(), next.end(), uint8_t{0xFF}) != next.end())
        return Status(kWrongData);
    const uint16_t sw = CheckPin(state, old);
    if (sw == kOk) state.pin.assign(next.begin(), next.end());
    return Status(sw);
}

Bytes GetResponse(CardState& state, const Command& c) {
    if (c.p2 != 0) return Status(kWrongP1P2);
    if (state.pending.empty()) return Status(kConditionsNotSatisfied);
    if (c.le != state.pending.size())
        return Status(0x6C, static_cast<uint8_t>(state.pending.size()));
    Bytes response = Data(state.pending);
    state.pending.clear();
    return response;
}

// The version travels in the status word.
Bytes GetVersion(CardState& state, const Command& c) {
    if (c.p2 != 0) return Status(kWrongP1P2);
    return Status(0x64, state.version);
}

// A control-word request: the ECM's card part, then blocks that each carry a parity, a period
// and an encrypted control word, and in the current form's type 1 a check block as well.
struct CwBlockLayout {
    std::size_t parity;  // offset of the byte whose bit 0 is the parity
    std::size_t word;    // offset of the encrypted control word
    std::size_t size;
    bool checked;        // a check block follows the word
};

constexpr std::size_t kCardPartSize = 40;
constexpr std::size_t kMaxCwBlocks = 3;

Bytes AnswerControlWords(CardState& state, const Command& c, const CwBlockLayout& layout) {
    if (c.data.size() <= kCardPartSize) return Status(kWrongLength);
    const std::size_t count = c.data[kCardPartSize];
    if (count == 0 || count > kMaxCwBlocks ||
        c.data.size() != kCardPartSize + 1 + count * layout.size)
        return Status(kWrongLength);
    const std::span<const uint8_t> part = c.data.first(kCardPartSize);
    if (!state.operatorKey || part[6] != 0) return Status(kNoKey);

    // The EF, not the profile: what the operator has written since is what holds.
    const ElementaryFile* ef = state.files.Find(kCaApplication, kSfiEntitlements);
    const uint16_t id = static_cast<uint16_t>(part[0] << 8 | part[1]);
    const uint32_t now = uint32_t{part[2]} << 24 | uint32_t{part[3]} << 16 |
                         uint32_t{part[4]} << 8 | part[5];
    bool known = false;
    bool current = false;
    for (const Entitlement& e : DecodeEntitlements(ef == nullptr ? Bytes{} : ef->data)) {
        if (e.id != id) continue;
        known = true;
        current = current || e.end == 0 || (e.start <= now && now <= e.end);
    }
    if (!known) return Status(kNotEntitled);
    if (!current) return Status(kOutsidePeriod);

    const AesKey& key = *state.operatorKey;
    AesBlock head{};
    std::copy_n(part.begin(), head.size(), head.begin());
    Bytes words(2 * 16, 0x00);  // even, then odd
    for (std::size_t i = 0; i < count; ++i) {
        const std::span<const uint8_t> block = c.data.subspan(kCardPartSize + 1 + i * layout.size,
                                                               layout.size);
        AesBlock sealed{};
        if (layout.checked) {
            std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(layout.word + 16), 16,
                        sealed.begin());
            if (AesDecryptBlock(key, sealed) != head) return Status(kBadCheckBlock);
        }
        std::copy_n(block.begin() + static_cast<std::ptrdiff_t>(layout.word), 16, sealed.begin());
        const AesBlock word = AesDecryptBlock(key, sealed);
        const std::size_t at = (block[layout.parity] & 1u) * 16;
        std::copy(word.begin(), word.end(), words.begin() + static_cast<std::ptrdiff_t>(at));
    }
    state.pending = words;
    return Status(0x61, static_cast<uint8_t>(words.size()));
}

// P2: the ECM type in the high nibble; the parity is a u16.
Bytes ControlWords(CardState& state, const Command& c) {
    if (state.cwRequests == CwRequests::kOlderOnly) return Status(kUnknownForm);
    if ((c.p2 & 0x0F) != 0 || c.p2 > 0x10) return Status(kWrongP1P2);
    const bool checked = c.p2 == 0x10;
    return AnswerControlWords(state, c, {1, 4, checked ? 36u : 20u, checked});
}

// The older form carries a one-byte parity and no check block.
Bytes OlderControlWords(CardState& state, const Command& c) {
    if (c.p2 != 0) return Status(kWrongP1P2);
    return AnswerControlWords(state, c, {0, 3, 19, false});
}

constexpr int kAnyP1 = -1;

struct Route {
    uint8_t cla;
    uint8_t ins;
    int p1;  // kAnyP1: P1 is a parameter of the handler
    Form form;
    Handler handler;
};

// Commands of the CA application share CLA C0, INS E4 and differ in P1: each gets its own
// row.
constexpr Route kRoutes[] = {
    {0x00, 0xA4, 0x00, Form::kData, Select},
    {0x00, 0xB0, kAnyP1, Form::kLe, ReadBinary},
    {0x00, 0xB2, kAnyP1, Form::kLe, ReadRecord},
    {0x00, 0xD6, kAnyP1, Form::kData, UpdateBinary},
    {0x00, 0xDC, kAnyP1, Form::kData, UpdateRecord},
    {0x00, 0x20, 0x00, Form::kData, Verify},
    {0x00, 0xC0, 0x00, Form::kLe, GetResponse},
    {0x80, 0x5E, 0x01, Form::kData, ChangePin},
    {0xC0, 0xE4, 0x01, Form::kData, OlderControlWords},
    {0xC0, 0xE4, 0x10, Form::kBare, GetVersion},
    {0xC0, 0xE4, 0x12, Form::kData, ControlWords},
};

// Reads P3 and what follows it as the form says; false when the length does not fit.
bool ReadBody(Form form, std::span<const uint8_t> command, Command& c) {
    const std::size_t size = command.size();
    switch (form) {
        case Form::kBare:
            return size == 4 || (size == 5 && command[4] == 0);
        case Form::kLe:
            if (size != 5) return false;
            c.le = command[4] == 0 ? 256 : command[4];
            return true;
        case Form::kData:
            if (size < 5 || command[4] == 0 || size != 5u + command[4]) return false;
            c.data = command.subspan(5);
            return true;
    }
    return false;
}

}  // namespace

Bytes AnswerCommand(CardState& state, std::span<const uint8_t> command) {
    if (command.size() < 4) {
        state.pending.clear();
        return Status(kWrongLength);
    }
    const uint8_t cla = command[0];
    const uint8_t ins = command[1];
    if (cla != 0x00 || ins != 0xC0) state.pending.clear();

    bool claKnown = false;
    bool insKnown = false;
    for (const Route& route : kRoutes) {
        if (route.cla != cla) continue;
        claKnown = true;
        if (route.ins != ins) continue;
        insKnown = true;
        if (route.p1 != kAnyP1 && route.p1 != command[2]) continue;
        Command c;
        c.p1 = command[2];
        c.p2 = command[3];
        if (!ReadBody(route.form, command, c)) return Status(kWrongLength);
        return route.handler(state, c);
    }
    return Status(insKnown ? kWrongP1P2 : claKnown ? kUnknownIns : kUnknownCla);
}

}  // namespace krtools
