// The head-end stream generator: the same inputs give the same bytes and every datagram passes
// the library's own checks. That the datagrams carry exactly the inputs is proven end to end by
// the terminal tests, which receive krmux output, clean and damaged, and compare it with the
// sample files.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include "common/block_payload.h"
#include "common/byte_writer.h"
#include "common/file_io.h"
#include "common/pcr.h"
#include "common/section_builder.h"
#include "terminal/ts_demux.h"
#include "headend/elementary_stream.h"
#include "headend/head_end.h"
#include "headend/multiplex.h"
#include "headend/mux_options.h"
#include "headend/pcap_capture.h"
#include "headend/sysinfo_payload.h"
#include "intake/datagram.h"
#include "intake/section_queue.h"

namespace head_end_test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using krtools::ToolError;
using ::testing::HasSubstr;
using ::testing::ThrowsMessage;

const fs::path kSamples = KRMODULE_SAMPLES_DIR;

const char kFileEpg[] =
    "[FILE_EPG]\n"
    "COUNT=2\n"
    "VERSION=20261206180000\n"
    "[PROGRAM1]\n"
    "ProgramID=2001\n"
    "ProgramName=Welcome\n"
    "FileName=service_guide.txt\n"
    "Pid=768\n"
    "Channel=239.81.2.1:7000\n"
    "[PROGRAM2]\n"
    "ProgramID=2002\n"
    "ProgramName=Test card\n"
    "FileName=/Pictures$5/winter_landscapes.jpg\n"
    "Pid = 768\n"
    "Channel = 239.81.2.2 : 7001\n";

// One datagram as a receiver sees it after the demultiplexer.
struct Datagram {
    uint16_t pid;
    uint32_t address;
    uint16_t port;
    Bytes payload;
};

struct Analysis {
    std::vector<Datagram> datagrams;
    std::vector<std::pair<uint16_t, Bytes>> tables;  // sections that are not datagrams
    std::size_t invalid = 0;                         // datagrams the library refuses
    krtools::TsDemux::Stats stats;
};

// Demultiplexes a stream and puts every datagram section through the check a library worker
// applies to a node.
Analysis Analyse(const Bytes& stream) {
    Analysis a;
    auto node = std::make_unique<kr::SectionNode>();
    krtools::TsDemux demux([&](uint16_t pid, std::span<const uint8_t> s) {
        if (s[0] != 0x3E) {
            a.tables.emplace_back(pid, Bytes(s.begin(), s.end()));
            return;
        }
        const std::size_t kept = std::min<std::size_t>(s.size(), kr::kNodeDataSize);
        std::memcpy(node->data, s.data(), kept);
        node->length = static_cast<uint16_t>(kept);
        if (s.size() < 48 || kr::ValidateDatagram(node.get()) != KR_YES ||
            krtools::SectionCrc(s.data(), s.size()) != 0) {
            ++a.invalid;
            return;
        }
        const auto end = s.begin() + 32 + krtools::ReadBe16(&s[36]);  // the UDP length
        a.datagrams.push_back({pid, krtools::ReadBe32(&s[28]), krtools::ReadBe16(&s[34]),
                               Bytes(s.begin() + 40, end)});
    });
    for (std::size_t at = 0; at < stream.size(); at += 188) {
        // The clock's packets carry a PES packet, not sections.
        const auto packet = std::span(stream).subspan(at, 188);
        if (!krtools::ReadPcr(packet)) demux.Feed(packet);
    }
    demux.Finish();
    a.stats = demux.stats();
    return a;
}

class HeadEndTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::temp_directory_path() /
              (std::string("krmux_") + info->name() + "_" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "epg");
        fs::copy(kSamples / "epg/LiveEPG.txt", dir / "epg/LiveEPG.txt");
        fs::copy(kSamples / "epg/ico", dir / "epg/ico");
        krtools::WriteWholeFile(dir / "epg/FileEPG.txt",
                                Bytes(kFileEpg, kFileEpg + sizeof kFileEpg - 1));

        options.epgDirectory = dir / "epg";
        options.message = "Hello receivers";
        options.programs = {
            {1001, kSamples / "media/clip.m4v", kSamples / "media/clip.aac"},
            {1002, kSamples / "media/clip.m4v", kSamples / "media/clip.aac"},
        };
        options.resources = {{2001, kSamples / "resources/service_guide.txt"},
                             {2002, kSamples / "resources/winter_landscapes.jpg"}};
        options.liveStartMs = 500;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path dir;
    krtools::MuxOptions options;
};

