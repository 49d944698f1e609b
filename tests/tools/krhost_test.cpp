// The reference terminal end to end: krmux makes the sample broadcast, krhost receives it
// through the library, and what krhost prints, plays, downloads and stores is checked against
// the sample files it was made of.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/byte_writer.h"
#include "common/epg_announcements.h"
#include "common/file_io.h"
#include "headend/elementary_stream.h"
#include "support/json_reader.h"
#include "tools/tool_process.h"

namespace krhost_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using krtest::JsonValue;
using krtest::RunTool;
using krtest::ToolRun;
using ::testing::HasSubstr;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;
const std::string kKrhost = KRHOST_EXE;
const std::string kKrmux = KRMUX_EXE;

// The live and file EPG are read without blanks; the program EPG keeps them.
std::string NoBlanks(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    return text;
}

// KEY=VALUE sections of an EPG text file; SDP blocks are skipped.
using Section = std::map<std::string, std::string>;
std::vector<std::pair<std::string, Section>> ReadSections(const fs::path& file) {
    const Bytes bytes = krtools::ReadWholeFile(file);
    std::istringstream text(std::string(bytes.begin(), bytes.end()));
    std::vector<std::pair<std::string, Section>> sections;
    bool sdp = false;
    for (std::string line; std::getline(text, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line == "#STARTSDP") sdp = true;
        if (line == "#ENDSDP") sdp = false;
        if (sdp || line.empty() || line[0] == '#') continue;
        if (line[0] == '[') {
            sections.push_back({line, {}});
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || sections.empty()) continue;
        sections.back().second[NoBlanks(line.substr(0, equals))] = line.substr(equals + 1);
    }
    return sections;
}

// The frames of an elementary stream file, as text (GCC's -O3 overread check misfires on sets
// of byte vectors).
std::vector<std::string> FrameList(const fs::path& file, bool video) {
    const Bytes stream = krtools::ReadWholeFile(file);
    std::vector<std::string> frames;
    const auto spans =
        video ? krtools::SplitMpeg4Video(stream) : krtools::SplitAdtsFrames(stream).frames;
    for (const krtools::FrameSpan& f : spans)
        frames.emplace_back(stream.begin() + static_cast<std::ptrdiff_t>(f.offset),
                            stream.begin() + static_cast<std::ptrdiff_t>(f.offset + f.size));
    return frames;
}

// A channel line of an EPG file against the address and port the terminal printed.
void ExpectChannel(const JsonValue& address, const JsonValue& port, const std::string& channel) {
    uint32_t want = 0;
    uint16_t wantPort = 0;
    ASSERT_TRUE(krtools::ParseChannel(NoBlanks(channel), want, wantPort)) << channel;
    EXPECT_EQ(address.text, krtools::FormatAddress(want));
    EXPECT_EQ(port.Int(), wantPort);
}

class KrhostTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        shared = fs::temp_directory_path() / ("krhost_suite_" + std::to_string(::getpid()));
        fs::create_directories(shared);
        stream = shared / "sample.ts";
        const ToolRun mux = RunTool(
            kKrmux, {"--scenario", (kSamples / "scenario").string(), "--out", stream.string()});
        ASSERT_EQ(mux.status, 0) << mux.err;
    }
    static void TearDownTestSuite() { fs::remove_all(shared); }

    void SetUp() override {
        ASSERT_TRUE(fs::exists(stream));
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = shared / info->name();
        fs::create_directories(dir);
        store = (dir / "krhost.store").string();
    }

    // krhost with a store of the test's own.
    ToolRun Krhost(std::vector<std::string> arguments, const fs::path& input = "/dev/null") {
        arguments.insert(arguments.end(), {"--store", store});
        return RunTool(kKrhost, arguments, input);
    }

    static JsonValue Json(const ToolRun& run) {
        const auto value = krtest::ParseJsonLines(run.out);
        EXPECT_TRUE(value.has_value()) << "not JSON:\n" << run.out;
        return value.value_or(JsonValue{});
    }

    static inline fs::path shared;
    static inline fs::path stream;
    fs::path dir;
    std::string store;
};

