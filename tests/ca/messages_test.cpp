// What the operator sends to subscribers, end to end: mails and texts in EMMs addressed to the
// card, card commands that change what the card holds, and broadcast texts and redirections for
// groups of cards. Sections come in through the host's delivery; the virtual card is in the slot.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "ca/broadcast_data.h"
#include "ca/ca_state.h"
#include "ca/emm.h"
#include "card/card_files.h"
#include "card/card_profile.h"
#include "card/virtual_card.h"
#include "common/emm_section.h"
#include "core/byte_order.h"
#include "intake/intake.h"
#include "support/module_fixture.h"

namespace messages_test {
namespace {

using krtest::HostCall;
using krtest::Slot;
using Bytes = std::vector<uint8_t>;

constexpr krtools::CardId kCard = {0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01};
constexpr krtools::AesKey kKey = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                  0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
constexpr uint16_t kEmmPid = 0x1FF1;

krtools::VirtualCard* slotCard = nullptr;
bool failEmmWrites = false;
// When set, the answer the card's GET RESPONSE gives instead of its own.
std::vector<uint8_t> fetchAnswer;

int32_t SlotReset(uint8_t* answer, uint32_t* length) {
    return slotCard->Reset(answer, length);
}

// The card's EMM WRITE commands can be made to fail, as a card pulled between the two
// transactions of a card-command EMM would.
int32_t SlotApdu(uint32_t* length, const uint8_t* command, uint8_t* response) {
    if (failEmmWrites && *length >= 3 && command[1] == 0xE4 && command[2] == 0x09) return 1;
    const uint32_t sent = *length;
    const int32_t result = slotCard->Apdu(length, command, response);
    if (result != 0 || sent < 3 || fetchAnswer.empty()) return result;
    if (command[0] == 0xC0 && command[1] == 0xE4 && command[2] == 0x08) {
        response[0] = 0x61;
        response[1] = static_cast<uint8_t>(fetchAnswer.size());
        *length = 2;
    } else if (command[0] == 0x00 && command[1] == 0xC0) {
        std::copy(fetchAnswer.begin(), fetchAnswer.end(), response);
        response[fetchAnswer.size()] = 0x90;
        response[fetchAnswer.size() + 1] = 0x00;
        *length = static_cast<uint32_t>(fetchAnswer.size() + 2);
    }
    return result;
}

krtools::TaggedBody Mail(uint32_t id, const std::string& title = "Title",
                         const std::string& content = "Content") {
    return {krtools::kMailRecordTag,
            krtools::MailRecordBody({id, 0x01020304, {7, 8, 9}, title, content})};
}

krtools::TaggedBody Text(uint32_t id, const std::string& text) {
    return {krtools::kTextRecordTag, krtools::TextRecordBody({id, {1}, {2, 3}, text})};
}

class MessagesTest : public krtest::ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        slotCard = &card;
        failEmmWrites = false;
        fetchAnswer.clear();
        ASSERT_EQ(StartModule(), KR_OK);
        kr_T2K_SetDebugFlag(0x75, 1);
        ASSERT_EQ(krca_T2CA_SetEmmPids(1, &kEmmPid), 0);
    }
    void TearDown() override {
        ModuleTest::TearDown();
        slotCard = nullptr;
    }
    void AdjustSlots(HostCallbacks& slots) override {
        slots.SmartcardReset = SlotReset;
        slots.SmartcardApdu = SlotApdu;
    }

    // Hands a section to the filter for its kind, and waits until the CA worker is done with it.
    void Send(const Bytes& section) {
        const bool broadcast = section[14] == krtools::kBroadcastDataType;
        uint32_t id = 0;
        for (const HostCall& call : host.Calls(Slot::SetSectionFilter)) {
            const bool emm = call.filter.match[0] == 0x83 && call.filter.mask[5] == 0xFF;
            const bool data = call.filter.match[0] == 0x83 && call.filter.mask[14] == 0xFF;
            if (broadcast ? data : emm) id = call.words[0];
        }
        ASSERT_EQ(kr_T2K_SendRetrieved(static_cast<int32_t>(id), 0, section.data(),
                                       static_cast<int32_t>(section.size())),
                  0);
        ASSERT_TRUE(host.WaitFor([] { return kr::FreeNodeCount() == kr::IntakeNodeCount(); }));
    }
    void SendMails(const std::vector<krtools::TaggedBody>& records) {
        Send(krtools::BuildMessageEmm(kCard, records));
    }