// The same inputs give the same bytes, and loss and damage follow the seed alone. Every datagram
// that survives damage is one the head end sent: the checksums and CRC catch the rest, whatever
// the content (EPG blocks and resource blocks included).
TEST_F(HeadEndTest, DamageFollowsTheSeedAndNeverAltersADatagram) {
    options.durationMs = 3000;
    const Bytes first = krtools::BuildStream(options).stream;
    ASSERT_FALSE(first.empty());
    ASSERT_EQ(first.size() % 188, 0u);
    EXPECT_EQ(krtools::BuildStream(options).stream, first);
    const Analysis clean = Analyse(first);
    std::set<std::tuple<uint32_t, uint16_t, Bytes>> sent;
    for (const Datagram& d : clean.datagrams)
        sent.insert({d.address, d.port, d.payload});

    options.dropShare = 0.02;
    options.corruptShare = 0.05;
    const krtools::MuxResult result = krtools::BuildStream(options);
    EXPECT_EQ(krtools::BuildStream(options).stream, result.stream);
    const double packets = static_cast<double>(first.size() / 188);
    EXPECT_EQ(result.stream.size() + result.droppedPackets * 188, first.size());
    EXPECT_NEAR(static_cast<double>(result.droppedPackets), 0.02 * packets, 0.01 * packets);
    EXPECT_NEAR(static_cast<double>(result.corruptedPackets), 0.05 * packets, 0.02 * packets);
    const Analysis damaged = Analyse(result.stream);
    EXPECT_GT(damaged.invalid, 0u);
    EXPECT_GT(damaged.stats.continuityErrors, 0u);
    EXPECT_LT(damaged.datagrams.size(), clean.datagrams.size());
    EXPECT_GT(damaged.datagrams.size(), clean.datagrams.size() / 2);
    for (const Datagram& d : damaged.datagrams)
        EXPECT_TRUE(sent.count({d.address, d.port, d.payload})) << "port " << d.port;
    options.seed = 2;
    EXPECT_NE(krtools::BuildStream(options).stream, result.stream);
}

TEST_F(HeadEndTest, EveryDatagramPassesTheLibraryChecks) {
    const krtools::MuxResult result = krtools::BuildStream(options);
    const Analysis a = Analyse(result.stream);
    EXPECT_EQ(a.invalid, 0u);
    EXPECT_EQ(a.stats.continuityErrors + a.stats.droppedSections + a.stats.skippedBytes, 0u);
    EXPECT_EQ(a.datagrams.size(), result.sysinfoSections + result.epgBlockSections +
                                      result.videoSections + result.audioSections +
                                      result.resourceBlockSections);
    // Program association and map tables on PID 0 and the first free PID from 0x20.
    std::size_t pat = 0;
    std::size_t pmt = 0;
    for (const auto& [pid, section] : a.tables) {
        EXPECT_EQ(krtools::SectionCrc(section.data(), section.size()), 0u);
        pat += pid == 0 && section[0] == 0x00 && ((section[10] & 0x1F) << 8 | section[11]) == 0x20;
        pmt += pid == 0x20 && section[0] == 0x02;
    }
    EXPECT_EQ(pat, result.sysinfoSections);
    EXPECT_EQ(pmt, result.sysinfoSections);
    // Every sample program and resource has a PID of its own, none of them the table's.
    EXPECT_TRUE(result.warnings.empty()) << result.warnings.front();

    options.psi = false;
    EXPECT_TRUE(Analyse(krtools::BuildStream(options).stream).tables.empty());
}

