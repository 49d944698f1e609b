#include "card/card_commands.h"

#include <algorithm>
#include <iterator>
#include <utility>

#include "common/byte_writer.h"

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
constexpr uint16_t kNoRoom = 0x6A84;
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
        if (state.pinTriesLeft != state.pinTries) ++state.changes;
        state.pinTriesLeft = state.pinTries;
        state.pinVerified = true;
        return kOk;
    }
    --state.pinTriesLeft;
    ++state.changes;
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
Bytes Write(CardState& state, const Target& t, std::span<const uint8_t> data) {
    if (t.sw != kOk) return Status(t.sw);
    if (t.ef->update == UpdateRight::kNever) return Status(kNotAllowed);
    if (t.ef->update == UpdateRight::kAfterPin && !state.pinVerified)
        return Status(kSecurityNotSatisfied);
    if (data.size() != t.bytes.size()) return Status(kWrongLength);
    std::copy(data.begin(), data.end(), t.bytes.begin());
    ++state.changes;
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
    if (sw == kOk) {
        state.pin.assign(next.begin(), next.end());
        ++state.changes;
    }
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

// The body of a card-command EMM: sequence u32, four zero bytes, entry count u16, the entries
// (code, e, 0, e bytes), then the trailer.
constexpr std::size_t kEmmBodyHead = 10;
constexpr std::size_t kEmmEntryHead = 3;
constexpr std::size_t kEmmTrailerSize = 16;
constexpr uint8_t kEmmWriteP1 = 0x09;

enum EmmEntryCode : uint8_t {
    kSetRating = 0x01,
    kSetViewingPeriod = 0x02,
    kSetEntitlement = 0x03,
    kRemoveEntitlement = 0x04,
};

// What the entries make of the three EFs the operator may change.
struct OperatorSettings {
    Bytes rating;
    Bytes period;
    std::vector<Entitlement> entitlements;
};

bool ValidPeriod(std::span<const uint8_t> p) {
    if (std::all_of(p.begin(), p.end(), [](uint8_t b) { return b == 0xFF; })) return true;
    return p[0] < 24 && p[1] < 60 && p[2] < 24 && p[3] < 60;
}

uint16_t ApplyEntry(OperatorSettings& s, uint8_t code, std::span<const uint8_t> data) {
    switch (code) {
        case kSetRating:
            if (data.size() != 1 || (data[0] != 0 && (data[0] < 4 || data[0] > 18)))
                return kWrongData;
            // The terminal adds 3 to the code it reads.
            s.rating = {0x00, static_cast<uint8_t>(data[0] == 0 ? 0 : data[0] - 3)};
            return kOk;
        case kSetViewingPeriod:
            if (data.size() != 4 || !ValidPeriod(data)) return kWrongData;
            s.period.assign(data.begin(), data.end());
            return kOk;
        case kSetEntitlement: {
            if (data.size() != kEntitlementSize) return kWrongData;
            const Entitlement e{ReadBe16(data.data()), ReadBe32(data.data() + 2),
                                ReadBe32(data.data() + 6)};
            auto held = std::find_if(s.entitlements.begin(), s.entitlements.end(),
                                     [&e](const Entitlement& h) { return h.id == e.id; });
            if (held != s.entitlements.end()) {
                *held = e;
                return kOk;
            }
            if (s.entitlements.size() == kMaxEntitlements) return kNoRoom;
            s.entitlements.push_back(e);
            return kOk;
        }
        case kRemoveEntitlement: {
            if (data.size() != 2) return kWrongData;
            const uint16_t id = ReadBe16(data.data());
            std::erase_if(s.entitlements, [id](const Entitlement& h) { return h.id == id; });
            return kOk;
        }
        default:
            // A newer head end may send entries this card does not know.
            return kOk;
    }
}

// The trailer proves the operator made the EMM for this card: a copy for another card, or one
// forged without the key, does not match.
bool TrailerHolds(const CardState& state, std::span<const uint8_t> body) {
    AesBlock seal{};
    std::copy_n(body.begin(), 4, seal.begin());
    const ElementaryFile* id = state.files.Find(kMasterFile, kSfiCardId);
    if (id != nullptr)
        std::copy_n(id->data.begin(), std::min<std::size_t>(id->data.size(), 8), seal.begin() + 4);
    seal[12] = body[8];
    seal[13] = body[9];
    AesBlock trailer{};
    std::copy(body.end() - static_cast<std::ptrdiff_t>(kEmmTrailerSize), body.end(),
              trailer.begin());
    return AesEncryptBlock(*state.operatorKey, seal) == trailer;
}

const Bytes& FileData(const CardState& state, uint8_t sfi) {
    static const Bytes kNone;
    const ElementaryFile* ef = state.files.Find(kCaApplication, sfi);
    return ef == nullptr ? kNone : ef->data;
}

// Data: the EMM's parameter byte, then its body. The card changes nothing itself: it answers
// with the EMM WRITE commands that would, and lets exactly those through afterwards.
Bytes EmmCommand(CardState& state, const Command& c) {
    state.authorisedWrites.clear();
    if (c.p2 != 0) return Status(kWrongP1P2);
    const std::span<const uint8_t> body = c.data.subspan(1);
    if (body.size() < kEmmBodyHead + kEmmTrailerSize) return Status(kWrongLength);
    const std::size_t end = body.size() - kEmmTrailerSize;
    const std::size_t count = ReadBe16(body.data() + 8);
    std::vector<std::span<const uint8_t>> entries;
    std::size_t at = kEmmBodyHead;
    for (std::size_t i = 0; i < count; ++i) {
        if (end - at < kEmmEntryHead || end - at - kEmmEntryHead < body[at + 1])
            return Status(kWrongLength);
        entries.push_back(body.subspan(at, kEmmEntryHead + body[at + 1]));
        at += entries.back().size();
    }
    if (at != end) return Status(kWrongLength);
    if (!state.operatorKey) return Status(kNoKey);
    if (!TrailerHolds(state, body)) return Status(kBadCheckBlock);

    OperatorSettings s{FileData(state, kSfiRating), FileData(state, kSfiViewingPeriod),
                       DecodeEntitlements(FileData(state, kSfiEntitlements))};
    for (const std::span<const uint8_t> entry : entries) {
        const uint16_t sw = ApplyEntry(s, entry[0], entry.subspan(kEmmEntryHead));
        if (sw != kOk) return Status(sw);
    }

    std::vector<Bytes> writes;
    const std::pair<uint8_t, Bytes> files[] = {
        {kSfiRating, s.rating},
        {kSfiViewingPeriod, s.period},
        {kSfiEntitlements, EncodeEntitlements(s.entitlements)}};
    for (const auto& [sfi, contents] : files) {
        if (contents == FileData(state, sfi)) continue;
        Bytes write = {0xC0, 0xE4, kEmmWriteP1, sfi, static_cast<uint8_t>(contents.size())};
        write.insert(write.end(), contents.begin(), contents.end());
        writes.push_back(std::move(write));
    }
    // Count, then each command after its length: 186 bytes at most, within a response.
    Bytes list = {static_cast<uint8_t>(writes.size())};
    for (const Bytes& write : writes) {
        list.push_back(static_cast<uint8_t>(write.size()));
        list.insert(list.end(), write.begin(), write.end());
    }
    state.authorisedWrites = std::move(writes);
    state.pending = std::move(list);
    return Status(0x61, static_cast<uint8_t>(state.pending.size()));
}

// P2: the SFI of an EF in DF01, whichever DF is selected; the data replace it whole. The PIN
// does not come into it: the EMM COMMAND's trailer has vouched for the write.
Bytes EmmWrite(CardState& state, const Command& c) {
    Bytes command = {0xC0, 0xE4, kEmmWriteP1, c.p2, static_cast<uint8_t>(c.data.size())};
    command.insert(command.end(), c.data.begin(), c.data.end());
    const auto authorised =
        std::find(state.authorisedWrites.begin(), state.authorisedWrites.end(), command);
    if (authorised == state.authorisedWrites.end()) return Status(kConditionsNotSatisfied);
    state.authorisedWrites.erase(authorised);
    ElementaryFile* ef = state.files.Find(kCaApplication, c.p2);
    if (ef == nullptr) return Status(kFileNotFound);
    ef->data.assign(c.data.begin(), c.data.end());
    ++state.changes;
    return Status(kOk);
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
    {0xC0, 0xE4, 0x08, Form::kData, EmmCommand},
    {0xC0, 0xE4, kEmmWriteP1, Form::kData, EmmWrite},
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