TEST_F(KrhostTest, EpgAsJsonMatchesTheSampleFiles) {
    // From standard input, as from a pipe.
    const ToolRun run = Krhost({"epg", "--json", "--stats", "--input", "-"}, stream);
    ASSERT_EQ(run.status, 0) << run.err;
    // The events come first on standard output, one JSON object to a line, the result last.
    std::vector<JsonValue> events;
    ASSERT_TRUE(krtest::ParseJsonLines(run.out, &events)) << run.out;
    EXPECT_TRUE(std::any_of(events.begin(), events.end(), [](const JsonValue& e) {
        return e["event"].text == "message" && e["id"].Int() == 255 &&
               e["text"].text == "Welcome to the sample datacast service" &&
               e["meaning"].IsNull();
    })) << run.out;
    const JsonValue epg = Json(run);
    EXPECT_EQ(epg["command"].text, "epg");
    EXPECT_EQ(epg["exit"].Int(), 0);
    // The library's counters by cause: sections were taken, none was dropped for a checksum.
    const JsonValue& counters = epg["stats"]["counters"];
    EXPECT_GT(counters["sectionsTaken"].Int(), 0) << run.out;
    EXPECT_EQ(counters["datagramsUdpChecksum"].kind, JsonValue::Kind::Number);
    EXPECT_EQ(counters["datagramsUdpChecksum"].Int(), 0);
    const JsonValue& live = epg["live"];
    ASSERT_FALSE(live.IsNull());
    EXPECT_EQ(live["version"].text, "20261206180000");

    // Programs, their streams and icons as LiveEPG.txt and ico/ describe them.
    std::set<std::string> icons;
    for (const auto& [name, s] : ReadSections(kSamples / "epg/ico/ico.ini"))
        for (const auto& [key, value] : s)
            if (key.rfind("ICO", 0) == 0) icons.insert(value.substr(0, value.find('.')));
    std::vector<Section> programs;
    std::vector<Section> links;
    for (const auto& [name, s] : ReadSections(kSamples / "epg/LiveEPG.txt")) {
        if (name.rfind("[PROGRAM", 0) != 0) continue;
        (s.count("ProgramID") ? programs : links).push_back(s);
    }
    const JsonValue& got = live["programs"];
    ASSERT_EQ(got.items.size(), programs.size());
    for (std::size_t i = 0; i < programs.size(); ++i) {
        Section& want = programs[i];
        const JsonValue& p = got[i];
        SCOPED_TRACE(want["ProgramID"]);
        EXPECT_EQ(std::to_string(p["id"].Int()), want["ProgramID"]);
        EXPECT_EQ(p["name"].text, NoBlanks(want["ProgramName"]));
        EXPECT_EQ(p["abstract"].text, NoBlanks(want["Abstract"]));
        EXPECT_EQ(std::to_string(p["sort"].Int()), want["ProgramSort"]);
        EXPECT_EQ(p["ca"].boolean, want.count("CA") && want["CA"] != "0");
        EXPECT_EQ(p["frequency"].Int(), std::stoll(want["Freq"]) * 1000);
        if (want.count("Channel"))
            ExpectChannel(p["stream"]["address"], p["stream"]["port"], want["Channel"]);
        if (want.count("Pid")) {
            EXPECT_EQ(std::to_string(p["stream"]["pid"].Int()), want["Pid"]);
        }
        if (icons.count(want["ProgramID"])) {
            EXPECT_EQ(p["icon"].Int(), static_cast<int64_t>(fs::file_size(
                                           kSamples / "epg/ico" / (want["ProgramID"] + ".bmp"))));
        } else {
            EXPECT_TRUE(p["icon"].IsNull());
        }
    }
    // Stream descriptions of the SDP and transport-stream programs.
    EXPECT_EQ(got[0]["stream"]["video"]["port"].Int(), 6000);
    EXPECT_EQ(got[0]["stream"]["video"]["codec"].text, "MP4V-ES");
    EXPECT_EQ(got[0]["stream"]["audio"]["codec"].text, "MPEG4-GENERIC");
    EXPECT_EQ(got[0]["stream"]["audio"]["clock"].Int(), 48000);
    // One shape for every kind: an audio-only program has a null video, a transport one no
    // RTP media at all.
    EXPECT_TRUE(got[2]["stream"]["video"].IsNull());
    EXPECT_TRUE(got[3]["stream"]["audio"].IsNull());
    EXPECT_EQ(got[3]["stream"]["pids"][1]["pid"].Int(), 514);
    EXPECT_EQ(got[3]["stream"]["pids"][1]["type"].Int(), 67);
    ASSERT_EQ(live["icons"].items.size(), icons.size());
    for (const JsonValue& icon : live["icons"].items)
        EXPECT_TRUE(icons.count(std::to_string(icon["id"].Int()))) << icon["id"].Int();
    ASSERT_EQ(epg["serviceLinks"].items.size(), links.size());
    EXPECT_EQ(std::to_string(epg["serviceLinks"][0]["svid"].Int()), links[0]["Svid"]);

    // Schedules, verbatim from ProgramEPG.txt.
    std::map<int64_t, const JsonValue*> schedules;
    for (const JsonValue& s : live["schedules"].items)
        schedules[s["program"].Int()] = &s;
    std::size_t scheduled = 0;
    for (auto& [name, want] : ReadSections(kSamples / "epg/ProgramEPG.txt")) {
        if (!want.count("ProgramID")) continue;
        ++scheduled;
        const auto it = schedules.find(std::stoll(want["ProgramID"]));
        ASSERT_NE(it, schedules.end()) << want["ProgramID"];
        for (int d = 0; d < 7; ++d) {
            const JsonValue& day = (*it->second)["days"][static_cast<std::size_t>(d)];
            EXPECT_EQ(day["day"].text, want["Day" + std::to_string(d + 1)]);
            EXPECT_EQ(day["content"].text, want["Content" + std::to_string(d + 1)]);
        }
    }
    EXPECT_EQ(schedules.size(), scheduled);

    // Resources and their tree as FileEPG.txt announces them.
    const JsonValue& download = epg["download"];
    ASSERT_FALSE(download.IsNull());
    std::vector<Section> resources;
    for (const auto& [name, s] : ReadSections(kSamples / "epg/FileEPG.txt"))
        if (s.count("ProgramID")) resources.push_back(s);
    ASSERT_EQ(download["resources"].items.size(), resources.size());
    std::map<int64_t, const JsonValue*> nodes;
    std::vector<const JsonValue*> pending = {&download["tree"]};
    while (!pending.empty()) {
        const JsonValue* node = pending.back();
        pending.pop_back();
        if (node->members.count("resource")) nodes[(*node)["id"].Int()] = node;
        for (const JsonValue& child : (*node)["children"].items)
            pending.push_back(&child);
    }
    EXPECT_EQ(download["tree"]["name"].text, "/");
    for (std::size_t i = 0; i < resources.size(); ++i) {
        Section& want = resources[i];
        const JsonValue& r = download["resources"][i];
        SCOPED_TRACE(want["ProgramID"]);
        EXPECT_EQ(std::to_string(r["id"].Int()), want["ProgramID"]);
        EXPECT_EQ(std::to_string(r["pid"].Int()), want["Pid"]);
        EXPECT_EQ(std::to_string(r["bandwidth"].Int()), want["Bandwidth"]);
        ExpectChannel(r["address"], r["port"], want["Channel"]);
        const auto node = nodes.find(r["id"].Int());
        ASSERT_NE(node, nodes.end());
        const std::string file = want["FileName"];
        EXPECT_EQ((*node->second)["path"].text, file.substr(file.find_last_of('/') + 1));
        EXPECT_EQ((*node->second)["name"].text, NoBlanks(want["ProgramName"]));
        EXPECT_EQ(std::to_string((*node->second)["size"].Int()), want["Size"]);
    }
    EXPECT_EQ(nodes.size(), resources.size());

    // The same EPG as tables for a person.
    const ToolRun tables = Krhost({"epg", "--input", stream.string()});
    ASSERT_EQ(tables.status, 0) << tables.err;
    for (const char* text : {"Live EPG: version 20261206180000, 4 programs", "CityNews",
                             "239.81.1.1:6000", "6002 MPEG4-GENERIC/48000", "Monday 7 December: 06:00",
                             "Download EPG: version 20261206180000, 12 resources",
                             "      WeeklyDigest  (resource 2009, 2097152 bytes, "
                             "weekly_digest.ebk)"})
        EXPECT_THAT(tables.out, HasSubstr(text));
}