// A capture of one program holds its datagrams as the stream carries them, in order, framed so
// that a packet tool reads them: Ethernet to the group's MAC, IPv4, UDP; nothing of the others.
TEST_F(HeadEndTest, ACaptureHoldsTheProgramsDatagramsAsSent) {
    options.durationMs = 4000;
    const krtools::HeadEndContent content = krtools::LoadContent(options);
    const krtools::MuxResult result = krtools::GenerateStream(content, options);
    const krtools::AnnouncedProgram& program = content.programs.at(0).where;
    const krtools::PcapCapture capture =
        krtools::CaptureProgram(result.stream, result.packetTimesUs, program);
    std::vector<Bytes> sent;
    for (const Datagram& d : Analyse(result.stream).datagrams)
        if (d.address == program.address &&
            (d.port == program.VideoDestinationPort() || d.port == program.AudioDestinationPort()))
            sent.push_back(d.payload);
    ASSERT_GT(sent.size(), 10u);
    EXPECT_EQ(capture.datagrams, sent.size());

    const Bytes& f = capture.file;
    ASSERT_GE(f.size(), 24u);
    EXPECT_EQ(krtools::ReadLe32(f.data()), 0xA1B2C3D4u);
    EXPECT_EQ(krtools::ReadLe32(f.data() + 20), 1u);  // Ethernet
    std::vector<Bytes> captured;
    uint64_t lastUs = 0;
    for (std::size_t at = 24; at + 16 <= f.size();) {
        const uint32_t length = krtools::ReadLe32(f.data() + at + 8);
        const uint64_t us = krtools::ReadLe32(f.data() + at) * 1000000ull +
                            krtools::ReadLe32(f.data() + at + 4);
        EXPECT_GE(us, lastUs);
        lastUs = us;
        const uint8_t* frame = f.data() + at + 16;
        ASSERT_LE(at + 16 + length, f.size());
        EXPECT_EQ(frame[0], 0x01);
        EXPECT_EQ(krtools::ReadBe16(frame + 12), 0x0800);
        const uint8_t* ip = frame + 14;
        EXPECT_EQ(krtools::ReadBe32(ip + 16), program.address);
        const uint16_t udpLength = krtools::ReadBe16(ip + 24);
        captured.emplace_back(ip + 28, ip + 20 + udpLength);
        at += 16 + length;
    }
    EXPECT_EQ(captured, sent);
}

// The programme clock: on the PID the program map names, never more than 40 ms apart, never
// behind the schedule of the packets after it, and at the stream's length at its end.
TEST_F(HeadEndTest, TheClockTimesThePacketsOnThePidTheMapNames) {
    const krtools::MuxResult result = krtools::BuildStream(options);
    uint16_t pcrPid = 0x1FFF;
    for (const auto& [pid, section] : Analyse(result.stream).tables)
        if (section[0] == 0x02)
            pcrPid = static_cast<uint16_t>((section[8] & 0x1F) << 8 | section[9]);
    ASSERT_EQ(result.packetTimesUs.size() * 188, result.stream.size());
    std::optional<uint64_t> clockUs;
    for (std::size_t n = 0; n < result.packetTimesUs.size(); ++n) {
        const auto packet = std::span(result.stream).subspan(n * 188, 188);
        const auto pcr = krtools::ReadPcr(packet);
        ASSERT_EQ(pcr.has_value(), ((packet[1] & 0x1F) << 8 | packet[2]) == pcrPid) << n;
        const uint64_t dueUs = result.packetTimesUs[n];
        if (pcr) {
            EXPECT_EQ(*pcr, dueUs * 27);
            if (clockUs) {
                EXPECT_LE(dueUs - *clockUs, 40000u) << n;
            }
            clockUs = dueUs;
        } else {
            ASSERT_TRUE(clockUs);
            EXPECT_GE(dueUs, *clockUs) << n;
            EXPECT_LT(dueUs, *clockUs + krtools::kClockSpacingUs) << n;
        }
    }
    EXPECT_EQ(clockUs, uint64_t{result.durationMs} * 1000);
}

TEST_F(HeadEndTest, SystemInformationAnnouncesTheEpgAtItsInterval) {
    options.sysinfoIntervalMs = 400;
    options.durationMs = 3000;
    const krtools::MuxResult result = krtools::BuildStream(options);
    auto sysinfo = Analyse(result.stream).datagrams;
    std::erase_if(sysinfo, [](const Datagram& d) {
        return d.address != krtools::kSysinfoAddress || d.port != krtools::kSysinfoPort;
    });
    ASSERT_EQ(sysinfo.size(), 8u);  // 0, 0.4, ... 2.8 s
    for (std::size_t i = 0; i < sysinfo.size(); ++i) {
        krtools::SysinfoPayload s;
        ASSERT_TRUE(
            krtools::ParseSysinfoPayload(sysinfo[i].payload.data(), sysinfo[i].payload.size(), s));
        EXPECT_EQ(sysinfo[i].pid, krtools::kSysinfoPid);
        EXPECT_EQ(s.epgVersion, "20261206180000");
        EXPECT_EQ(s.epgPid, 0x1FF0);
        EXPECT_EQ(s.time.second, i * 400 / 1000);
    }
    // The head-end clock carries over midnight and the year's end.
    const krtools::HeadEndTime t = krtools::TimeAfter("20261231235959", 2);
    EXPECT_EQ((std::vector<uint32_t>{t.year, t.month, t.day, t.hour, t.minute, t.second}),
              (std::vector<uint32_t>{2027, 1, 1, 0, 0, 1}));
}

