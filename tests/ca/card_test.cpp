// The conditional-access client end to end through the exports, with the virtual subscriber card
// behind the host's two card slots: insertion and removal, the EMM filters, the card layer's
// recovery and selection cache, the card information calls and the parental checks.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ca/ca_state.h"
#include "ca/card_info.h"
#include "ca/host_messages.h"
#include "card/card_profile.h"
#include "card/virtual_card.h"
#include "common/ca_section.h"
#include "core/host.h"
#include "intake/intake.h"
#include "intake/request_table.h"
#include "support/module_fixture.h"

namespace card_test {
namespace {

using krtest::HostCall;
using krtest::Slot;
using Bytes = std::vector<uint8_t>;

constexpr char kProfile[] =
    "card-id = 4B52000000001001\n"
    "manufacturer = Sample Card Works\n"
    "operator = Sample Datacast Operator\n"
    "pin = 1234\n"
    "pin-tries = 3\n"
    "rating = 12\n"
    "viewing-period = none\n"
    "version = 2.3\n";

constexpr uint8_t kPin[] = {'1', '2', '3', '4'};
constexpr uint8_t kWrongPin[] = {'9', '9', '9', '9'};
constexpr uint16_t kEmmPid = 0x1FF1;

// The card in the slot, and how the host reports what it sent.
krtools::VirtualCard* slotCard = nullptr;
// Set by a test to stand in for the host's answer (its result, and the length word it reports).
std::function<int32_t(uint32_t*, const uint8_t*, uint8_t*)> apduOverride;

int32_t SlotReset(uint8_t* answer, uint32_t* length) {
    return slotCard != nullptr ? slotCard->Reset(answer, length) : 1;
}

int32_t SlotApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    if (apduOverride) return apduOverride(length, command, response);
    return slotCard != nullptr ? slotCard->Apdu(length, command, response) : 1;
}

class CardTest : public krtest::ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        slotCard = &card;
        apduOverride = nullptr;
    }
    void TearDown() override {
        ModuleTest::TearDown();
        slotCard = nullptr;
        apduOverride = nullptr;
    }

    // Starts the module with the card slots on the virtual card (in the slot or not).
    void Start(bool cardIn = true) {
        if (!cardIn) card.Pull();
        InitRecord record = krtest::FakeHost::MakeInitRecord(64);
        record.callbacks.SmartcardReset = SlotReset;
        record.callbacks.SmartcardApdu = SlotApdu;
        ASSERT_EQ(kr_T2K_Init(&record), KR_OK);
        started = true;
        kr_T2K_SetDebugFlag(0x75, 1);
        card.ClearCommandLog();
    }

    // The filters the host was asked for since the last clear, by the type of their request.
    std::vector<SectionFilterParams> FiltersOfType(uint8_t type) {
        std::vector<SectionFilterParams> found;
        for (const HostCall& call : host.Calls(Slot::SetSectionFilter)) {
            kr::RequestEntry* entry = nullptr;
            if (kr::FindRequest(call.words[0], &entry) == 0 && entry->type == type)
                found.push_back(call.filter);
        }
        return found;
    }

    static std::array<uint8_t, 3> State() {
        return {kr::Ca().cardInserted.load(), kr::Ca().cardReady.load(), kr::Ca().cardError.load()};
    }

    // The instruction bytes (CLA INS P1 P2) of every command the card received.
    std::vector<std::string> Headers() {
        std::vector<std::string> out;
        for (const Bytes& command : card.CommandLog()) {
            char text[16];
            std::snprintf(text, sizeof text, "%02X%02X%02X%02X", command[0], command[1], command[2],
                          command[3]);
            out.emplace_back(text);
        }
        return out;
    }

    krtools::VirtualCard card{krtools::ParseCardProfile(kProfile)};
};