    std::vector<uint32_t> MailIds() {
        MailTitle titles[20];
        uint8_t count = 0;
        EXPECT_EQ(krca_T2CA_GetMailTitleList(titles, &count), 0);
        std::vector<uint32_t> ids;
        for (uint8_t i = 0; i < count; ++i)
            ids.push_back(titles[i].mailId);
        return ids;
    }
    std::vector<uint32_t> Notified() const {
        std::vector<uint32_t> out;
        for (const HostCall& call : host.Calls(Slot::MailNotify))
            out.push_back(call.words[0]);
        return out;
    }
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const HostCall& call : host.Calls(Slot::ShowMessage))
            out.push_back(call.text);
        return out;
    }

    krtools::VirtualCard card{krtools::ParseCardProfile(
        "card-id = 4B52000000001001\noperator-key = 00112233445566778899AABBCCDDEEFF\n"
        "pin = 1234\nrating = 18\n")};
};

TEST_F(MessagesTest, MailsArriveInOrderAndAreReadMarkedAndDeleted) {
    SendMails(
        {Mail(1, std::string(25, 't'), std::string(200, 'c')), Mail(2), Text(9, "Hello"), Mail(3)});
    EXPECT_EQ(MailIds(), (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{0, 0, 0}));
    EXPECT_EQ(Texts(), std::vector<std::string>{"Hello"});

    MailContent content;
    ASSERT_EQ(krca_T2CA_GetMailContent(1, &content), 0);
    EXPECT_EQ(content.length, 124);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(content.content), 124), std::string(124, 'c'));
    EXPECT_EQ(Bytes(content.infoBytes, content.infoBytes + 10),
              (Bytes{7, 8, 9, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Bytes(reinterpret_cast<uint8_t*>(&content.infoWord),
                    reinterpret_cast<uint8_t*>(&content.infoWord) + 4),
              (Bytes{1, 2, 3, 4}));
    MailTitle titles[20];
    uint8_t count = 0;
    ASSERT_EQ(krca_T2CA_GetMailTitleList(titles, &count), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(titles[0].title), 20), std::string(20, 't'));
    EXPECT_EQ(titles[1].read, 0);
    ASSERT_EQ(krca_T2CA_SetMailRead(2), 0);
    ASSERT_EQ(krca_T2CA_GetMailTitleList(titles, &count), 0);
    EXPECT_EQ(titles[1].read, 1);
    EXPECT_EQ(krca_T2CA_SetMailRead(77), 0x88);
    EXPECT_EQ(krca_T2CA_GetMailContent(77, &content), -1);
    EXPECT_EQ(krca_T2CA_GetMailInfoList(nullptr, &count), 0xF0);

    // Deleting 2 frees slot 1; mail 4 takes it and is listed last.
    ASSERT_EQ(krca_T2CA_DelMail(2), 0);
    SendMails({Mail(4), Mail(2)});
    EXPECT_EQ(MailIds(), (std::vector<uint32_t>{1, 3, 4})) << "a deleted mail is not taken again";
    EXPECT_EQ(kr::ReadBe32(card.Record(krtools::kCaApplication, krtools::kSfiMail, 1).data(), 10),
              4u)
        << "slot 1 of the card's index";
    ASSERT_EQ(krca_T2CA_DelMail(0xFFFFFFFF), 0);
    EXPECT_TRUE(MailIds().empty());
    SendMails({Mail(2), Mail(5)});
    EXPECT_EQ(MailIds(), (std::vector<uint32_t>{2, 5}));

    // What the card holds comes back after a reinsertion; unread mail is announced.
    ASSERT_EQ(krca_T2CA_CardRemoved(), 0);
    EXPECT_EQ(krca_T2CA_GetMailTitleList(titles, &count), KR_CARD_NOT_READY);
    const size_t notices = Notified().size();
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    EXPECT_EQ(MailIds(), (std::vector<uint32_t>{2, 5}));
    EXPECT_EQ(Notified().size(), notices + 1);
}

TEST_F(MessagesTest, AFullStoreRefusesTheMailUntilTheEmmComesRoundAgain) {
    std::vector<krtools::TaggedBody> twenty;
    for (uint32_t id = 1; id <= 20; ++id)
        twenty.push_back(Mail(id, "", ""));
    SendMails(twenty);
    ASSERT_EQ(MailIds().size(), 20u);
    const Bytes next = krtools::BuildMessageEmm(kCard, {Mail(21)});
    const size_t notices = Notified().size();
    Send(next);
    EXPECT_EQ(Notified().size(), notices + 1);
    EXPECT_EQ(Notified().back(), 1u);
    ASSERT_EQ(krca_T2CA_DelMail(7), 0);
    Send(next);
    EXPECT_FALSE(host.HasDebugText("Emm type 3 saved.")) << "not carried out: taken again";
    EXPECT_EQ(MailIds().back(), 21u);
    Send(next);
    EXPECT_TRUE(host.HasDebugText("Emm type 3 saved."));
}