TEST_F(HeadEndTest, RefusesContentTheEpgDoesNotAnnounce) {
    struct Case {
        const char* name;
        std::function<void(krtools::MuxOptions&)> change;
        const char* message;
    };
    const Case cases[] = {
        {"unknown program", [](auto& o) { o.programs[0].programId = 4242; },
         "program 4242 is not in LiveEPG.txt"},
        {"program without RTP streams", [](auto& o) { o.programs[0].programId = 1004; },
         "program 1004 is not an RTP program (ProgramSort 7)"},
        {"video for an audio-only program", [](auto& o) { o.programs[0].programId = 1003; },
         "program 1003 announces no video stream"},
        {"unknown resource", [](auto& o) { o.resources[0].resourceId = 9; },
         "resource 9 is not in FileEPG.txt"},
        {"missing video file", [](auto& o) { o.programs[0].video = "/nonexistent/clip.m4v"; },
         "cannot read /nonexistent/clip.m4v: no such file"},
        {"audio that is not ADTS",
         [](auto& o) { o.programs[0].audio = kSamples / "media/clip.m4v"; },
         "is not AAC audio in ADTS frames"},
        {"missing EPG directory", [](auto& o) { o.epgDirectory = "/nonexistent"; },
         "cannot read EPG directory /nonexistent"},
    };
    for (const Case& c : cases) {
        krtools::MuxOptions changed = options;
        c.change(changed);
        EXPECT_THAT([&] { krtools::BuildStream(changed); },
                    ThrowsMessage<ToolError>(HasSubstr(c.message)))
            << c.name;
    }
}

// Options on top of a scenario; what the sample scenario sets, its paths relative to its own
// directory, the terminal tests show by muxing it.
TEST(MuxArguments, ParsesOptionsAndScenario) {
    const krtools::MuxCommand c = krtools::ParseMuxArguments(
        {"--scenario", (kSamples / "scenario").string(), "--out", "-", "--epg-pid", "0x300",
         "--program", "77,video=a.m4v", "--resource", "5,r.bin", "--no-psi", "--drop", "0.5",
         "--seed", "99"});
    EXPECT_EQ(c.output, "-");
    EXPECT_EQ(c.options.epgPid, 0x300);
    ASSERT_EQ(c.options.programs.size(), 4u);
    EXPECT_EQ(c.options.programs[3].programId, 77u);
    EXPECT_EQ(c.options.programs[3].video, "a.m4v");
    ASSERT_EQ(c.options.resources.size(), 4u);
    EXPECT_EQ(c.options.resources[3].file, "r.bin");
    EXPECT_FALSE(c.options.psi);
    EXPECT_EQ(c.options.dropShare, 0.5);
    EXPECT_EQ(c.options.seed, 99u);
    EXPECT_TRUE(krtools::ParseMuxArguments({"--help"}).help);
}

TEST(MuxArguments, BadArgumentsSayWhatIsWrong) {
    const struct {
        std::vector<std::string> arguments;
        const char* message;
    } cases[] = {
        {{"--epg", "e"}, "no output: give --out FILE"},
        {{"--out", "x.ts"}, "no EPG directory"},
        {{"--epg", "e", "--out"}, "--out needs a value"},
        {{"--epg", "e", "--out", "x", "--colour", "red"}, "unknown option '--colour'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--epg-pid", "0x2000"}, "bad value for 'epg-pid': '0x2000'"},
        {{"--epg-pid", "12ab"}, "bad value for 'epg-pid'"},
        {{"--epg-channel", "239.1.2:80"}, "bad value for 'epg-channel'"},
        {{"--drop", "1.5"}, "bad value for 'drop': '1.5' (a share from 0 to 1)"},
        {{"--epg-version", "2026"}, "bad value for 'epg-version'"},
        {{"--program", "12"}, "bad value for 'program'"},
        {{"--program", "12,film=x"}, "'film=x' (video=FILE or audio=FILE)"},
        {{"--resource", "12"}, "bad value for 'resource': '12' (ID,FILE)"},
        {{"--frame-rate", "0"}, "bad value for 'frame-rate': 0"},
        {{"--scenario", "/nonexistent"}, "cannot read /nonexistent/scenario.txt"},
        {{"--epg", "e", "--colour"}, "unknown option '--colour'"},
        {{"--resource", "7,a", "--resource", "7,b"}, "resource 7 is given twice"},
        {{"--program", "1,audio=a", "--program", "1,audio=b"}, "program 1 is given twice"},
        {{"--epg", "e", "--out", "x", "--ca-card", "c"}, "--ca-card needs --emm-pid"},
        {{"--epg", "e", "--out", "x", "--scrambled", "1"}, "need --ca-card and --emm-pid"},
    };
    for (const auto& c : cases)
        EXPECT_THAT([&] { krtools::ParseMuxArguments(c.arguments); },
                    ThrowsMessage<ToolError>(HasSubstr(c.message)));
}

