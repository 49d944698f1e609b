// krhost's card slot and card command: what the library reads from the virtual card, PIN
// checks and changes made through the library, what is said when there is no usable card, and
// the mails an input brings to the card.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/emm_section.h"
#include "common/file_io.h"
#include "common/ts_packetiser.h"
#include "support/json_reader.h"
#include "tools/tool_process.h"

namespace krhost_card_test {
namespace {

namespace fs = std::filesystem;
using krtest::RunTool;
using krtest::ToolRun;

const std::string kKrhost = KRHOST_EXE;

ToolRun Card(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "card");
    return RunTool(kKrhost, arguments);
}

krtest::JsonValue CardJson(std::vector<std::string> arguments, int status) {
    arguments.push_back("--json");
    const ToolRun run = Card(arguments);
    EXPECT_EQ(run.status, status) << run.err;
    const auto value = krtest::ParseJsonLines(run.out);
    EXPECT_TRUE(value.has_value()) << run.out;
    return value.value_or(krtest::JsonValue{})["card"];
}

TEST(KrhostCardTest, TheSampleCardIsReadThroughTheLibrary) {
    const ToolRun table = Card({});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.err.find("card: ready, card id 4B52000000001001"), std::string::npos);
    for (const char* line : {"card id             4B52000000001001\n",
                             "operator            Sample Datacast Operator (number 1)\n",
                             "manufacturer        Sample Card Works\n", "card OS version     2.3\n",
                             "rating              18\n", "viewing period      none\n"})
        EXPECT_NE(table.out.find(line), std::string::npos) << line << "in\n" << table.out;

    const krtest::JsonValue json = CardJson({}, 0);
    EXPECT_EQ(json["cardId"].text, "4B52000000001001");
    EXPECT_EQ(json["operator"]["name"].text, "Sample Datacast Operator");
    EXPECT_EQ(json["cosVersion"].text, "2.3");
    EXPECT_EQ(json["rating"].Int(), 18);
    EXPECT_TRUE(json["viewingPeriod"].IsNull());
}

TEST(KrhostCardTest, PinChecksAndChangesGoThroughTheCard) {
    const krtest::JsonValue wrong = CardJson({"--pin", "9999"}, 1);
    EXPECT_EQ(wrong["pin"]["meaning"].text, "wrong, 2 tries left");
    EXPECT_EQ(wrong["pin"]["triesLeft"].Int(), 2);

    const krtest::JsonValue right = CardJson({"--pin", "1234"}, 0);
    EXPECT_EQ(right["pin"]["meaning"].text, "right");

    const krtest::JsonValue changed =
        CardJson({"--pin", "1234", "--set-rating", "12", "--set-worktime", "08:00-22:30"}, 0);
    EXPECT_EQ(changed["rating"].Int(), 12);
    EXPECT_EQ(changed["viewingPeriod"]["start"].text, "08:00");
    EXPECT_EQ(changed["viewingPeriod"]["end"].text, "22:30");
    ASSERT_EQ(changed["changes"].items.size(), 2u);

    // A wrong PIN changes nothing, and the second change is not tried with it.
    const krtest::JsonValue refused =
        CardJson({"--pin", "0000", "--set-rating", "12", "--set-worktime", "none"}, 1);
    EXPECT_EQ(refused["rating"].Int(), 18);
    ASSERT_EQ(refused["changes"].items.size(), 1u);
    EXPECT_EQ(refused["changes"][0]["triesLeft"].Int(), 2);
}