TEST_F(MessagesTest, TheCardsIndexIsMendedAtInsertion) {
    Bytes index(140, 0xFF);
    card.SetFile(krtools::kCaApplication, krtools::kSfiMail, [&] {
        Bytes all(140 * 32, 0);
        std::copy(index.begin(), index.end(), all.begin());
        return all;
    }());
    ASSERT_EQ(krca_T2CA_CardRemoved(), 0);
    ASSERT_EQ(krca_T2CA_CardInserted(), 0);
    EXPECT_EQ(card.Record(krtools::kCaApplication, krtools::kSfiMail, 1)[0], 0xBF)
        << "an index this module did not write is replaced by an empty one";
    SendMails({Mail(1)});
    EXPECT_EQ(MailIds(), std::vector<uint32_t>{1});
}

TEST_F(MessagesTest, EmmsForOtherCardsRepeatsAndCutRecords) {
    Bytes other = krtools::BuildMessageEmm({0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x02}, {Mail(1)});
    EXPECT_EQ(kr::kr_EmmParse(other.data(), static_cast<uint32_t>(other.size())), KR_NOT_THIS_CARD);
    const Bytes texts = krtools::BuildMessageEmm(kCard, {Text(5, "once"), Text(5, "once")});
    EXPECT_EQ(kr::kr_EmmParse(texts.data(), static_cast<uint32_t>(texts.size())), 0);
    EXPECT_EQ(kr::kr_EmmParse(texts.data(), static_cast<uint32_t>(texts.size())), 1);
    EXPECT_EQ(Texts(), std::vector<std::string>{"once"});

    // A record that does not fit ends the section; the mail before it is kept.
    krtools::TaggedBody cutMail = Mail(3);
    cutMail.body[cutMail.body.size() - 8] = 200;  // "Content" claims 200 bytes
    Bytes cut = krtools::BuildMessageEmm(kCard, {Mail(2), cutMail, Mail(4)});
    EXPECT_EQ(kr::kr_EmmParse(cut.data(), static_cast<uint32_t>(cut.size())), 0);
    EXPECT_TRUE(host.HasDebugText("Mail record length error."));
    EXPECT_EQ(MailIds(), std::vector<uint32_t>{2});
    // A text whose fields overrun its record ends the section too; its id is remembered.
    krtools::TaggedBody cutText = Text(8, "cut");
    cutText.body[cutText.body.size() - 4] = 9;  // the text length
    cut = krtools::BuildMessageEmm(kCard, {cutText, Mail(7)});
    EXPECT_EQ(kr::kr_EmmParse(cut.data(), static_cast<uint32_t>(cut.size())), 0);
    EXPECT_EQ(MailIds(), std::vector<uint32_t>{2});
    SendMails({Text(8, "again")});
    EXPECT_EQ(Texts(), std::vector<std::string>{"once"});
    // A record area longer than the section, remembered like any EMM carried out.
    cut = krtools::BuildMessageEmm(kCard, {Mail(6)});
    cut[19] = 0x0F;
    EXPECT_EQ(kr::kr_EmmParse(cut.data(), static_cast<uint32_t>(cut.size())), 0);
    EXPECT_TRUE(host.HasDebugText("EMM data length error."));
    EXPECT_EQ(kr::kr_EmmParse(cut.data(), static_cast<uint32_t>(cut.size())), 1);
    EXPECT_EQ(MailIds(), std::vector<uint32_t>{2});
}

TEST_F(MessagesTest, ACardCommandEmmChangesTheRatingOnceAndIsRetriedWhenTheCardFailed) {
    const Bytes emm = krtools::BuildCardCommandEmm(kCard, 1, {{0x01, {12}}}, kKey);
    failEmmWrites = true;
    Send(emm);
    uint8_t rating = 0;
    ASSERT_EQ(krca_T2CA_GetRating(&rating), 0);
    EXPECT_EQ(rating, 18) << "the write failed";
    failEmmWrites = false;
    Send(emm);
    EXPECT_FALSE(host.HasDebugText("Emm type 6 saved."));
    ASSERT_EQ(krca_T2CA_GetRating(&rating), 0);
    EXPECT_EQ(rating, 12);
    EXPECT_EQ(kr::Ca().cardRating.load(), 12) << "the parental check sees it";

    // The same sequence in another section is not carried out twice.
    const size_t commands = card.CommandLog().size();
    Send(krtools::BuildCardCommandEmm(kCard, 1, {{0x01, {16}}}, kKey));
    EXPECT_EQ(card.CommandLog().size(), commands);
    // Entries that run past the section never reach the card.
    Bytes cut = krtools::BuildCardCommandEmm(kCard, 2, {{0x01, {16}}}, kKey);
    cut[19 + 8 + 1] = 40;  // k = 40 entries
    EXPECT_EQ(kr::kr_EmmCardCommands(cut.data() + 19, static_cast<uint32_t>(cut.size() - 23), 0),
              -1);
    EXPECT_EQ(card.CommandLog().size(), commands);

    // A card that lists no command gets nothing more than the fetch of its answer.
    card.ClearCommandLog();
    Send(krtools::BuildCardCommandEmm(kCard, 3, {{0x01, {12}}}, kKey));
    EXPECT_TRUE(host.HasDebugText("Command count: 0"));
    ASSERT_FALSE(card.CommandLog().empty());
    EXPECT_EQ(card.CommandLog().back()[1], 0xC0) << "GET RESPONSE was the last";
    // A command shorter than a header goes to the card as the card wrote it.
    fetchAnswer = {1, 3, 0xA0, 0xB0, 0xC0};
    Send(krtools::BuildCardCommandEmm(kCard, 4, {{0x01, {12}}}, kKey));
    const std::vector<Bytes> log = card.CommandLog();
    EXPECT_NE(std::find(log.begin(), log.end(), Bytes{0xA0, 0xB0, 0xC0}), log.end());
}

