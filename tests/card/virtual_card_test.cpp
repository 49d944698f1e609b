// The virtual subscriber card: its profile file, what it answers and refuses, the PIN counter,
// the session a reset ends, its failure controls, the control words it gives for an ECM, the
// operator's card commands, its memory kept in a state file and the host slot glue.
#include <gtest/gtest.h>

#include <filesystem>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "card/card_profile.h"
#include "card/card_slot.h"
#include "card/card_state_file.h"
#include "card/virtual_card.h"
#include "common/aes128.h"
#include "common/ecm_section.h"
#include "common/emm_section.h"
#include "common/section_builder.h"
#include "common/service_map_section.h"

namespace virtual_card_test {
namespace {

using Bytes = std::vector<uint8_t>;
using krtools::VirtualCard;

const std::filesystem::path kSample = std::filesystem::path(KRMODULE_SAMPLES_DIR) / "card/card.txt";
const Bytes kSelectDf01 = {0x00, 0xA4, 0x00, 0x00, 0x02, 0xDF, 0x01};
const Bytes kVerify = {0x00, 0x20, 0x00, 0x00, 0x04, '1', '2', '3', '4'};
const Bytes kGetVersion = {0xC0, 0xE4, 0x10, 0x00, 0x00};
const Bytes kGetFci = {0x00, 0xC0, 0x00, 0x00, 0x0E};

Bytes Sw(uint16_t sw) {
    return {static_cast<uint8_t>(sw >> 8), static_cast<uint8_t>(sw)};
}

Bytes Cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A header, Lc and the data.
Bytes With(Bytes header, const Bytes& data) {
    header.push_back(static_cast<uint8_t>(data.size()));
    return Cat(header, data);
}

Bytes UpdateBinary(uint8_t sfi, const Bytes& data) {
    return With({0x00, 0xD6, static_cast<uint8_t>(0x80 | sfi), 0x00}, data);
}

Bytes ChangePin(const Bytes& data) {
    return With({0x80, 0x5E, 0x01, 0x00}, data);
}

std::unique_ptr<VirtualCard> SampleCard() {
    return std::make_unique<VirtualCard>(krtools::ReadCardProfile(kSample));
}

TEST(CardProfile, ReadsTheSampleCardOverTheDefaults) {
    const krtools::CardProfile p = krtools::ReadCardProfile(kSample);
    EXPECT_EQ(p.cardId, (std::array<uint8_t, 8>{0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01}));
    EXPECT_EQ(p.manufacturer, "Sample Card Works");
    EXPECT_EQ(p.operatorName, "Sample Datacast Operator");
    EXPECT_EQ(p.versionMajor * 16 + p.versionMinor, 0x23);
    // The default answer to reset closes with a check byte over T0 onwards.
    ASSERT_LE(p.atr.size(), krtools::kMaxAtrSize);
    uint8_t check = 0;
    for (std::size_t i = 1; i < p.atr.size(); ++i)
        check ^= p.atr[i];
    EXPECT_EQ(check, 0);

    const krtools::CardProfile q = krtools::ParseCardProfile(
        "# only these\n\n  viewing-period = 22:00-06:30 \r\natr = 3B02 14 50\nversion=15.0");
    EXPECT_EQ(q.viewingPeriod, (std::array<uint8_t, 4>{22, 0, 6, 30}));
    EXPECT_EQ(q.atr, (Bytes{0x3B, 0x02, 0x14, 0x50}));
    EXPECT_EQ(q.versionMajor, 15);
    EXPECT_EQ(q.pinTries, 3);

    const krtools::CardProfile r = krtools::ParseCardProfile(
        "operator-key = 000102030405060708090A0B 0c0d0e0f\n"
        "entitlements = 1002 ,0x7D3 2024-01-01..2024-12-31\ncw-request = older-only");
    EXPECT_EQ(r.operatorKey, (krtools::AesKey{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(r.entitlements, (std::vector<krtools::Entitlement>{
                                  {1002, 0, 0}, {2003, 1704067200u, 1735689599u}}));
    EXPECT_EQ(r.cwRequests, krtools::CwRequests::kOlderOnly);
    EXPECT_FALSE(q.operatorKey);
}

TEST(CardProfile, RefusesBadLinesNamingThem) {
    const struct {
        std::string text;
        const char* message;
    } cases[] = {
        {"pin = 12a4", "line 1: bad value for 'pin'"},
        {"\n# tries\npin-tries = 0", "line 3: bad value for 'pin-tries'"},
        {"rating = 3", "'rating'"},
        {"card-id = 4B5200000000100", "'card-id'"},
        {"viewing-period = 24:00-06:00", "'viewing-period'"},
        {"version = 2.16", "'version'"},
        {"manufacturer = " + std::string(65, 'm'), "'manufacturer'"},
        {"operator = tab\ttab", "'operator'"},
        {"atr = 3B", "'atr'"},
        {"operator-key = 00112233", "'operator-key'"},
        {"entitlements = 7 2024-02-30..2024-03-01", "'entitlements'"},
        {"entitlements = 7 2024-03-02..2024-03-01", "'entitlements'"},
        {"entitlements = 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17", "'entitlements'"},
        {"cw-request = newer", "'cw-request'"},
        {"colour = red", "line 1: unknown setting 'colour'"},
        {"pin 1234", "line 1: expected KEY = VALUE"},
        {"pin = 1234\npin = 5678", "line 2: 'pin' given twice"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            krtools::ParseCardProfile(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const krtools::ToolError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

TEST(VirtualCard, AnswersAndRefusalsByStatusWord) {
    const Bytes id = {0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01};
    const Bytes df = kSelectDf01;
    const Bytes fci = {0x6F, 0x0C, 0x83, 0x02, 0xDF, 0x01, 0x84, 0x06,
                       'K',  'R',  'C',  'A',  '0',  '1',  0x90, 0x00};
    const struct {
        const char* name;
        std::vector<Bytes> before;
        Bytes command;
        Bytes response;
    } cases[] = {
        {"the MF", {}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, Sw(0x9000)},
        {"the application", {}, kSelectDf01, Sw(0x610E)},
        {"unknown fid", {}, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x01}, Sw(0x6A82)},
        {"SELECT by name", {}, {0x00, 0xA4, 0x04, 0x00, 0x02, 0xDF, 0x01}, Sw(0x6B00)},
        {"Lc beyond the bytes", {}, {0x00, 0xA4, 0x00, 0x00, 0x04, 0xDF, 0x01}, Sw(0x6700)},
        {"unknown CLA", {}, {0x90, 0xB0, 0x90, 0x00, 0x08}, Sw(0x6E00)},
        {"unknown INS", {}, {0x00, 0x12, 0x00, 0x00, 0x00}, Sw(0x6D00)},
        {"CA command not there", {}, {0xC0, 0xE4, 0x11, 0x00, 0x00}, Sw(0x6B00)},
        {"GET VERSION", {}, kGetVersion, Sw(0x6423)},
        {"card id", {}, {0x00, 0xB0, 0x90, 0x00, 0x08}, Cat(id, Sw(0x9000))},
        {"Le below the size", {}, {0x00, 0xB0, 0x90, 0x00, 0x02}, {0x4B, 0x52, 0x90, 0x00}},
        {"Le beyond the size", {}, {0x00, 0xB0, 0x90, 0x00, 0x09}, Sw(0x6C08)},
        {"Le 0 is 256", {}, {0x00, 0xB0, 0x90, 0x00, 0x00}, Sw(0x6C08)},
        {"READ with data", {}, {0x00, 0xB0, 0x90, 0x00, 0x01, 0x00}, Sw(0x6700)},
        {"rating not in the MF", {}, {0x00, 0xB0, 0x84, 0x00, 0x02}, Sw(0x6A82)},
        {"rating code", {df}, {0x00, 0xB0, 0x84, 0x00, 0x02}, {0x00, 0x0F, 0x90, 0x00}},
        {"mail store by BINARY", {df}, {0x00, 0xB0, 0x8C, 0x00, 0x10}, Sw(0x6981)},
        {"last record", {df}, {0x00, 0xB2, 0x20, 0x64, 0x8C}, Cat(Bytes(140, 0), Sw(0x9000))},
        {"record 33", {df}, {0x00, 0xB2, 0x21, 0x64, 0x8C}, Sw(0x6A83)},
        {"record written, read",
         {df, With({0x00, 0xDC, 0x02, 0x64}, Bytes(140, 0x5A))},
         {0x00, 0xB2, 0x02, 0x64, 0x02},
         {0x5A, 0x5A, 0x90, 0x00}},
        {"record too short", {df}, With({0x00, 0xDC, 0x01, 0x64}, Bytes(139, 1)), Sw(0x6700)},
        {"card id is read-only", {}, UpdateBinary(16, id), Sw(0x6986)},
        {"rating without PIN", {df}, UpdateBinary(4, {0, 1}), Sw(0x6982)},
        {"rating of 3 bytes", {df, kVerify}, UpdateBinary(4, {0, 1, 2}), Sw(0x6700)},
        {"nothing pending", {}, kGetFci, Sw(0x6985)},
        {"FCI asked with Le 0", {df}, {0x00, 0xC0, 0x00, 0x00, 0x00}, Sw(0x6C0E)},
        {"FCI kept after 6C", {df, {0x00, 0xC0, 0x00, 0x00, 0x00}}, kGetFci, fci},
        {"FCI given once", {df, kGetFci}, kGetFci, Sw(0x6985)},
        {"pending dropped", {df, {0x00, 0xB0, 0x84, 0x00, 0x02}}, kGetFci, Sw(0x6985)},
        {"CHANGE PIN without 0xFF", {}, ChangePin({'1', '2', '3', '4', '5', '6'}), Sw(0x6A80)},
        {"CHANGE PIN without new", {}, ChangePin({'1', '2', '3', '4', 0xFF}), Sw(0x6A80)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = SampleCard();
        for (const Bytes& command : c.before)
            ASSERT_FALSE(card->Exchange(command).empty());
        EXPECT_EQ(card->Exchange(c.command), c.response);
        EXPECT_EQ(card->PinTriesLeft(), 3) << "no refusal costs a PIN try";
    }
}

TEST(VirtualCard, ProtectedUpdatesNeedAPinSinceTheLastReset) {
    auto card = SampleCard();
    ASSERT_EQ(card->Exchange(kSelectDf01), Sw(0x610E));
    ASSERT_EQ(card->Exchange(kVerify), Sw(0x9000));
    EXPECT_EQ(card->Exchange(UpdateBinary(4, {0x00, 0x01})), Sw(0x9000));
    EXPECT_EQ(card->Exchange(UpdateBinary(5, {22, 0, 6, 0})), Sw(0x9000));
    EXPECT_EQ(card->File(krtools::kCaApplication, 5), (Bytes{22, 0, 6, 0}));
    ASSERT_EQ(card->Exchange(kSelectDf01), Sw(0x610E));

    uint8_t atr[64];
    uint32_t length = 0;
    ASSERT_EQ(card->Reset(atr, &length), 0);
    EXPECT_EQ(Bytes(atr, atr + length), krtools::CardProfile::DefaultAtr());
    EXPECT_EQ(card->ResetCount(), 1u);
    EXPECT_EQ(card->SelectedDf(), krtools::kMasterFile);
    EXPECT_EQ(card->Exchange(kGetFci), Sw(0x6985)) << "pending dropped";
    ASSERT_EQ(card->Exchange(kSelectDf01), Sw(0x610E));
    EXPECT_EQ(card->Exchange(UpdateBinary(4, {0x00, 0x02})), Sw(0x6982));
    EXPECT_EQ(card->File(krtools::kCaApplication, 4), (Bytes{0x00, 0x01})) << "files are kept";
}

TEST(CardStateFile, KeepsWhatTheCardWroteAndRefusesAnotherCardsFile) {
    const std::filesystem::path dir = std::filesystem::path(testing::TempDir()) / "card_state";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::filesystem::path path = dir / "state.txt";
    {
        auto card = SampleCard();
        krtools::CardStateKeeper keeper(*card, path, [](const std::string& m) { FAIL() << m; });
        ASSERT_EQ(card->Exchange(kSelectDf01), Sw(0x610E));
        ASSERT_EQ(card->Exchange(kVerify), Sw(0x9000));
        ASSERT_EQ(card->Exchange(UpdateBinary(5, {22, 0, 6, 0})), Sw(0x9000));
        ASSERT_EQ(card->Exchange(ChangePin({'1', '2', '3', '4', 0xFF, '9', '8', '7', '6', '5'})),
                  Sw(0x9000));
        // A wrong PIN, the last change: the keeper must have written it without being asked.
        ASSERT_EQ(card->Exchange(kVerify), Sw(0x63C2));
    }
    auto card = SampleCard();
    EXPECT_FALSE(krtools::LoadCardState(*card, dir / "none.txt"));
    ASSERT_TRUE(krtools::LoadCardState(*card, path));
    EXPECT_EQ(card->File(krtools::kCaApplication, 5), (Bytes{22, 0, 6, 0}));
    EXPECT_EQ(card->Pin(), (Bytes{'9', '8', '7', '6', '5'}));
    EXPECT_EQ(card->PinTriesLeft(), 2);

    krtools::CardProfile other = krtools::ReadCardProfile(kSample);
    other.cardId[7] ^= 1;
    VirtualCard stranger(other);
    EXPECT_THROW(krtools::LoadCardState(stranger, path), krtools::ToolError);
    for (const char* bad : {"card-id = 4B52000000001001\nef DF01 05 = 1600\n",
                            "card-id = 4B52000000001001\nef DF01 05 = 16XX0600\n",
                            "card-id = 4B52000000001001\npin-tries-left = 9\n",
                            "card-id = 4B52000000001001\nef 3F00 10 = 4B52000000001002\n",
                            "ef DF01 05 = 16000600\n"}) {
        krtools::WriteWholeFile(dir / "bad.txt", Bytes(bad, bad + std::strlen(bad)));
        EXPECT_THROW(krtools::LoadCardState(*card, dir / "bad.txt"), krtools::ToolError) << bad;
    }
}

TEST(VirtualCard, FailureControlsFailResetsAndExchanges) {
    const struct {
        const char* name;
        uint32_t failExchanges;
        uint32_t failResets;
        int32_t resetResult;
        bool pulled;
        std::array<int32_t, 3> resets;
        std::array<int32_t, 3> exchanges;
    } cases[] = {
        {"two exchanges fail", 2, 0, 0, false, {0, 0, 0}, {1, 1, 0}},
        {"a reset fails", 0, 1, 0, false, {2, 0, 0}, {0, 0, 0}},
        {"unusable until cleared", 0, 0, 0x33, false, {0x33, 0x33, 0x33}, {0, 0, 0}},
        {"pulled", 0, 0, 0, true, {1, 1, 1}, {1, 1, 1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto card = SampleCard();
        card->FailNextExchanges(c.failExchanges);
        card->FailNextResets(c.failResets);
        card->AnswerResetWith(c.resetResult);
        if (c.pulled) card->Pull();
        uint32_t good = 0;
        for (const int32_t expected : c.resets) {
            uint8_t atr[64];
            uint32_t length = 0;
            EXPECT_EQ(card->Reset(atr, &length), expected);
            good += expected == 0 ? 1 : 0;
        }
        EXPECT_EQ(card->ResetCount(), good);
        for (const int32_t expected : c.exchanges) {
            uint8_t response[256];
            uint32_t length = static_cast<uint32_t>(kGetVersion.size());
            EXPECT_EQ(card->Apdu(&length, kGetVersion.data(), response), expected);
            EXPECT_EQ(length, expected == 0 ? 2u : kGetVersion.size());
        }
        EXPECT_EQ(card->CommandLog().size(), c.pulled ? 0u : 3u) << "failed ones too";
    }
    auto card = SampleCard();
    ASSERT_EQ(card->Exchange(kVerify), Sw(0x9000));
    card->Pull();
    card->Insert();
    EXPECT_FALSE(card->PinVerified()) << "a pulled card loses its session";
}

TEST(VirtualCard, AnyBytesGetAnAnswerThatFitsTheBuffer) {
    auto card = SampleCard();
    std::mt19937 random(1);
    const uint8_t ins[] = {0xA4, 0xB0, 0xB2, 0xD6, 0xDC, 0x20, 0xC0, 0x5E, 0xE4, 0x00};
    const uint8_t cla[] = {0x00, 0x80, 0xC0, 0xFF};
    for (int i = 0; i < 20000; ++i) {
        Bytes command(random() % 270);
        for (uint8_t& b : command)
            b = static_cast<uint8_t>(random());
        if (command.size() > 1) command[1] = ins[random() % std::size(ins)];
        if (command.size() > 0) command[0] = cla[random() % std::size(cla)];
        if (command.size() > 5 && random() % 2 == 0) command.resize(5u + command[4]);
        uint8_t response[256];
        uint32_t length = static_cast<uint32_t>(command.size());
        ASSERT_EQ(card->Apdu(&length, command.data(), response), 0);
        ASSERT_GE(length, 2u);
        ASSERT_LE(length, 256u);
    }
}

// ---- Control words -----------------------------------------------------------------------

const Bytes kGetWords = {0x00, 0xC0, 0x00, 0x00, 0x20};

krtools::AesBlock Word(uint8_t seed) {
    krtools::AesBlock w{};
    for (std::size_t i = 0; i < w.size(); ++i)
        w[i] = static_cast<uint8_t>(seed + i);
    return w;
}

// GET RESPONSE's answer: the even word, the odd one, 90 00.
Bytes Words(const krtools::AesBlock& even, const krtools::AesBlock& odd) {
    Bytes answer(even.begin(), even.end());
    answer.insert(answer.end(), odd.begin(), odd.end());
    return Cat(answer, Sw(0x9000));
}

// An ECM for entitlement 1002 under the sample key: an odd word, then an even one.
krtools::EcmFields SampleEcm(uint8_t type) {
    krtools::EcmFields f;
    f.svid = 1002;
    f.type = type;
    f.entitlementId = 1002;
    f.broadcastTime = 1720000000;  // July 2024
    f.blocks = {{1, 7, Word(0x10)}, {0, 8, Word(0x40)}};
    return f;
}

const krtools::AesKey kSampleKey = {0x5A, 0x3C, 0x91, 0x07, 0xE2, 0x48, 0xB6, 0x1D,
                                     0x70, 0xC5, 0x2F, 0x89, 0x04, 0xDB, 0x63, 0xAE};

// The requests the terminal's library makes of an ECM: its card part, the count and the blocks;
// the older form from type-0 blocks without the parity's high byte.
Bytes CwRequest(const Bytes& ecm) {
    Bytes data(ecm.begin() + 11, ecm.begin() + 51);
    data.insert(data.end(), ecm.begin() + 55, ecm.end() - 4);
    return With({0xC0, 0xE4, 0x12, static_cast<uint8_t>((ecm[10] >> 6) << 4)}, data);
}

Bytes OlderCwRequest(const Bytes& ecm) {
    Bytes data(ecm.begin() + 11, ecm.begin() + 51);
    data.push_back(ecm[55]);
    for (auto block = ecm.begin() + 56; block + 20 <= ecm.end() - 4; block += 20)
        data.insert(data.end(), block + 1, block + 20);
    return With({0xC0, 0xE4, 0x01, 0x00}, data);
}

TEST(VirtualCard, GivesTheEvenAndOddWordsOfBothEcmTypes) {
    for (const uint8_t type : {uint8_t{0}, uint8_t{1}}) {
        SCOPED_TRACE(static_cast<int>(type));
        auto card = SampleCard();
        krtools::EcmFields f = SampleEcm(type);
        const Bytes ecm = krtools::BuildEcmSection(f, kSampleKey);
        ASSERT_EQ(ecm.size(), 56u + 2 * krtools::EcmBlockSize(type) + 4);
        EXPECT_EQ(krtools::SectionCrc(ecm.data() + 3, ecm.size() - 3), 0u) << "CRC at the end";
        EXPECT_EQ(card->Exchange(CwRequest(ecm)), Sw(0x6120));
        EXPECT_EQ(card->Exchange(kGetWords), Words(Word(0x40), Word(0x10)));

        f.blocks = {{1, 1, Word(0x10)}, {1, 2, Word(0x70)}};  // the later odd word holds
        ASSERT_EQ(card->Exchange(CwRequest(krtools::BuildEcmSection(f, kSampleKey))), Sw(0x6120));
        EXPECT_EQ(card->Exchange(kGetWords), Words({}, Word(0x70)));
    }
}

TEST(VirtualCard, AnOlderCardGivesTheWordsForTheOlderForm) {
    krtools::CardProfile older = krtools::ReadCardProfile(kSample);
    older.cwRequests = krtools::CwRequests::kOlderOnly;
    VirtualCard card(older);
    Bytes request = OlderCwRequest(krtools::BuildEcmSection(SampleEcm(0), kSampleKey));
    EXPECT_EQ(card.Exchange(request), Sw(0x6120));
    EXPECT_EQ(card.Exchange(kGetWords), Words(Word(0x40), Word(0x10)));
    request.push_back(0);
    ++request[4];
    EXPECT_EQ(card.Exchange(request), Sw(0x6700));
    request[3] = 0x10;
    EXPECT_EQ(card.Exchange(request), Sw(0x6B00));
}

TEST(VirtualCard, RefusesControlWordsByStatusWord) {
    using Setup = std::function<void(krtools::CardProfile&, krtools::EcmFields&)>;
    using Mangle = std::function<void(Bytes&)>;
    const uint32_t july = 1719792000;  // 2024-07-01
    const struct {
        const char* name;
        uint8_t type;
        Setup setup;
        Mangle mangle;
        uint16_t sw;
    } cases[] = {
        {"no operator key", 0, [](auto& p, auto&) { p.operatorKey.reset(); }, {}, 0x6A88},
        {"another key number", 0, [](auto&, auto& f) { f.keyNumber = 1; }, {}, 0x6A88},
        {"not entitled", 1, [](auto&, auto& f) { f.entitlementId = 1003; }, {}, 0x6401},
        {"period ended", 0,
         [july](auto& p, auto& f) {
             p.entitlements = {{1002, july - 86400 * 30, july - 1}};
             f.broadcastTime = july;
         },
         {}, 0x6402},
        {"period not begun", 0,
         [july](auto& p, auto& f) {
             p.entitlements = {{1003, 0, 0}, {1002, july + 1, july + 86400}};
             f.broadcastTime = july;
         },
         {}, 0x6402},
        {"check block of another card part", 1, {}, [](Bytes& c) { c[5 + 10] ^= 1; }, 0x6988},
        {"older-only card", 0,
         [](auto& p, auto&) { p.cwRequests = krtools::CwRequests::kOlderOnly; }, {}, 0x6A86},
        {"type 2", 0, {}, [](Bytes& c) { c[3] = 0x20; }, 0x6B00},
        {"type 1 with type 0 blocks", 0, {}, [](Bytes& c) { c[3] = 0x10; }, 0x6700},
        {"count beyond the blocks", 0, {}, [](Bytes& c) { c[5 + 40] = 3; }, 0x6700},
        {"four blocks", 0,
         [](auto&, auto& f) { f.blocks.insert(f.blocks.end(), 2, krtools::ControlWordBlock{}); },
         {}, 0x6700},
        {"no blocks", 0, [](auto&, auto& f) { f.blocks.clear(); }, {}, 0x6700},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        krtools::CardProfile profile = krtools::ReadCardProfile(kSample);
        krtools::EcmFields f = SampleEcm(c.type);
        if (c.setup) c.setup(profile, f);
        Bytes command = CwRequest(krtools::BuildEcmSection(f, kSampleKey));
        if (c.mangle) c.mangle(command);
        VirtualCard card(profile);
        EXPECT_EQ(card.Exchange(command), Sw(c.sw));
        EXPECT_EQ(card.Exchange(kGetWords), Sw(0x6985)) << "nothing pending";
    }
    // The card goes by its entitlements file, which the operator may have changed since.
    auto card = SampleCard();
    card->SetFile(krtools::kCaApplication, krtools::kSfiEntitlements,
                  krtools::EncodeEntitlements({{2003, 0, 0}}));
    EXPECT_EQ(card->Exchange(CwRequest(krtools::BuildEcmSection(SampleEcm(0), kSampleKey))),
              Sw(0x6401));
}

const krtools::CardId kSampleId = {0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01};

// What the terminal's library sends for a card-command EMM: its parameter byte and its body.
Bytes EmmCommand(const Bytes& emm) {
    Bytes data = {emm[13]};
    data.insert(data.end(), emm.begin() + 19, emm.end() - 4);
    return With({0xC0, 0xE4, 0x08, 0x00}, data);
}

TEST(VirtualCard, CarriesOutTheOperatorsCommandsThroughTheWritesItAuthorises) {
    auto card = SampleCard();
    const std::vector<krtools::Entitlement> after = {{2003, 1704067200, 1735689599}};
    const Bytes ef = krtools::EncodeEntitlements(after);
    const Bytes entitlement(ef.begin() + 1, ef.begin() + 11);
    const Bytes emm = krtools::BuildCardCommandEmm(
        kSampleId, 7,
        {{1, {12}}, {0x7F, {1, 2, 3}}, {2, {20, 0, 23, 30}}, {3, entitlement}, {4, {0x03, 0xEA}}},
        kSampleKey, 0x5A);
    const Bytes answer = card->Exchange(EmmCommand(emm));
    ASSERT_EQ(answer.size(), 2u);
    ASSERT_EQ(answer[0], 0x61);
    const Bytes list = card->Exchange({0x00, 0xC0, 0x00, 0x00, answer[1]});
    ASSERT_EQ(list.size(), answer[1] + 2u);
    ASSERT_EQ(list[0], 3) << "one write per EF";
    EXPECT_EQ(card->File(krtools::kCaApplication, 4), (Bytes{0, 15})) << "not yet written";

    uint8_t atr[64];
    uint32_t length = 0;
    ASSERT_EQ(card->Reset(atr, &length), 0);
    std::vector<Bytes> writes;
    for (std::size_t at = 1; at < list.size() - 2; at += 1u + list[at])
        writes.emplace_back(list.begin() + static_cast<std::ptrdiff_t>(at + 1),
                            list.begin() + static_cast<std::ptrdiff_t>(at + 1 + list[at]));
    for (const Bytes& write : writes)
        EXPECT_EQ(card->Exchange(write), Sw(0x9000));
    EXPECT_EQ(card->File(krtools::kCaApplication, 4), (Bytes{0, 9}));
    EXPECT_EQ(card->File(krtools::kCaApplication, 5), (Bytes{20, 0, 23, 30}));
    EXPECT_EQ(krtools::DecodeEntitlements(card->File(krtools::kCaApplication, 6)), after);
    EXPECT_EQ(card->Exchange(writes[0]), Sw(0x6985)) << "each write is good once";
}

TEST(VirtualCard, RefusesOperatorCommandsByStatusWord) {
    std::vector<krtools::CardCommandEntry> many;
    for (uint8_t id = 1; id <= 15; ++id)
        many.push_back({3, {0, id, 0, 0, 0, 0, 0, 0, 0, 0}});
    krtools::CardId other = kSampleId;
    other[7] ^= 1;
    krtools::AesKey forged = kSampleKey;
    forged[0] ^= 1;
    const struct {
        const char* name;
        krtools::CardId id;
        krtools::AesKey key;
        std::vector<krtools::CardCommandEntry> entries;
        bool noKey;
        bool extraByte;
        uint16_t sw;
    } cases[] = {
        {"for another card", other, kSampleKey, {{1, {12}}}, false, false, 0x6988},
        {"forged", kSampleId, forged, {{1, {12}}}, false, false, 0x6988},
        {"no operator key", kSampleId, kSampleKey, {{1, {12}}}, true, false, 0x6A88},
        {"a byte beyond the entries", kSampleId, kSampleKey, {{1, {12}}}, false, true, 0x6700},
        {"rating 3", kSampleId, kSampleKey, {{1, {3}}}, false, false, 0x6A80},
        {"period of three bytes", kSampleId, kSampleKey, {{2, {1, 2, 3}}}, false, false, 0x6A80},
        {"minute 60", kSampleId, kSampleKey, {{2, {1, 60, 3, 0}}}, false, false, 0x6A80},
        {"seventeen entitlements", kSampleId, kSampleKey, many, false, false, 0x6A84},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        krtools::CardProfile profile = krtools::ReadCardProfile(kSample);
        if (c.noKey) profile.operatorKey.reset();
        VirtualCard card(profile);
        Bytes command = EmmCommand(krtools::BuildCardCommandEmm(c.id, 1, c.entries, c.key));
        if (c.extraByte) {
            command.insert(command.end() - 16, 0);
            ++command[4];
        }
        EXPECT_EQ(card.Exchange(command), Sw(c.sw));
        EXPECT_EQ(card.Exchange({0x00, 0xC0, 0x00, 0x00, 0x08}), Sw(0x6985)) << "no list";
    }
    auto card = SampleCard();
    EXPECT_EQ(card->Exchange(With({0xC0, 0xE4, 0x09, 0x04}, {0, 9})), Sw(0x6985)) << "unasked";
}

TEST(Builders, MessageEmmAndBroadcastSection) {
    const Bytes mail = krtools::MailRecordBody({9, 0x01020304, {0xAA}, "T", "Hi"});
    EXPECT_EQ(mail, (Bytes{0, 0, 0, 9, 1, 2, 3, 4, 1, 0xAA, 1, 'T', 2, 'H', 'i'}));
    const Bytes emm = krtools::BuildMessageEmm(kSampleId, {{krtools::kMailRecordTag, mail}});
    EXPECT_EQ(Bytes(emm.begin(), emm.begin() + 23),
              Cat(Cat({0x83, 0x70, static_cast<uint8_t>(emm.size() - 3), 'K', 'R'},
                      Bytes(kSampleId.begin(), kSampleId.end())),
                  {0, 3, 0, 0, 0, 0, 0, 17, 0x81, 15}));
    EXPECT_EQ(emm.size(), 21u + 17 + 4);
    EXPECT_EQ(krtools::SectionCrc(emm.data() + 3, emm.size() - 3), 0u);

    const Bytes redirection = krtools::RedirectionDescriptorBody({5, {}, {}, 1, 2, 3});
    const Bytes broadcast =
        krtools::BuildBroadcastSection({{krtools::kRedirectionDescriptorTag, redirection}});
    EXPECT_EQ(Bytes(broadcast.begin() + 5, broadcast.begin() + 21),
              (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0, 0, 0, 28}));
    EXPECT_EQ(broadcast.size(), 21u + 28 + 4);
    EXPECT_EQ(krtools::SectionCrc(broadcast.data() + 3, broadcast.size() - 3), 0u);
}

TEST(Builders, AesBlockAndTheServiceMapSection) {
    const krtools::AesKey key = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    krtools::AesBlock plain{};
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<uint8_t>(0x11 * i);
    const krtools::AesBlock cipher = {0x69, 0xC4, 0xE0, 0xD8, 0x6A, 0x7B, 0x04, 0x30,
                                      0xD8, 0xCD, 0xB7, 0x80, 0x70, 0xB4, 0xC5, 0x5A};
    EXPECT_EQ(krtools::AesEncryptBlock(key, plain), cipher);
    EXPECT_EQ(krtools::AesDecryptBlock(key, cipher), plain);

    krtools::ServiceMapEntry e{1, 2, 3, 0x85, 0x1FF0, "TV", {7}, {{0xE0000001, 5000}}, {0x40, 0}};
    const Bytes smt = krtools::BuildServiceMapSection(0x21, {e});
    const Bytes entry = {0, 1, 0, 2, 0, 3, 0x85, 0x1F, 0xF0, 2, 'T', 'V', 1, 0, 7,
                         10, 0xA1, 6, 0xE0, 0, 0, 1, 0x13, 0x88, 0x40, 0};
    EXPECT_EQ(Bytes(smt.begin(), smt.end() - 4),
              Cat(Bytes{0x84, 0x70, static_cast<uint8_t>(2 + entry.size() + 4), 0x01, 1}, entry));
    EXPECT_EQ(krtools::SectionCrc(smt.data() + 3, smt.size() - 3), 0u);
}

TEST(CardSlot, ForwardsToTheCardInTheSlotWithinTheHostBuffers) {
    uint8_t atr[64];
    uint32_t length = 0;
    uint8_t response[260];
    EXPECT_EQ(krtools::CardSlotReset(atr, &length), 1) << "empty slot";
    length = static_cast<uint32_t>(kGetVersion.size());
    EXPECT_EQ(krtools::CardSlotApdu(&length, kGetVersion.data(), response), 1);

    auto card = SampleCard();
    krtools::InsertIntoSlot(card.get());
    ASSERT_EQ(krtools::CardSlotReset(atr, &length), 0);
    EXPECT_EQ(Bytes(atr, atr + length), krtools::CardProfile::DefaultAtr());
    // The largest answer fills the 256-byte buffer to its last byte and no further.
    card->SetFile(krtools::kMasterFile, 17, Bytes(254, 'm'));
    std::fill(std::begin(response), std::end(response), 0xEE);
    const Bytes read = {0x00, 0xB0, 0x91, 0x00, 0xFE};
    length = static_cast<uint32_t>(read.size());
    ASSERT_EQ(krtools::CardSlotApdu(&length, read.data(), response), 0);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(Bytes(response + 253, response + 260),
              (Bytes{'m', 0x90, 0x00, 0xEE, 0xEE, 0xEE, 0xEE}));
    krtools::InsertIntoSlot(nullptr);
    EXPECT_EQ(krtools::CardSlotReset(atr, &length), 1);
}

}  // namespace
}  // namespace virtual_card_test
