// The virtual subscriber card: its profile file, what it answers and refuses, the PIN counter,
// the session a reset ends, its failure controls and the host slot glue.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "card/card_profile.h"
#include "card/card_slot.h"
#include "card/virtual_card.h"

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
        {"CA command not there", {}, {0xC0, 0xE4, 0x08, 0x00, 0x00}, Sw(0x6B00)},
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