TEST(KrhostCardTest, AProfileDescribesTheCardAndAnEmptySlotIsSaid) {
    const fs::path dir = fs::path(::testing::TempDir()) / "krhost-card";
    fs::create_directories(dir);
    const fs::path profile = dir / "card.txt";
    const std::string text =
        "card-id = 00 11 22 33 44 55 66 77\nmanufacturer = M\noperator = O\nrating = 0\n"
        "viewing-period = 18:00-23:59\nversion = 1.15\n";
    krtools::WriteWholeFile(profile, std::vector<uint8_t>(text.begin(), text.end()));
    const krtest::JsonValue json = CardJson({"--card", profile.string()}, 0);
    EXPECT_EQ(json["cardId"].text, "0011223344556677");
    EXPECT_EQ(json["rating"].Int(), 0);
    EXPECT_EQ(json["cosVersion"].text, "1.15");
    EXPECT_EQ(json["viewingPeriod"]["start"].text, "18:00");
    EXPECT_EQ(json["viewingPeriod"]["end"].text, "23:59");

    const ToolRun none = Card({"--card", "none"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("card: the slot is empty"), std::string::npos) << none.err;
    EXPECT_TRUE(none.out.empty());

    struct Bad {
        std::vector<std::string> arguments;
        const char* message;
    } const bad[] = {
        {{"--set-rating", "12"}, "changing the card's settings needs --pin PIN"},
        {{"--pin", "1234", "--set-rating", "3"}, "bad value for 'set-rating': '3' (4..18)"},
        {{"--pin", "1234", "--set-worktime", "24:00-01:00"}, "bad value for 'set-worktime'"},
        {{"--card", (dir / "missing.txt").string()}, "missing.txt"},
        {{"--input", "x.ts"}, "--input does not belong to 'card'"},
    };
    for (const Bad& b : bad) {
        const ToolRun run = Card(b.arguments);
        EXPECT_NE(run.status, 0) << b.message;
        EXPECT_NE(run.err.find(b.message), std::string::npos) << run.err;
    }
}

TEST(KrhostCardTest, MailsFromTheInputAreListedAndRead) {
    const krtools::CardId card = {0x4B, 0x52, 0, 0, 0, 0, 0x10, 0x01};
    const auto mail = [](uint32_t id, const char* title, const char* content) {
        return krtools::TaggedBody{krtools::kMailRecordTag,
                                   krtools::MailRecordBody({id, 0, {}, title, content})};
    };
    const std::vector<uint8_t> emm = krtools::BuildMessageEmm(
        card, {mail(7, "Welcome", "Your card is active."), mail(3, "Bill", "Due soon.")});
    const std::vector<uint8_t> text = krtools::BuildBroadcastSection(
        {{krtools::kTextDescriptorTag, krtools::TextDescriptorBody({1, card, {}, "Hello all"})}});
    std::vector<uint8_t> stream;
    krtools::TsPacketiser().PutSections(0x1FF1, {emm, text}, stream);
    const fs::path dir = fs::path(::testing::TempDir()) / "krhost-mail";
    fs::create_directories(dir);
    krtools::WriteWholeFile(dir / "mail.ts", stream);
    const auto mailRun = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), "mail");
        arguments.insert(arguments.end(),
                         {"--input", (dir / "mail.ts").string(), "--emm-pid", "0x1FF1", "--rate",
                          "0", "--store", (dir / "store").string()});
        return RunTool(kKrhost, arguments);
    };

    const ToolRun list = mailRun({"list", "--json"});
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_NE(list.out.find("{\"event\":\"mail\",\"state\":0,\"meaning\":\"new mail\"}\n"),
              std::string::npos)
        << list.out;
    const auto result = krtest::ParseJsonLines(list.out);
    ASSERT_TRUE(result.has_value()) << list.out;
    const krtest::JsonValue& mails = (*result)["mails"];
    ASSERT_EQ(mails.items.size(), 2u) << list.out;
    EXPECT_EQ(mails[0]["id"].Int(), 7);
    EXPECT_EQ(mails[0]["title"].text, "Welcome");
    EXPECT_FALSE(mails[0]["read"].boolean);
    EXPECT_EQ(mails[1]["id"].Int(), 3);

    const ToolRun read = mailRun({"read", "3"});
    ASSERT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(read.out, "mail 3: Bill\nDue soon.\n");
    EXPECT_NE(read.err.find("krhost: mail: new mail\n"), std::string::npos) << read.err;
    EXPECT_NE(read.err.find("krhost: message: Hello all\n"), std::string::npos) << read.err;

    const ToolRun unknown = mailRun({"delete", "5"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no mail 5 on the card"), std::string::npos) << unknown.err;
}

}  // namespace
}  // namespace krhost_card_test