TEST_F(HeadEndTest, ScenarioErrorsNameTheLine) {
    const std::string text = "#\nloops=2\ncolour=1\n";
    krtools::WriteWholeFile(dir / "scenario.txt", Bytes(text.begin(), text.end()));
    EXPECT_THAT([&] { krtools::ReadScenario(dir); },
                ThrowsMessage<ToolError>((dir / "scenario.txt").string() +
                                         " line 3: unknown setting 'colour'"));
}

// ---- The pieces the generator is made of ---------------------------------------------------

TEST(ElementaryStream, VideoFramesBeginAtTheirHeadersOrVop) {
    // VOS, VO, VOL, VOP | VOP | GOV, VOP | VOP, end code.
    const Bytes es = {0,    0, 1, 0xB0, 1,    0, 0, 1, 0xB5, 9,    0, 0, 1,
                      0x00, 0, 0, 1,    0x20, 7, 0, 0, 1,    0xB6, 1, 2,     //
                      0,    0, 1, 0xB6, 3,                                   //
                      0,    0, 1, 0xB3, 4,    0, 0, 1, 0xB6, 5,    0, 0, 0,  //
                      0,    0, 1, 0xB6, 6,    0, 0, 1, 0xB1};
    std::vector<std::pair<std::size_t, std::size_t>> frames;
    for (const krtools::FrameSpan& f : krtools::SplitMpeg4Video(es))
        frames.emplace_back(f.offset, f.size);
    EXPECT_EQ(frames, (std::vector<std::pair<std::size_t, std::size_t>>{
                          {0, 25}, {25, 5}, {30, 13}, {43, 9}}));

    const Bytes sample = krtools::ReadWholeFile(kSamples / "media/clip.aac");
    const krtools::AdtsInfo adts = krtools::SplitAdtsFrames(sample);
    EXPECT_EQ(adts.sampleRate, 48000u);
    ASSERT_FALSE(adts.frames.empty());
    EXPECT_EQ(adts.frames.back().offset + adts.frames.back().size, sample.size());
    Bytes cut = sample;
    cut.pop_back();
    EXPECT_TRUE(krtools::SplitAdtsFrames(cut).frames.empty());
}

TEST(BlockPayload, CutsFilesIntoNumberedBlocksOf1400Bytes) {
    for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1400}, std::size_t{1401},
                             std::size_t{4200}}) {
        Bytes file(size);
        for (std::size_t i = 0; i < size; ++i)
            file[i] = static_cast<uint8_t>(i * 7);
        const auto blocks = krtools::BuildBlockPayloads(file);
        ASSERT_EQ(blocks.size(), krtools::BlockCount(size));
        Bytes joined;
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            krtools::BlockHeader h;
            ASSERT_TRUE(krtools::ReadBlockHeader(blocks[i].data(), blocks[i].size(), h));
            EXPECT_EQ(h.kind, 1u);
            EXPECT_EQ(h.blockNumber, i + 1);
            EXPECT_EQ(h.totalBlocks, blocks.size());
            EXPECT_EQ(blocks[i].size(), krtools::kBlockHeaderSize + h.dataLength);
            if (i + 1 < blocks.size()) {
                EXPECT_EQ(h.dataLength, 1400u);
            }
            joined.insert(joined.end(), blocks[i].begin() + 28, blocks[i].end());
        }
        EXPECT_EQ(joined, file) << size;
    }
}

}  // namespace
}  // namespace head_end_test
