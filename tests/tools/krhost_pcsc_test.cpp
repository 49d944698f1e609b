// krhost on a real PC/SC stack: pcscd, its virtual reader (vpcd) and krcard as the card in it.
// The card is read, a scrambled program plays, the card taken out stops it and put back
// resumes it, and a wrong PIN's count survives krcard's restart. Skipped when the service or
// the virtual reader is not there; CI starts pcscd for it.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/file_io.h"
#include "support/json_reader.h"
#include "tools/tool_process.h"

namespace {

namespace fs = std::filesystem;
using krtest::RunTool;
using krtest::ToolRun;
using Clock = std::chrono::steady_clock;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;
const std::string kKrhost = KRHOST_EXE;
const std::string kKrmux = KRMUX_EXE;
const std::string kKrcard = KRCARD_EXE;

// Polls condition until it holds or the deadline passes.
bool WaitFor(const std::function<bool()>& condition, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(seconds));
    while (!condition()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

std::string Text(const fs::path& path) {
    std::error_code code;
    if (!fs::exists(path, code)) return {};
    const std::vector<uint8_t> bytes = krtools::ReadWholeFile(path);
    return {bytes.begin(), bytes.end()};
}

uintmax_t Size(const fs::path& path) {
    std::error_code code;
    const uintmax_t size = fs::file_size(path, code);
    return code ? 0 : size;
}

// The virtual readers with whether each holds a card; empty when the service does not answer.
std::vector<std::pair<std::string, bool>> VirtualReaders(std::string* error = nullptr) {
    const ToolRun run = RunTool(kKrhost, {"card", "--readers", "--json"});
    if (error != nullptr) *error = run.err;
    std::vector<std::pair<std::string, bool>> readers;
    const auto json = krtest::ParseJsonLines(run.out);
    if (run.status != 0 || !json) return readers;
    for (const krtest::JsonValue& r : (*json)["readers"].items)
        if (r["name"].text.rfind("Virtual PCD", 0) == 0)
            readers.emplace_back(r["name"].text, r["card"].boolean);
    return readers;
}

class KrhostPcsc : public ::testing::Test {
  protected:
    // Why the stack is not there, looked at once per run; empty when it is.
    static const std::string& Unavailable() {
        static const std::string reason = [] {
            const ToolRun help = RunTool(kKrhost, {"--help"});
            if (help.out.find("PC/SC is built into this krhost") == std::string::npos)
                return std::string("krhost was built without PC/SC (libpcsclite-dev missing)");
            std::string error;
            // pcscd may just have been started: its readers come within a few seconds.
            if (!WaitFor([&] { return !VirtualReaders(&error).empty(); }, 5))
                return "no PC/SC service with vpcd's virtual reader (start pcscd with "
                       "vsmartcard-vpcd installed): " +
                       error;
            return std::string();
        }();
        return reason;
    }

    void SetUp() override {
        if (!Unavailable().empty()) GTEST_SKIP() << Unavailable();
        // vpcd's readers end in their slot number; slot n listens on port 35963 + n.
        for (const auto& [name, present] : VirtualReaders())
            if (!present && reader.empty()) reader = name;
        if (reader.empty()) GTEST_SKIP() << "every virtual reader is in use";
        port = 35963 + std::stoi(reader.substr(reader.rfind(' ') + 1));
        dir = fs::path(::testing::TempDir()) / ("krhost-pcsc-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        // A card of its own (the sample card with another id), entitled to program 1002.
        std::string text = Text(kSamples / "card/card.txt");
        text.replace(text.find("card-id = 4B52000000001001"), 26, "card-id = 4B520000000077AA");
        text.replace(text.find("entitlements = "), 15, "entitlements = 1002, ");
        krtools::WriteWholeFile(dir / "card.txt", {text.begin(), text.end()});
    }

    void TearDown() override {
        StopCard();
        if (!dir.empty()) fs::remove_all(dir);
    }

    // krcard in the reader, until the reader shows its card.
    void StartCard(const std::vector<std::string>& more = {}) {
        std::vector<std::string> arguments = {"--profile", (dir / "card.txt").string(), "--state",
                                              (dir / "card.state").string(), "--port",
                                              std::to_string(port), "--verbose"};
        arguments.insert(arguments.end(), more.begin(), more.end());
        card = krtest::StartTool(kKrcard, arguments);
        ASSERT_GT(card.pid, 0);
        ASSERT_TRUE(WaitFor(
            [&] {
                for (const auto& [name, present] : VirtualReaders())
                    if (name == reader && present) return true;
                return false;
            },
            10))
            << Text(card.errPath);
    }

    void StopCard() {
        if (card.pid <= 0) return;
        ::kill(card.pid, SIGTERM);
        const ToolRun run = krtest::WaitTool(card, 10);
        EXPECT_EQ(run.status, 0) << run.err;
        card.pid = -1;
        // Until pcscd has seen the card go.
        EXPECT_TRUE(WaitFor(
            [&] {
                for (const auto& [name, present] : VirtualReaders())
                    if (name == reader && present) return false;
                return true;
            },
            10));
    }

    ToolRun Krhost(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--card", "pcsc:" + reader});
        return RunTool(kKrhost, arguments);
    }

    // Program 1002, which the sample EPG says is scrambled, scrambled for the card: clips of two
    // seconds, looped.
    fs::path Stream(const std::string& name, int loops) {
        const fs::path scenario = dir / name;
        fs::create_directories(scenario);
        const std::string media = (kSamples / "media").string();
        const std::string text =
            "epg = " + (kSamples / "epg").string() + "\nprogram = 1002, video=" + media +
            "/clip.m4v, audio=" + media + "/clip.aac\nloops = " + std::to_string(loops) +
            "\nca-card = " + (dir / "card.txt").string() +
            "\nemm-pid = 0x1E00\nscrambled = 1002\ncrypto-period-ms = 1000\n";
        krtools::WriteWholeFile(scenario / "scenario.txt", {text.begin(), text.end()});
        const fs::path stream = dir / (name + ".ts");
        const ToolRun mux =
            RunTool(kKrmux, {"--scenario", scenario.string(), "--out", stream.string()});
        EXPECT_EQ(mux.status, 0) << mux.err;
        return stream;
    }

    fs::path dir;
    krtest::ToolProcess card;
    std::string reader;
    int port = 0;
};

TEST_F(KrhostPcsc, TheCardInTheReaderIsReadAndKeepsItsPinTries) {
    StartCard();
    const ToolRun read = Krhost({"card", "--json"});
    ASSERT_EQ(read.status, 0) << read.err;
    const auto result = krtest::ParseJsonLines(read.out);
    ASSERT_TRUE(result) << read.out;
    const krtest::JsonValue* json = &(*result)["card"];
    EXPECT_EQ((*json)["cardId"].text, "4B520000000077AA");
    EXPECT_EQ((*json)["operator"]["name"].text, "Sample Datacast Operator");
    EXPECT_EQ((*json)["cosVersion"].text, "2.3");
    EXPECT_NE(read.err.find("card: reader " + reader), std::string::npos) << read.err;

    // A wrong PIN counts down on the card; krcard keeps the count in its state file.
    const auto tries = [&](const char* pin) {
        const ToolRun run = Krhost({"card", "--json", "--pin", pin});
        const auto j = krtest::ParseJsonLines(run.out);
        return j ? (*j)["card"]["pin"]["meaning"].text : run.err;
    };
    EXPECT_EQ(tries("9999"), "wrong, 2 tries left");
    StopCard();
    StartCard();
    EXPECT_EQ(tries("9998"), "wrong, 1 try left");
    EXPECT_EQ(tries("1234"), "right");
}

// A card that first stores the broadcast's mails and takes half a second for its first answer:
// the terminal reads the file in step, so no packet is read before its keys are set.
TEST_F(KrhostPcsc, ACardSlowToAnswerStillOpensEveryPacketOfAFile) {
    StartCard({"--first-answer-ms", "500"});
    const fs::path stream = Stream("slow", 2);
    const ToolRun play = Krhost({"play", "--input", stream.string(), "--program", "1002",
                                 "--out", (dir / "slow.m4v").string(), "--store",
                                 (dir / "store").string()});
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_NE(play.err.find("100 video frames"), std::string::npos) << play.err;
    const std::vector<uint8_t> clip = krtools::ReadWholeFile(kSamples / "media/clip.m4v");
    std::vector<uint8_t> twice = clip;
    twice.insert(twice.end(), clip.begin(), clip.end());
    EXPECT_EQ(krtools::ReadWholeFile(dir / "slow.m4v"), twice);
}

TEST_F(KrhostPcsc, AScrambledProgramPlaysStopsWithoutTheCardAndResumesWithIt) {
    StartCard();
    const fs::path shortStream = Stream("short", 1);
    const ToolRun play = Krhost({"play", "--input", shortStream.string(), "--program", "1002",
                                 "--out", (dir / "short.m4v").string(), "--store",
                                 (dir / "store").string()});
    ASSERT_EQ(play.status, 0) << play.err;
    EXPECT_EQ(krtools::ReadWholeFile(dir / "short.m4v"),
              krtools::ReadWholeFile(kSamples / "media/clip.m4v"));

    // Sixteen seconds played at the broadcast's own rate, about 1.4 Mbit/s.
    const fs::path longStream = Stream("long", 8);
    const fs::path out = dir / "long.m4v";
    const krtest::ToolProcess terminal = krtest::StartTool(
        kKrhost, {"play", "--input", longStream.string(), "--program", "1002", "--out",
                  out.string(), "--store", (dir / "store").string(), "--rate", "1.45",
                  "--card", "pcsc:" + reader});
    const auto said = [&](const std::string& text) {
        return Text(terminal.errPath).find(text) != std::string::npos;
    };
    EXPECT_TRUE(WaitFor([&] { return Size(out) >= 8192; }, 20)) << Text(terminal.errPath);

    StopCard();
    EXPECT_TRUE(WaitFor([&] { return said("message 4: no card"); }, 5)) << Text(terminal.errPath);
    const uintmax_t atRemoval = Size(out);
    // The card stays out for two crypto periods of the paced broadcast.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    // What was already on its way may still be written: at most one output buffer.
    EXPECT_LE(Size(out), atRemoval + 4096);
    const uintmax_t beforeReturn = Size(out);

    StartCard();
    EXPECT_TRUE(WaitFor([&] { return said("message hidden"); }, 10)) << Text(terminal.errPath);
    EXPECT_TRUE(WaitFor([&] { return Size(out) >= beforeReturn + 16384; }, 10))
        << Text(terminal.errPath);
    const ToolRun end = krtest::WaitTool(terminal, 60);
    EXPECT_EQ(end.status, 0) << end.err;
    EXPECT_NE(end.err.find("card: inserted"), std::string::npos) << end.err;
}

}  // namespace