TEST_F(CardTest, InsertionStatesFollowWhatTheCardAnswers) {
    Start(false);
    EXPECT_EQ(State(), (std::array<uint8_t, 3>{0, 0, 1})) << "no card at start";
    EXPECT_TRUE(host.HasDebugText("No smartcard insert."));

    struct Case {
        const char* name;
        std::function<void(krtools::VirtualCard&)> prepare;
        int32_t result;
        std::array<uint8_t, 3> state;
    };
    const Case cases[] = {
        {"unusable", [](krtools::VirtualCard& c) { c.AnswerResetWith(0x33); }, 0x33, {1, 0, 1}},
        {"reset failed", [](krtools::VirtualCard& c) { c.FailNextResets(1); }, 2, {0, 0, 0}},
        {"id read failed", [](krtools::VirtualCard& c) { c.FailNextExchanges(2); }, 1, {1, 0, 0}},
        {"ready", [](krtools::VirtualCard&) {}, 0, {1, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        card.Insert();
        card.AnswerResetWith(0);
        c.prepare(card);
        EXPECT_EQ(krca_T2CA_CardInserted(), c.result);
        EXPECT_EQ(State(), c.state);
        EXPECT_EQ(krca_T2CA_CardRemoved(), 0);
        EXPECT_EQ(State(), (std::array<uint8_t, 3>{0, 0, 1}));
    }
}

TEST_F(CardTest, AReadyCardIsReadOnceAndASecondInsertionLeavesItAlone) {
    Start();
    EXPECT_EQ(State(), (std::array<uint8_t, 3>{1, 1, 0}));
    EXPECT_TRUE(host.HasDebugText("Card ID: 4B 52 00 00 00 00 10 01"));
    EXPECT_TRUE(host.HasDebugText("Card COS version: 2.3"));
    EXPECT_EQ(kr::Ca().cardRating.load(), 12);

    EXPECT_EQ(krca_T2CA_CardInserted(), 0);
    EXPECT_TRUE(host.HasDebugText("card already inserted"));
    EXPECT_TRUE(card.CommandLog().empty());

    // The id outlives the card; the cached values do not.
    EXPECT_EQ(krca_T2CA_CardRemoved(), 0);
    uint8_t id[8];
    kr::CopyCardId(id);
    EXPECT_EQ(Bytes(id, id + 8), (Bytes{0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01}));
    EXPECT_EQ(kr::Ca().cardRating.load(), 0);
}

TEST_F(CardTest, EmmFiltersCarryTheCardIdAndFollowTheCard) {
    Start(false);
    host.Clear();
    const int32_t others = kr::RequestsInUse();  // system information
    ASSERT_EQ(krca_T2CA_SetEmmPids(1, &kEmmPid), 0);
    // Without a card only the service map is asked for.
    ASSERT_EQ(FiltersOfType(kr::kTypeServiceMap).size(), 1u);
    EXPECT_EQ(FiltersOfType(kr::kTypeServiceMap)[0].pid, kEmmPid);
    EXPECT_EQ(FiltersOfType(kr::kTypeServiceMap)[0].match[0], 0x84);
    EXPECT_TRUE(FiltersOfType(kr::kTypeEmm).empty());

    card.Insert();
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    const auto emm = FiltersOfType(kr::kTypeEmm);
    const auto broadcast = FiltersOfType(kr::kTypeBroadcastData);
    ASSERT_EQ(emm.size(), 1u);
    ASSERT_EQ(broadcast.size(), 1u);
    const Bytes emmMatch = {0x83, 0, 0, 'K', 'R', 0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01, 0, 0, 0};
    const Bytes emmMask = {0xFF, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0,    0,    0};
    const Bytes dataMatch = {0x83, 0, 0, 'K', 'R', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x04, 0};
    const Bytes dataMask = {0xFF, 0, 0, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0};
    EXPECT_EQ(Bytes(emm[0].match, emm[0].match + 16), emmMatch);
    EXPECT_EQ(Bytes(emm[0].mask, emm[0].mask + 16), emmMask);
    EXPECT_EQ(Bytes(broadcast[0].match, broadcast[0].match + 16), dataMatch);
    EXPECT_EQ(Bytes(broadcast[0].mask, broadcast[0].mask + 16), dataMask);
    EXPECT_EQ(emm[0].pid, kEmmPid);
    EXPECT_EQ(emm[0].reserved1 | emm[0].reserved2, 0u);

    // A new PID with a ready card moves all three; a removal stops the card's two only.
    const uint16_t next = 0x1FF2;
    ASSERT_EQ(krca_T2CA_SetEmmPids(1, &next), 0);
    EXPECT_EQ(kr::RequestsInUse(), others + 3);
    const size_t stops = host.CallCount(Slot::StopSectionFilter);
    krca_T2CA_CardRemoved();
    EXPECT_EQ(host.CallCount(Slot::StopSectionFilter), stops + 2);
    EXPECT_EQ(kr::RequestsInUse(), others + 1) << "the service map stays";

    // No PID: stored, no CA filter.
    const uint16_t none = 0x1FFF;
    card.Insert();
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    ASSERT_EQ(krca_T2CA_SetEmmPids(1, &none), 0);
    EXPECT_EQ(kr::Ca().emmPid.load(), 0x1FFF);
    EXPECT_EQ(krca_T2CA_SetEmmPids(1, nullptr), KR_NULL_ARG);
}

TEST_F(CardTest, AFailedExchangeIsRecoveredOnceAndTwoFailuresResetTheNextTransaction) {
    Start();
    uint8_t rating = 0;
    ASSERT_EQ(krca_T2CA_GetRating(&rating), 0);  // DF01 now selected
    card.ClearCommandLog();
    const uint32_t resets = card.ResetCount();

    card.FailNextExchanges(1);
    ASSERT_EQ(krca_T2CA_GetRating(&rating), 0);
    EXPECT_EQ(rating, 12);
    EXPECT_EQ(card.ResetCount(), resets + 1);
    // The failed read, the re-selection of the application, the read again.
    EXPECT_EQ(Headers(), (std::vector<std::string>{"00B08400", "00A40000", "00B08400"}));

    // With the MF selected the recovery costs no SELECT, so a second failure is the retry's.
    uint8_t id[8];
    ASSERT_EQ(krca_T2CA_GetCardId(id), 0);
    std::memset(id, 0xEE, sizeof id);
    card.FailNextExchanges(2);
    EXPECT_EQ(krca_T2CA_GetCardId(id), 1);
    EXPECT_EQ(id[0], 0xEE) << "a failed call leaves the output alone";
    const uint32_t afterFailure = card.ResetCount();
    card.ClearCommandLog();
    ASSERT_EQ(krca_T2CA_GetCardId(id), 0);
    EXPECT_EQ(card.ResetCount(), afterFailure + 1) << "the next transaction resets the card";
    EXPECT_EQ(Headers(), (std::vector<std::string>{"00B09000"}));
}

TEST_F(CardTest, TheSelectionIsCachedUntilAnotherFileIsSelected) {
    Start();
    uint8_t rating = 0;
    uint8_t start[2];
    uint8_t end[2];
    ASSERT_EQ(krca_T2CA_GetRating(&rating), 0);
    ASSERT_EQ(krca_T2CA_GetWorkTime(start, end), 0);
    uint8_t id[8];
    ASSERT_EQ(krca_T2CA_GetCardId(id), 0);
    ASSERT_EQ(krca_T2CA_GetRating(&rating), 0);
    // Insertion left DF01 selected, so the first two calls send no SELECT.
    EXPECT_EQ(Headers(), (std::vector<std::string>{"00B08400", "00B08500", "00A40000", "00B09000",
                                                   "00A40000", "00B08400"}));
    EXPECT_TRUE(host.HasDebugText("Already select this DF."));
}

TEST_F(CardTest, ResponsesTheBufferCannotHoldAreFailedExchanges) {
    Start();
    struct Case {
        uint32_t reportedLength;
        const char* name;
    };
    for (const Case c : {Case{1, "shorter than a status word"}, Case{257, "beyond the buffer"},
                         Case{0, "empty"}}) {
        SCOPED_TRACE(c.name);
        apduOverride = [&](uint32_t* length, const uint8_t*, uint8_t* response) {
            response[0] = 0x90;
            response[1] = 0x00;
            *length = c.reportedLength;
            return 0;
        };
        uint8_t rating = 77;
        EXPECT_NE(krca_T2CA_GetRating(&rating), 0);
        EXPECT_EQ(rating, 77);
    }
    // A status of success with fewer data bytes than asked for is no success either.
    apduOverride = [](uint32_t* length, const uint8_t* command, uint8_t* response) {
        const bool select = command[1] == 0xA4;
        response[0] = select ? 0x90 : 0x00;
        response[1] = select ? 0x00 : 0x90;
        response[2] = 0x00;
        *length = select ? 2 : 3;  // one data byte of the two asked for
        return 0;
    };
    uint8_t rating = 77;
    EXPECT_EQ(krca_T2CA_GetRating(&rating), -1);
    EXPECT_EQ(rating, 77);
}

TEST_F(CardTest, PinTriesRunOutToBlockedAndAChangedPinIsTheOneChecked) {
    Start();
    EXPECT_EQ(krca_T2CA_VerfyPin(kPin, 4), 0);
    EXPECT_EQ(krca_T2CA_VerfyPin(kWrongPin, 4), KR_PIN_WRONG + 2);
    EXPECT_EQ(krca_T2CA_VerfyPin(kPin, 4), 0) << "a right PIN restores the tries";
    const uint8_t next[] = {'5', '6', '7', '8', '9'};
    EXPECT_EQ(krca_T2CA_ChangePin(kWrongPin, 4, next, 5), KR_PIN_WRONG + 2);
    EXPECT_EQ(krca_T2CA_ChangePin(kPin, 4, next, 5), 0);
    EXPECT_EQ(krca_T2CA_VerfyPin(kPin, 4), KR_PIN_WRONG + 2);
    EXPECT_EQ(krca_T2CA_VerfyPin(kWrongPin, 4), KR_PIN_WRONG + 1);
    EXPECT_EQ(krca_T2CA_VerfyPin(kWrongPin, 4), KR_PIN_WRONG + 0);
    EXPECT_EQ(krca_T2CA_VerfyPin(kWrongPin, 4), KR_PIN_BLOCKED);
    EXPECT_EQ(krca_T2CA_VerfyPin(next, 5), KR_PIN_BLOCKED) << "blocked even for the right PIN";
    EXPECT_EQ(krca_T2CA_ChangeRating(next, 5, 10), KR_PIN_BLOCKED);
    EXPECT_EQ(kr::Ca().cardRating.load(), 12);
    EXPECT_EQ(krca_T2CA_VerfyPin(nullptr, 4), KR_NULL_ARG);
    krca_T2CA_CardRemoved();
    EXPECT_EQ(krca_T2CA_VerfyPin(next, 5), KR_CARD_NOT_READY);
}

TEST_F(CardTest, RatingIsWrittenAsItsCodeAfterThePinAndReadBack) {
    Start();
    card.ClearCommandLog();
    EXPECT_EQ(krca_T2CA_ChangeRating(kPin, 4, 3), KR_OUT_OF_RANGE);
    EXPECT_EQ(krca_T2CA_ChangeRating(kPin, 4, 19), KR_OUT_OF_RANGE);
    EXPECT_TRUE(card.CommandLog().empty()) << "a value out of range costs no card work";
    EXPECT_EQ(krca_T2CA_ChangeRating(kWrongPin, 4, 4), KR_PIN_WRONG + 2);
    EXPECT_EQ(card.File(0xDF01, 4), (Bytes{0x00, 0x09})) << "a wrong PIN writes nothing";

    const struct {
        uint8_t rating;
        Bytes file;
    } cases[] = {{4, {0x00, 0x01}}, {18, {0x00, 0x0F}}};
    for (const auto& c : cases) {
        ASSERT_EQ(krca_T2CA_ChangeRating(kPin, 4, c.rating), 0);
        EXPECT_EQ(card.File(0xDF01, 4), c.file);
        EXPECT_EQ(kr::Ca().cardRating.load(), c.rating);
        uint8_t back = 0;
        ASSERT_EQ(krca_T2CA_GetRating(&back), 0);
        EXPECT_EQ(back, c.rating);
    }
    for (const uint8_t code : {uint8_t{0}, uint8_t{16}}) {
        card.SetFile(0xDF01, 4, {0x00, code});
        uint8_t back = 99;
        ASSERT_EQ(krca_T2CA_GetRating(&back), 0);
        EXPECT_EQ(back, 0) << "code " << int{code};
    }
}

TEST_F(CardTest, ViewingPeriodIsBcdOutsideAndBinaryOnTheCard) {
    Start();
    const struct {
        Bytes file;
        Bytes start;
        Bytes end;
    } reads[] = {
        {{8, 30, 22, 0}, {0x08, 0x30}, {0x22, 0x00}},
        {{25, 70, 1, 2}, {0x23, 0x59}, {0x01, 0x02}},
        {{0xFF, 0xFF, 0xFF, 0xFF}, {0, 0}, {0, 0}},
    };
    for (const auto& r : reads) {
        card.SetFile(0xDF01, 5, r.file);
        uint8_t start[2];
        uint8_t end[2];
        ASSERT_EQ(krca_T2CA_GetWorkTime(start, end), 0);
        EXPECT_EQ(Bytes(start, start + 2), r.start);
        EXPECT_EQ(Bytes(end, end + 2), r.end);
    }

    card.ClearCommandLog();
    const uint8_t late[] = {0x24, 0x00};
    const uint8_t six[] = {0x06, 0x00};
    EXPECT_EQ(krca_T2CA_ChangeWorkTime(kPin, 4, late, six), KR_OUT_OF_RANGE);
    EXPECT_TRUE(card.CommandLog().empty());
    const uint8_t ten[] = {0x22, 0x00};
    ASSERT_EQ(krca_T2CA_ChangeWorkTime(kPin, 4, ten, six), 0);
    EXPECT_EQ(card.File(0xDF01, 5), (Bytes{22, 0, 6, 0}));
    EXPECT_EQ(kr::Ca().workStart.load(), 0x2200);
    EXPECT_EQ(kr::Ca().workEnd.load(), 0x0600);
    krca_T2CA_CardRemoved();
    uint8_t start[2];
    uint8_t end[2];
    EXPECT_EQ(krca_T2CA_GetWorkTime(start, end), 1) << "no card inserted";
    EXPECT_EQ(krca_T2CA_ChangeWorkTime(kPin, 4, ten, six), KR_CARD_NOT_READY);
}

TEST_F(CardTest, ParentalChecksCompareWithTheCachedValues) {
    Start(false);
    const struct {
        uint8_t card;
        uint8_t programme;
        int32_t answer;
    } ratings[] = {{10, 12, KR_NO}, {10, 10, KR_YES}, {10, 16, KR_YES}, {10, 0, KR_YES},
                   {0, 14, KR_YES},  {15, 14, KR_YES}, {4, 5, KR_NO}};
    for (const auto& r : ratings) {
        kr::Ca().cardRating.store(r.card);
        EXPECT_EQ(kr::kr_CheckRating(r.programme), r.answer)
            << int{r.card} << " vs " << int{r.programme};
    }
    const struct {
        uint16_t start;
        uint16_t end;
        uint8_t now[2];
        int32_t answer;
    } times[] = {{0x2200, 0x0600, {0x23, 0x30}, KR_YES}, {0x2200, 0x0600, {0x05, 0x59}, KR_YES},
                 {0x2200, 0x0600, {0x12, 0x00}, KR_NO},  {0x0800, 0x0800, {0x03, 0x00}, KR_YES},
                 {0x0800, 0x2000, {0x20, 0x00}, KR_YES}, {0x0800, 0x2000, {0x20, 0x01}, KR_NO}};
    for (const auto& t : times) {
        kr::Ca().workStart.store(t.start);
        kr::Ca().workEnd.store(t.end);
        EXPECT_EQ(kr::kr_CheckWorkTime(t.now), t.answer) << std::hex << t.start << "-" << t.end;
    }
}

TEST_F(CardTest, OperatorAndManufacturerRecordsAreFilledToTheByte) {
    Start();
    uint8_t count = 0;
    ASSERT_EQ(krca_T2CA_GetOperatorInfo(nullptr, &count), 0);
    EXPECT_EQ(count, 1);
    OperatorInfo info;
    std::memset(&info, 0xAA, sizeof info);
    ASSERT_EQ(krca_T2CA_GetOperatorInfo(&info, &count), 0);
    EXPECT_EQ(info.operatorNumber, 1);
    EXPECT_STREQ(info.name, "Sample Datacast Operator");
    EXPECT_EQ(info.name[63], 0);

    Bytes longName(64, 0);
    std::memset(longName.data(), 'x', 40);
    card.SetFile(0xDF01, 3, longName);
    ASSERT_EQ(krca_T2CA_GetOperatorInfo(&info, &count), 0);
    EXPECT_EQ(std::string(info.name), std::string(32, 'x'));

    ManufacturerInfo maker;
    std::memset(&maker, 0xAA, sizeof maker);
    ASSERT_EQ(krca_T2CA_GetManufacturerInfo(&maker), 0);
    EXPECT_EQ(maker.entryNumber, 1);
    EXPECT_STREQ(maker.name, "Sample Card Works");
    EXPECT_EQ(maker.reserved2, 0x02000000u);
    EXPECT_EQ(maker.cosVersion, 0x0203u);
    EXPECT_EQ(maker.reserved3, 0x02000000u);
    EXPECT_EQ(krca_T2CA_GetManufacturerInfo(nullptr), KR_NULL_ARG);
    EXPECT_EQ(krca_T2CA_GetOperatorInfo(&info, nullptr), KR_NULL_ARG);

    krca_T2CA_CardRemoved();
    EXPECT_EQ(krca_T2CA_GetOperatorInfo(&info, &count), KR_CARD_NOT_READY);
    EXPECT_EQ(krca_T2CA_GetOperatorInfo(nullptr, &count), 0) << "no card needed for the count";
    EXPECT_EQ(krca_T2CA_GetManufacturerInfo(&maker), KR_CARD_NOT_READY);
    EXPECT_EQ(krca_T2CA_VerifySystemId(kr::kCaSystemId), 0);
    EXPECT_EQ(krca_T2CA_VerifySystemId(kr::kCaSystemId ^ 1), -1);
}

TEST_F(CardTest, OneNumberedMessageIsShownAtATime) {
    Start(false);
    host.Clear();
    kr::kr_ShowMessage(kr::kMessageNoCard);
    kr::kr_ShowMessage(kr::kMessageNoCard);
    EXPECT_EQ(host.CallCount(Slot::ShowMessage), 1u);
    EXPECT_EQ(host.Calls(Slot::ShowMessage)[0].words,
              (std::vector<uint32_t>{4, 0, 1})) << "number, always 0, hide later";
    EXPECT_EQ(kr::kr_HideMessage(kr::kMessageCardUnusable), 1) << "another one is shown";
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 0u);

    // A card insertion takes down "no card", then reads the card's version, then its mails.
    card.Insert();
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 1u);
    const std::vector<std::string> lines = host.DebugLines();
    const auto line = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) {
            return l.find(text) != std::string::npos;
        });
    };
    EXPECT_LT(line("Hide message 4"), line("Card COS version: 2.3"));
    const std::vector<std::string> headers = Headers();
    const auto mailRead = std::find_if(headers.begin(), headers.end(),
                                       [](const std::string& h) { return h.starts_with("00B2"); });
    EXPECT_LT(std::find(headers.begin(), headers.end(), "C0E41000"), mailRead);
    EXPECT_NE(mailRead, headers.end());

    // A show replaces what is shown without a hide; the replaced one's hide does nothing.
    kr::kr_ShowMessage(kr::kMessageRating);
    kr::kr_ShowMessage(kr::kMessageCardRefused);
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 1u);
    EXPECT_EQ(kr::kr_HideMessage(kr::kMessageRating), 1);
    EXPECT_EQ(kr::kr_HideMessage(kr::kMessageAny), 0);
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 2u);
    const size_t count = host.DebugLines().size();
    EXPECT_EQ(kr::kr_HideMessage(kr::kMessageAny), 0);
    EXPECT_EQ(host.DebugLines().size(), count) << "nothing shown: nothing logged";
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 2u);

    // A message still shown at the end is taken down.
    kr::kr_ShowMessage(kr::kMessageWorkTime);
    FinishModule();
    EXPECT_EQ(host.CallCount(Slot::HideMessage), 3u);
}