// Every sample program plays whole from an empty store however the file is read: in step with
// the library (the default) and paced. The second stream carries its EPG on the
// system-information PID, where the library only adds a destination to a filter that already
// runs and the host sees no new filter.
TEST_F(KrhostTest, EveryProgramPlaysWholeFromAnEmptyStoreHoweverTheFileIsRead) {
    const fs::path sharedPid = dir / "epg-on-sysinfo-pid.ts";
    const ToolRun mux = RunTool(kKrmux, {"--scenario", (kSamples / "scenario").string(),
                                         "--epg-pid", "0x1FFE", "--out", sharedPid.string()});
    ASSERT_EQ(mux.status, 0) << mux.err;
    const struct {
        fs::path input;
        const char* program;
        std::vector<std::string> reading;
    } cases[] = {
        {stream, "1001", {}},
        {stream, "1002", {}},
        {sharedPid, "1001", {}},
        {sharedPid, "1002", {}},
        {sharedPid, "1001", {"--rate", "8"}},
        {sharedPid, "1002", {"--rate", "8"}},
        {sharedPid, "1002", {"--realtime"}},
    };
    int run = 0;
    for (const auto& c : cases) {
        std::string reading = c.reading.empty() ? "in step" : "";
        for (const std::string& a : c.reading)
            reading += a + " ";
        SCOPED_TRACE(c.input.filename().string() + " " + c.program + " " + reading);
        const fs::path video = dir / (std::to_string(++run) + ".m4v");
        const fs::path sound = dir / (std::to_string(run) + ".aac");
        std::vector<std::string> arguments = {"play",  "--input", c.input.string(), "--program",
                                              c.program, "--out",  video.string(), "--audio-out",
                                              sound.string(), "--store",
                                              (dir / (std::to_string(run) + ".store")).string()};
        arguments.insert(arguments.end(), c.reading.begin(), c.reading.end());
        const ToolRun played = RunTool(kKrhost, arguments);
        ASSERT_EQ(played.status, 0) << played.err;
        EXPECT_THAT(played.err, HasSubstr("50 video frames (31390 bytes)"));
        EXPECT_EQ(krtools::ReadWholeFile(video),
                  krtools::ReadWholeFile(kSamples / "media/clip.m4v"));
        EXPECT_EQ(krtools::ReadWholeFile(sound),
                  krtools::ReadWholeFile(kSamples / "media/clip.aac"));
    }
}

