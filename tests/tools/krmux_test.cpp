// krmux as an operator runs it: its files are transport streams a player can time, and it feeds
// a terminal live over UDP.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/file_io.h"
#include "support/json_reader.h"
#include "tools/tool_process.h"

namespace krmux_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;

class KrmuxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              (std::string("krmux_") + info->name() + "_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
};

TEST_F(KrmuxTest, PlayersReadItsOutputAsAStreamWithAClock) {
    const char* given = std::getenv("KRMODULE_FFPROBE");
    const std::string ffprobe = given != nullptr ? given : "/usr/bin/ffprobe";
    if (!fs::exists(ffprobe))
        GTEST_SKIP() << "ffprobe is not installed (" << ffprobe << "): no player reads the stream";
    const fs::path stream = dir / "sample.ts";
    const krtest::ToolRun mux = krtest::RunTool(
        KRMUX_EXE, {"--scenario", (kSamples / "scenario").string(), "--out", stream.string()});
    ASSERT_EQ(mux.status, 0) << mux.err;
    unsigned packets = 0;
    unsigned lengthMs = 0;
    ASSERT_EQ(std::sscanf(mux.err.c_str(), "krmux: %u packets, %u ms", &packets, &lengthMs), 2);

    const krtest::ToolRun probe =
        krtest::RunTool(ffprobe,
                        {"-v", "error", "-show_programs", "-show_format", "-of", "json",
                         stream.string()},
                        "/dev/null", 60, false);
    ASSERT_EQ(probe.status, 0) << probe.err;
    const auto json = krtest::ParseJson(probe.out);
    ASSERT_TRUE(json) << probe.out;
    const krtest::JsonValue& format = (*json)["format"];
    EXPECT_EQ(format["format_name"].text, "mpegts");
    EXPECT_DOUBLE_EQ(std::stod(format["duration"].text), lengthMs / 1000.0);
    const krtest::JsonValue& program = (*json)["programs"][0];
    const int64_t pcrPid = program["pcr_pid"].Int();
    EXPECT_GT(pcrPid, 0x1F);
    EXPECT_LT(pcrPid, 0x1FFF);
}

// The loopback port krhost receives on: one free a moment ago.
int FreePort() {
    const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    const bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0 &&
                       ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0;
    ::close(s);
    return bound ? ntohs(local.sin_port) : 0;
}

// True once a socket is bound to 127.0.0.1:port.
bool Bound(int port) {
    std::ifstream table("/proc/net/udp");
    std::stringstream text;
    text << table.rdbuf();
    char local[32];
    std::snprintf(local, sizeof local, " 0100007F:%04X ", port);
    return text.str().find(local) != std::string::npos;
}

// The stream goes out as it is timed, and a terminal listening on the port plays a clear program
// from it as from a file.
TEST_F(KrmuxTest, SendsTheStreamLiveToATerminal) {
    const int port = FreePort();
    ASSERT_NE(port, 0);
    const std::string input = "udp://127.0.0.1:" + std::to_string(port);
    const fs::path video = dir / "news.m4v";
    const krtest::ToolProcess terminal = krtest::StartTool(
        KRHOST_EXE, {"play", "--input", input, "--program", "1001", "--frames", "50", "--out",
                     video.string(), "--timeout", "120", "--store", (dir / "store").string()});
    ASSERT_GT(terminal.pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!Bound(port) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(Bound(port)) << "krhost did not open " << input;

    const krtest::ToolRun mux = krtest::RunTool(
        KRMUX_EXE, {"--scenario", (kSamples / "scenario").string(), "--out", input}, "/dev/null",
        120);
    EXPECT_EQ(mux.status, 0) << mux.err;
    const krtest::ToolRun run = krtest::WaitTool(terminal, 120);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(krtools::ReadWholeFile(video), krtools::ReadWholeFile(kSamples / "media/clip.m4v"));
    // The run ends with the last video frame: the audio so far.
    const Bytes audio = krtools::ReadWholeFile(video.string() + ".audio");
    const Bytes clip = krtools::ReadWholeFile(kSamples / "media/clip.aac");
    ASSERT_FALSE(audio.empty());
    ASSERT_LE(audio.size(), clip.size());
    EXPECT_TRUE(std::equal(audio.begin(), audio.end(), clip.begin()));
}

}  // namespace
}  // namespace krmux_test