TEST_F(CardTest, CaSectionsAreCheckedBeforeTheirHandlers) {
    Start(false);
    host.Clear();
    ASSERT_EQ(krca_T2CA_SetEmmPids(1, &kEmmPid), 0);
    const auto calls = host.Calls(Slot::SetSectionFilter);
    ASSERT_EQ(calls.size(), 1u);
    const uint32_t serviceMap = calls[0].words[0];
    const auto deliver = [&](const Bytes& section) {
        return kr_T2K_SendRetrieved(static_cast<int32_t>(serviceMap), 0, section.data(),
                                    static_cast<int32_t>(section.size()));
    };
    const Bytes body = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09};
    ASSERT_EQ(deliver(krtools::BuildCaSection(0x84, body)), 0);
    ASSERT_EQ(deliver(krtools::BuildCaSection(0x84, body, false)), 0);
    const auto errors = [&] {
        size_t n = 0;
        for (const std::string& line : host.DebugLines())
            n += line.find("CA data CRC error.") != std::string::npos ? 1u : 0u;
        return n;
    };
    ASSERT_TRUE(host.WaitFor([&] { return kr::FreeNodeCount() == 64; })) << "all returned";
    EXPECT_EQ(errors(), 1u) << "the intact one passes, the damaged one does not";
}