// Raw delivery writes each datagram's part; --frames ends the run after that many.
TEST_F(KrhostTest, RawModeWritesUdpDatagramsAndStopsAfterTheFrameLimit) {
    const fs::path out = dir / "udp.bin";
    const ToolRun run = Krhost({"play", "--input", stream.string(), "--program", "1001", "--mode",
                                "3", "--frames", "5", "--out", out.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_THAT(run.err, HasSubstr("(done)"));
    const Bytes bytes = krtools::ReadWholeFile(out);
    std::size_t parts = 0;
    for (std::size_t at = 0; at + 8 <= bytes.size(); ++parts) {
        const uint16_t port = krtools::ReadBe16(&bytes[at + 2]);
        const std::size_t length = krtools::ReadBe16(&bytes[at + 4]);
        EXPECT_TRUE(port == 6000 || port == 6002) << port;
        ASSERT_GE(length, 8u + 12u);
        at += length;
        if (at == bytes.size()) {
            ++parts;
            break;
        }
    }
    EXPECT_EQ(parts, 5u);
}

TEST_F(KrhostTest, DownloadedResourcesAreTheSampleFiles) {
    const fs::path out = dir / "downloads";
    const ToolRun run = Krhost({"download", "--input", stream.string(), "--resource", "2007",
                                "--resource", "2012", "--out", out.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    // Named as the download EPG names them.
    for (const char* name : {"winter_landscapes.jpg", "service_guide.txt"})
        EXPECT_EQ(krtools::ReadWholeFile(out / name),
                  krtools::ReadWholeFile(kSamples / "resources" / name))
            << name;
    EXPECT_THAT(run.err, HasSubstr("resource 2007 complete: 8 blocks, 10551 bytes"));
    // Nothing but the two files: no temporary left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 2);
}

TEST_F(KrhostTest, DownloadCutShortNamesTheMissingBlocks) {
    // Resource blocks trickle: the input ends long before the picture's eight blocks are in.
    const fs::path slow = dir / "slow.ts";
    const ToolRun mux =
        RunTool(kKrmux, {"--scenario", (kSamples / "scenario").string(), "--resource-rate", "4",
                         "--duration-ms", "2000", "--out", slow.string()});
    ASSERT_EQ(mux.status, 0) << mux.err;
    const fs::path out = dir / "downloads";
    const ToolRun run = Krhost({"download", "--input", slow.string(), "--resource", "2007",
                                "--resource", "4242", "--out", out.string()});
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_THAT(run.err,
                HasSubstr("resource 2007 (winter_landscapes.jpg) incomplete (the input ended): "));
    EXPECT_THAT(run.err, HasSubstr(" of 8 blocks missing: "));
    EXPECT_THAT(run.err, HasSubstr("resource 4242 is not announced in the download EPG"));
    EXPECT_THAT(run.err, testing::EndsWith("2 of 2 resources not downloaded\n"));
    EXPECT_FALSE(fs::exists(out / "winter_landscapes.jpg"));
}

TEST_F(KrhostTest, StoredLiveEpgIsCurrentBeforeTheBroadcastSendsOne) {
    const ToolRun first = Krhost({"epg", "--json", "--input", stream.string()});
    ASSERT_EQ(first.status, 0) << first.err;
    ASSERT_EQ(fs::file_size(store), 0x20000u);

    // No broadcast at all: the live EPG comes from the store; the download EPG is not kept.
    const ToolRun second = Krhost({"epg", "--json", "--input", "/dev/null"});
    ASSERT_EQ(second.status, 0) << second.err;
    const JsonValue before = Json(first);
    const JsonValue after = Json(second);
    ASSERT_FALSE(after["live"].IsNull());
    EXPECT_TRUE(after["download"].IsNull());
    EXPECT_EQ(after["live"]["programs"].items.size(), 4u);
    EXPECT_TRUE(after["live"]["programs"] == before["live"]["programs"]);

    // A program of the stored EPG starts before the stream has sent any EPG.
    // (An empty input brings no frame: that run delivers nothing.)
    const ToolRun play = Krhost(
        {"play", "--input", "/dev/null", "--program", "1003", "--out", (dir / "radio").string()});
    EXPECT_EQ(play.status, 1) << play.err;
    EXPECT_THAT(play.err, HasSubstr("playing program 1003 (MusicRadio)"));
    EXPECT_THAT(play.err, testing::EndsWith("program 1003: nothing delivered (the input ended)\n"));

    // Without a store nothing is known.
    const ToolRun none = RunTool(
        kKrhost, {"epg", "--input", "/dev/null", "--store", (dir / "fresh.store").string()});
    EXPECT_EQ(none.status, 1);
    EXPECT_THAT(none.err, HasSubstr("no EPG"));
}

// The terminal fetches each new EPG and gives back the one it held before: with two buffers of
// each kind, a third version only gets in when the first was released.
TEST_F(KrhostTest, EachNewEpgVersionReplacesTheOneBefore) {
    Bytes broadcast;
    for (int i = 0; i < 3; ++i) {
        const fs::path epg = dir / ("epg" + std::to_string(i));
        fs::create_directories(epg);
        for (const char* name : {"LiveEPG.txt", "FileEPG.txt"}) {
            const Bytes bytes = krtools::ReadWholeFile(kSamples / "epg" / name);
            std::string text(bytes.begin(), bytes.end());
            const std::string version = "VERSION=20261206180000";
            text.replace(text.find(version), version.size(),
                         "VERSION=20261206" + std::to_string(18 + i) + "0000");
            const std::string news = "ProgramName=City News";
            if (text.find(news) != std::string::npos)
                text.replace(text.find(news), news.size(), news + static_cast<char>('A' + i));
            krtools::WriteWholeFile(epg / name, Bytes(text.begin(), text.end()));
        }
        // Each part on standard output.
        const ToolRun mux =
            RunTool(kKrmux, {"--epg", epg.string(), "--duration-ms", "700", "--out", "-"});
        ASSERT_EQ(mux.status, 0) << mux.err;
        broadcast.insert(broadcast.end(), mux.out.begin(), mux.out.end());
    }
    const fs::path all = dir / "three_versions.ts";
    krtools::WriteWholeFile(all, broadcast);
    const ToolRun run = Krhost({"epg", "--json", "--until-end", "--input", all.string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const JsonValue epg = Json(run);
    EXPECT_EQ(epg["live"]["version"].text, "20261206200000");
    EXPECT_EQ(epg["live"]["programs"][0]["name"].text, "CityNewsC");
    EXPECT_EQ(epg["download"]["version"].text, "20261206200000");
}

// Killed at any moment, the terminal leaves a whole store that the next run reads.
TEST_F(KrhostTest, StoreSurvivesAKillWhileTheTerminalRuns) {
    const krtest::ToolProcess running =
        krtest::StartTool(kKrhost, {"play", "--input", stream.string(), "--rate", "1", "--program",
                                    "1001", "--out", (dir / "v").string(), "--store", store});
    ASSERT_GT(running.pid, 0);
    // Wait until the live EPG has been stored (a store that holds the program's name).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    bool stored = false;
    while (!stored && std::chrono::steady_clock::now() < deadline) {
        std::error_code code;
        if (fs::file_size(store, code) == 0x20000) {
            const Bytes image = krtools::ReadWholeFile(store);
            stored = std::string(image.begin(), image.end()).find("CityNews") != std::string::npos;
        }
        if (!stored) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(running.pid, SIGKILL);
    const ToolRun killed = krtest::WaitTool(running);
    ASSERT_TRUE(stored);
    EXPECT_EQ(killed.status, 128 + SIGKILL);
    EXPECT_EQ(fs::file_size(store), 0x20000u);
    const ToolRun after = Krhost({"epg", "--json", "--input", "/dev/null"});
    ASSERT_EQ(after.status, 0) << after.err;
    EXPECT_EQ(Json(after)["live"]["programs"].items.size(), 4u);
}

// Lost and damaged packets cost frames, but whatever is delivered is a frame of the source.
TEST_F(KrhostTest, DamagedStreamsGiveFewerFramesButNeverAWrongOne) {
    const auto sourceVideo = FrameList(kSamples / "media/clip.m4v", true);
    const auto sourceAudio = FrameList(kSamples / "media/clip.aac", false);
    const std::unordered_set<std::string> videoFrames(sourceVideo.begin(), sourceVideo.end());
    const std::unordered_set<std::string> audioFrames(sourceAudio.begin(), sourceAudio.end());
    for (const char* seed : {"3", "11"}) {
        SCOPED_TRACE(seed);
        const fs::path damaged = dir / (std::string("damaged") + seed + ".ts");
        const ToolRun mux =
            RunTool(kKrmux, {"--scenario", (kSamples / "scenario").string(), "--drop", "0.02",
                             "--corrupt", "0.03", "--seed", seed, "--out", damaged.string()});
        ASSERT_EQ(mux.status, 0) << mux.err;
        const fs::path out = dir / (std::string("video") + seed);
        const ToolRun run = Krhost(
            {"play", "--input", damaged.string(), "--program", "1001", "--out", out.string()});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_THAT(run.err, HasSubstr("continuity errors"));
        const auto video = FrameList(out, true);
        EXPECT_GT(video.size(), sourceVideo.size() / 2);
        EXPECT_LT(video.size(), sourceVideo.size());
        for (const std::string& frame : video)
            EXPECT_TRUE(videoFrames.count(frame))
                << "a video frame of " << frame.size() << " bytes that the source does not have";
        const auto audio = FrameList(out.string() + ".audio", false);
        EXPECT_FALSE(audio.empty());
        for (const std::string& frame : audio)
            EXPECT_TRUE(audioFrames.count(frame)) << "an audio frame the source does not have";
    }
}

TEST_F(KrhostTest, BadArgumentsAndUnreadableInputSayWhatIsWrong) {
    krtools::WriteWholeFile(dir / "short.store", Bytes(100, 0));
    const std::string input = stream.string();
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{}, "usage: krhost COMMAND"},
        {{"fly"}, "unknown command 'fly'"},
        {{"epg"}, "no input: give --input FILE, - or udp://ADDR:PORT"},
        {{"play", "--input", input, "--out", "x"}, "play needs --program ID"},
        {{"play", "--input", input, "--program", "1001"}, "play needs --out FILE"},
        {{"play", "--input", input, "--program", "x1", "--out", "x"},
         "bad value for 'program': 'x1'"},
        {{"play", "--input", input, "--program", "1001", "--mode", "9", "--out", "x"},
         "bad value for 'mode': '9'"},
        {{"download", "--input", input, "--out", "d"}, "download needs --resource ID"},
        {{"epg", "--input", input, "--resource", "5"},
         "option '--resource' does not belong to 'epg'"},
        {{"epg", "--input", input, "--colour"}, "unknown option '--colour'"},
        {{"epg", "--input"}, "--input needs a value"},
        {{"epg", "--input", "/nonexistent/x.ts"}, "cannot read /nonexistent/x.ts"},
        {{"epg", "--input", dir.string()}, "is a directory"},
        {{"epg", "--input", "udp://239.1.2:5"}, "bad input 'udp://239.1.2:5' (udp://ADDR:PORT)"},
        {{"epg", "--input", input, "--store", (dir / "short.store").string()},
         "has 100 bytes, not 131072: not a store file"},
        {{"demo", "--samples", "/nonexistent"}, "no samples in /nonexistent"},
        {{"epg", "--input", (kSamples / "epg/LiveEPG.txt").string()},
         "LiveEPG.txt is not a transport stream: 8 packets read (1"},
        {{"play", "play"}, "unexpected argument 'play'"},
        {{"play", "--input", "f", "--program", "0", "--out", "v"}, "bad value for 'program': '0'"},
        {{"play", "--input", "f", "--program", "1", "--mode", "1", "--audio-out", "a", "--out",
          "v"},
         "--audio-out needs mode 0"},
        {{"epg", "--input", "f", "--rate", "-1"}, "bad value for 'rate': '-1'"},
        {{"epg", "--input", "f", "--nodes", "0"}, "bad value for 'nodes': '0'"},
        {{"epg", "--input", "f", "--debug", "0x100"}, "bad value for 'debug': '0x100'"},
        {{"download", "--input", "f", "--resource", "0", "--out", "d"},
         "bad value for 'resource': '0'"},
        {{"demo", "--input", "f"}, "--input does not belong to 'demo'"},
        {{"--input", "f"}, "no command"},
    };
    for (const auto& c : cases) {
        const ToolRun run = RunTool(kKrhost, c.arguments);
        EXPECT_EQ(run.status, 2) << c.message << "\n" << run.err;
        EXPECT_THAT(run.err, HasSubstr(c.message));
        EXPECT_TRUE(run.out.empty()) << run.out;
    }
    const ToolRun help = RunTool(kKrhost, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_THAT(help.out, HasSubstr("usage: krhost COMMAND"));

    const ToolRun version = RunTool(kKrhost, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_THAT(version.out, testing::MatchesRegex("krhost [0-9.]+\nkrmodule library [0-9.]+\n"));
}

// Runs that start but cannot deliver exit with 1, the reason as the last line, said once.
TEST_F(KrhostTest, WhatCouldNotBeDeliveredIsSaidLastAndExitsWithOne) {
    const std::string input = stream.string();
    const std::string out = (dir / "v").string();
    const struct {
        std::vector<std::string> arguments;
        const char* lastLine;
    } cases[] = {
        {{"play", "--input", input, "--program", "4242", "--out", out},
         "program 4242 is not announced: the live EPG lists 1001, 1002, 1003, 1004"},
        {{"play", "--input", input, "--program", "1001", "--out", "/nonexistent/dir/v"},
         "cannot write /nonexistent/dir/v"},
        {{"play", "--input", input, "--program", "1004", "--out", out},
         "program 1004: nothing delivered (the input ended)"},
        {{"card", "--card", "none"}, "no usable card in the slot: nothing to read"},
        {{"mail", "read", "9"}, "no mail 9 on the card (0 mails)"},
    };
    for (const auto& c : cases) {
        const ToolRun run = Krhost(c.arguments);
        EXPECT_EQ(run.status, 1) << run.err;
        const std::string last = std::string(c.lastLine) + "\n";
        EXPECT_THAT(run.err, testing::EndsWith(last));
        EXPECT_EQ(run.err.find(c.lastLine), run.err.size() - last.size()) << "said twice";
        // Under --json the same reason is the result's, and nothing else is on the output.
        std::vector<std::string> json = c.arguments;
        json.push_back("--json");
        const ToolRun jsonRun = Krhost(json);
        const auto result = krtest::ParseJsonLines(jsonRun.out);
        ASSERT_TRUE(result.has_value()) << jsonRun.out;
        EXPECT_EQ((*result)["exit"].Int(), 1);
        EXPECT_EQ((*result)["reason"].text, c.lastLine);
    }
}

// A UDP input that never ends: Ctrl-C stops it cleanly with 130, not as "the input ended".
TEST_F(KrhostTest, AnInterruptStopsCleanlyWith130) {
    // A free port: bound first, then given to krhost; nothing is ever sent to it.
    const int probe = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(probe, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(probe, reinterpret_cast<sockaddr*>(&local), &length), 0);
    ::close(probe);
    const krtest::ToolProcess running = krtest::StartTool(
        kKrhost, {"play", "--json", "--store", store, "--program", "1001", "--out",
                  (dir / "v").string(), "--input",
                  "udp://127.0.0.1:" + std::to_string(ntohs(local.sin_port))});
    ASSERT_GT(running.pid, 0);
    // The card is announced once the library runs and the signal handler is in place.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream out(running.outPath);
        const std::string text((std::istreambuf_iterator<char>(out)), {});
        if (text.find("\"event\":\"card\"") != std::string::npos) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(::kill(running.pid, SIGINT), 0);
    const ToolRun run = krtest::WaitTool(running);
    EXPECT_EQ(run.status, 130) << run.err;
    const auto result = krtest::ParseJsonLines(run.out);
    ASSERT_TRUE(result.has_value()) << run.out;
    EXPECT_EQ((*result)["end"].text, "interrupted");
    EXPECT_EQ((*result)["reason"].text, "interrupted");
    EXPECT_THAT(run.err, testing::Not(HasSubstr("input ended")));
}

// A UDP socket carrying TS packets, seven to a datagram as a network head end sends them.
TEST_F(KrhostTest, ReceivesTransportStreamOverUdp) {
    const int sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_GE(sender, 0);
    // A free port: bound by the sender first, then given to krhost.
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(sender, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    socklen_t length = sizeof local;
    ASSERT_EQ(::getsockname(sender, reinterpret_cast<sockaddr*>(&local), &length), 0);
    const int port = ntohs(local.sin_port);
    ::close(sender);

    const krtest::ToolProcess running =
        krtest::StartTool(kKrhost, {"epg", "--json", "--timeout", "30", "--store", store, "--input",
                                    "udp://127.0.0.1:" + std::to_string(port)});
    ASSERT_GT(running.pid, 0);
    const Bytes ts = krtools::ReadWholeFile(stream);
    const int socket = ::socket(AF_INET, SOCK_DGRAM, 0);
    // The broadcast repeats until krhost has what it needs (it may bind after the first
    // datagrams went out) and exits.
    std::atomic<bool> done{false};
    std::thread broadcast([&] {
        while (!done) {
            for (std::size_t at = 0; at < ts.size() && !done; at += 7 * 188) {
                const std::size_t n = std::min<std::size_t>(7 * 188, ts.size() - at);
                (void)::sendto(socket, ts.data() + at, n, 0, reinterpret_cast<sockaddr*>(&local),
                               sizeof local);
                if (at % (7 * 188 * 64) == 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
    });
    const ToolRun run = krtest::WaitTool(running);
    done = true;
    broadcast.join();
    ::close(socket);
    ASSERT_EQ(run.status, 0) << run.err;
    const JsonValue epg = Json(run);
    EXPECT_EQ(epg["live"]["programs"].items.size(), 4u);
    EXPECT_EQ(epg["download"]["resources"].items.size(), 12u);
}

TEST_F(KrhostTest, DemoReceivesTheSampleScenarioEndToEnd) {
    const ToolRun run = RunTool(kKrhost, {"demo", "--out", (dir / "demo").string()});
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    for (const char* text :
         {"4. Played program 1001 (CityNews): 50 video frames", "(identical to clip.m4v)",
          "(identical to clip.aac)", "2007: 8 blocks", "(identical to winter_landscapes.jpg)",
          "(identical to service_guide.txt)", "Live EPG: version 20261206180000",
          "5. Played program 1002 (SportsLive): 50 video frames",
          "program-1002.aac (identical to clip.aac)", "2003: 23 blocks",
          "harbour_lights.ts (identical to clip.m4v, scrambled)", "unread Welcome",
          "unread Sports Live"})
        EXPECT_THAT(run.out, HasSubstr(text));
}

}  // namespace
}  // namespace krhost_test
