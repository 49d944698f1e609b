// Scrambled programs through the reference terminal: the sample broadcast scrambles program 1002
// and resource 2003 for the sample card, and what the terminal plays, downloads and says depends
// on the card in its slot.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "support/json_reader.h"
#include "tools/tool_process.h"

namespace krhost_ca_test {
namespace {

namespace fs = std::filesystem;
using krtest::RunTool;
using krtest::ToolRun;
using ::testing::HasSubstr;
using ::testing::Not;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;
const std::string kKrhost = KRHOST_EXE;
const std::string kKrmux = KRMUX_EXE;

class KrhostCaTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        shared = fs::temp_directory_path() / ("krhost_ca_" + std::to_string(::getpid()));
        fs::create_directories(shared);
        stream = shared / "sample.ts";
        const ToolRun mux = RunTool(
            kKrmux, {"--scenario", (kSamples / "scenario").string(), "--out", stream.string()});
        ASSERT_EQ(mux.status, 0) << mux.err;
    }
    static void TearDownTestSuite() { fs::remove_all(shared); }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(stream));
        dir = shared / ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::create_directories(dir);
    }

    // The sample card with some of its settings changed, as a profile file.
    fs::path Card(const std::string& name, const std::vector<std::string>& settings) const {
        const std::vector<uint8_t> sample = krtools::ReadWholeFile(kSamples / "card/card.txt");
        std::string text(sample.begin(), sample.end());
        for (const std::string& setting : settings) {
            const std::string key = setting.substr(0, setting.find(' '));
            const std::size_t at = text.find("\n" + key + " =");
            EXPECT_NE(at, std::string::npos) << key;
            if (at == std::string::npos) continue;
            text.replace(at + 1, text.find('\n', at + 1) - at - 1, setting);
        }
        const fs::path path = dir / (name + ".txt");
        krtools::WriteWholeFile(path, std::vector<uint8_t>(text.begin(), text.end()));
        return path;
    }

    ToolRun Play(const std::string& card, const std::vector<std::string>& more = {}) const {
        std::vector<std::string> arguments = {"play",  "--input", stream.string(), "--program",
                                              "1002",  "--out",   (dir / "p.m4v").string(),
                                              "--card", card,     "--store",
                                              (dir / "krhost.store").string()};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return RunTool(kKrhost, arguments);
    }

    bool PlayedTheClip() const {
        return krtools::ReadWholeFile(dir / "p.m4v") ==
                   krtools::ReadWholeFile(kSamples / "media/clip.m4v") &&
               krtools::ReadWholeFile(dir / "p.m4v.audio") ==
                   krtools::ReadWholeFile(kSamples / "media/clip.aac");
    }

    static inline fs::path shared;
    static inline fs::path stream;
    fs::path dir;
};

TEST_F(KrhostCaTest, TheSampleCardOpensTheScrambledProgramAndResourceAtAnyRate) {
    // In step, the input runs far ahead of the broadcast's crypto periods (half a second each,
    // four changes during the clip): the terminal must still open every packet with its word.
    for (const char* rate : {"0", "20"}) {
        SCOPED_TRACE(rate);
        const ToolRun run = Play((kSamples / "card/card.txt").string(), {"--rate", rate});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_THAT(run.err, HasSubstr("program 1002: 50 video frames"));
        EXPECT_THAT(run.err, HasSubstr("descrambling: control words"));
        EXPECT_TRUE(PlayedTheClip());
    }
    const ToolRun download =
        RunTool(kKrhost, {"download", "--input", stream.string(), "--resource", "2003", "--rate",
                          "0", "--out", (dir / "dl").string(), "--store",
                          (dir / "krhost.store").string()});
    ASSERT_EQ(download.status, 0) << download.err;
    EXPECT_EQ(krtools::ReadWholeFile(dir / "dl/harbour_lights.ts"),
              krtools::ReadWholeFile(kSamples / "media/clip.m4v"));
}

TEST_F(KrhostCaTest, ARefusedServiceSaysWhyAndPlaysNothing) {
    const struct {
        std::string card;
        const char* message;
    } cases[] = {
        {"none", "message 4: no card"},
        {Card("not-entitled", {"entitlements = 2003"}).string(), "message 8: "},
        // The broadcast's clock says 18:00 and on.
        {Card("mornings", {"viewing-period = 06:00-12:00"}).string(),
         "message 1: outside the card's viewing hours"},
        {Card("strict", {"rating = 8"}).string(),
         "message 0: the programme's rating is above the card's"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.card);
        const ToolRun run = Play(c.card, {"--rate", "0"});
        // Nothing played: the run fails, and its last line says why.
        ASSERT_EQ(run.status, 1) << run.err;
        EXPECT_THAT(run.err, HasSubstr("program 1002: 0 video frames"));
        const std::size_t last = run.err.rfind("krhost: ");
        ASSERT_NE(last, std::string::npos);
        EXPECT_THAT(run.err.substr(last), HasSubstr("program 1002: nothing delivered"));
        EXPECT_THAT(run.err.substr(last), HasSubstr(c.message));
    }
}

TEST_F(KrhostCaTest, ACardKeepsARatingRaisedWithThePinForTheNextRun) {
    const std::string card = Card("strict", {"rating = 8"}).string();
    const std::string state = (dir / "card-state.txt").string();
    const ToolRun wrongPin = RunTool(kKrhost, {"card", "--card", card, "--card-state", state,
                                               "--pin", "9999", "--set-rating", "18"});
    EXPECT_NE(wrongPin.status, 0);
    const ToolRun raised = RunTool(kKrhost, {"card", "--card", card, "--card-state", state,
                                             "--pin", "1234", "--set-rating", "18"});
    ASSERT_EQ(raised.status, 0) << raised.out << raised.err;

    const ToolRun run = Play(card, {"--card-state", state});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, Not(HasSubstr("message 0")));
    EXPECT_TRUE(PlayedTheClip());
    // Without its state the card is the strict one it was made as.
    EXPECT_THAT(Play(card).err, HasSubstr("message 0"));
}

TEST_F(KrhostCaTest, TheScenariosMailsAreListedFromTheCard) {
    const ToolRun run = RunTool(kKrhost, {"mail", "list", "--input", stream.string(), "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto result = krtest::ParseJsonLines(run.out);
    ASSERT_TRUE(result.has_value()) << run.out;
    const krtest::JsonValue& mails = (*result)["mails"];
    ASSERT_EQ(mails.items.size(), 2u);
    EXPECT_EQ(mails[0]["id"].Int(), 1);
    EXPECT_EQ(mails[0]["title"].text, "Welcome");
    EXPECT_EQ(mails[1]["title"].text, "Sports Live");
    EXPECT_FALSE(mails[1]["read"].boolean);
}

}  // namespace
}  // namespace krhost_ca_test