TEST_F(MessagesTest, BroadcastTextsAndRedirectionsByAddressOncePerId) {
    const krtools::CardId all{};
    const krtools::CardId exact = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    krtools::CardId other = kCard;
    other[7] = 0x02;
    const auto text = [](uint32_t id, krtools::CardId address, krtools::CardId mask,
                         std::string t) {
        return krtools::TaggedBody{krtools::kTextDescriptorTag,
                                   krtools::TextDescriptorBody({id, address, mask, t})};
    };
    const Bytes first = krtools::BuildBroadcastSection(
        {text(1, kCard, all, "to all"),
         text(2, other, exact, "to another"),
         {0x84, {1, 2, 3}},
         {krtools::kRedirectionDescriptorTag,
          krtools::RedirectionDescriptorBody({1, kCard, exact, 10, 20, 30})}});
    Send(first);
    EXPECT_EQ(Texts(), std::vector<std::string>{"to all"});
    EXPECT_TRUE(host.HasDebugText("unknow brd descriptor 0x84"));
    ASSERT_EQ(host.CallCount(Slot::RedirectService), 1u);
    EXPECT_EQ(host.Calls(Slot::RedirectService)[0].words, (std::vector<uint32_t>{10, 20, 30}));
    EXPECT_EQ(kr::kr_BrdParse(first.data(), static_cast<uint32_t>(first.size())), KR_NO_UPDATE);

    // Id 2 was remembered although it was for another card; five newer ids push id 1 out.
    std::vector<krtools::TaggedBody> later = {text(2, kCard, all, "late")};
    for (uint32_t id = 3; id <= 7; ++id)
        later.push_back(text(id, kCard, all, std::to_string(id)));
    later.push_back(text(1, kCard, all, "again"));
    Send(krtools::BuildBroadcastSection(later));
    EXPECT_TRUE(host.HasDebugText("Text had been showed"));
    EXPECT_EQ(Texts(), (std::vector<std::string>{"to all", "3", "4", "5", "6", "7", "again"}));

    // Handled descriptors are passed over by their content, whatever their length byte says.
    Bytes longer = krtools::BuildBroadcastSection(
        {text(30, kCard, all, "first"),
         {krtools::kRedirectionDescriptorTag,
          krtools::RedirectionDescriptorBody({31, kCard, all, 1, 2, 3})},
         text(32, kCard, all, "second")});
    longer[22] = static_cast<uint8_t>(longer[22] + 1);
    longer[21 + 2 + 21 + 5 + 1] = 27;  // the redirection's length byte
    EXPECT_EQ(kr::kr_BrdParse(longer.data(), static_cast<uint32_t>(longer.size())), 0);
    EXPECT_EQ(host.CallCount(Slot::RedirectService), 2u);
    EXPECT_EQ(Texts().back(), "second");

    // Cut and short areas: what fits is handled, nothing is read beyond the section.
    Bytes cut = krtools::BuildBroadcastSection({text(20, kCard, all, "cut short")});
    cut[21 + 1 + 21] = 60;  // the text length
    EXPECT_EQ(kr::kr_BrdParse(cut.data(), static_cast<uint32_t>(cut.size())), 0);
    EXPECT_TRUE(host.HasDebugText("Invalid descriptor len."));
    Bytes small = krtools::BuildBroadcastSection({{0x90, {1, 2, 3, 4, 5}}});
    EXPECT_EQ(kr::kr_BrdParse(small.data(), static_cast<uint32_t>(small.size())), -5);
    EXPECT_TRUE(host.HasDebugText("BRD private_len== 0"));
    EXPECT_EQ(Texts().size(), 9u);
}

}  // namespace
}  // namespace messages_test