// A slow card holds up only card calls: sections, EPG reads and program calls go on.
TEST_F(CardTest, ACardTransactionInProgressHoldsUpNothingButCardCalls) {
    Start();
    std::mutex mutex;
    std::condition_variable changed;
    bool inside = false;
    bool release = false;
    apduOverride = [&](uint32_t* length, const uint8_t* command, uint8_t* response) {
        std::unique_lock<std::mutex> hold(mutex);
        inside = true;
        changed.notify_all();
        changed.wait(hold, [&] { return release; });
        return card.Apdu(length, command, response);
    };
    std::thread slow([] {
        uint8_t rating = 0;
        krca_T2CA_GetRating(&rating);
    });
    {
        std::unique_lock<std::mutex> hold(mutex);
        ASSERT_TRUE(changed.wait_for(hold, krtest::kDefaultDeadline, [&] { return inside; }));
    }
    const uint8_t section[8] = {0x3E, 0, 5, 0, 0, 0, 0, 0};
    EXPECT_EQ(kr_T2K_SendRetrieved(12345, 0, section, sizeof section), KR_FAILED);
    LiveEpg* live = nullptr;
    EXPECT_EQ(kr_T2K_GetLiveEpg(&live), KR_NOTHING);
    EXPECT_EQ(kr_T2K_StopProgram(1001), KR_FAILED);
    EXPECT_EQ(kr_T2K_ClearEpg(), KR_OK);
    uint8_t count = 0;
    EXPECT_EQ(krca_T2CA_GetOperatorInfo(nullptr, &count), 0);
    {
        std::lock_guard<std::mutex> hold(mutex);
        release = true;
    }
    changed.notify_all();
    slow.join();
}

// Insertions and removals race card calls from another thread (for ThreadSanitizer).
TEST_F(CardTest, InsertionsAndRemovalsRaceCardCallsSafely) {
    Start();
    ASSERT_EQ(krca_T2CA_SetEmmPids(1, &kEmmPid), 0);
    std::atomic<bool> done{false};
    std::thread caller([&] {
        while (!done.load()) {
            uint8_t rating = 0;
            uint8_t start[2];
            uint8_t end[2];
            uint8_t count = 0;
            OperatorInfo info;
            krca_T2CA_GetRating(&rating);
            krca_T2CA_GetWorkTime(start, end);
            krca_T2CA_GetOperatorInfo(&info, &count);
            (void)kr::kr_CheckRating(14);
        }
    });
    for (int i = 0; i < 50; ++i) {
        krca_T2CA_CardRemoved();
        krca_T2CA_CardInserted();
    }
    done.store(true);
    caller.join();
    EXPECT_EQ(State(), (std::array<uint8_t, 3>{1, 1, 0}));
    EXPECT_EQ(FiltersOfType(kr::kTypeEmm).size(), 1u) << "the running card's filter only";
}

}  // namespace
}  // namespace card_test
