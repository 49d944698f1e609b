#include "epg/live_epg.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "epg/epg_fixture.h"

namespace {

using krtest::Bytes;
using krtest::ReadTestData;

class LiveEpgTest : public krtest::EpgTest {
  protected:
    int32_t Parse(const std::vector<uint8_t>& file) {
        return kr::kr_ParseLiveEpg(file.data(), static_cast<uint32_t>(file.size()));
    }
    int32_t ParseText(const std::string& text) { return Parse(Bytes(text)); }
    LiveEpg& Current() { return kr::Epg().currentLive->epg; }
};

// CR LF reads like LF.
TEST_F(LiveEpgTest, BuildsProgramsFromASampleFile) {
    host.SetFrequency(626000);
    for (const char* name : {"epg/live_basic.txt", "epg/live_basic_crlf.txt"}) {
        SCOPED_TRACE(name);
        kr::kr_EpgReset();
        host.Clear();
        ASSERT_EQ(Parse(ReadTestData(name)), 0);
        const LiveEpg& epg = Current();
        EXPECT_EQ(epg.programCount, 2);
        EXPECT_EQ(epg.version, 0xD714645Cu);
        EXPECT_EQ(epg.programs, &epg.program[0]);
        EXPECT_EQ(epg.eventEpg, nullptr);

        // Compact lines lose their blanks; nothing from a second '=' on.
        const ProgramInfo& news = epg.program[0];
        EXPECT_EQ(std::tuple(news.programId, news.ca, news.frequency, news.sort),
                  std::tuple(101u, 1, 626000u, 4));
        EXPECT_STREQ(news.name, "MorningNews");
        EXPECT_STREQ(news.abstract, "Headlines");
        EXPECT_STREQ(news.internetLink, "http://example.invalid/news");
        EXPECT_STREQ(news.epgInfoFile, "news.txt");
        EXPECT_EQ(news.media, &epg.stream[0].media);
        EXPECT_EQ(news.icon, nullptr);

        const StreamInfo& s = epg.stream[0];
        EXPECT_EQ(std::tuple(s.programId, s.pid, s.address, s.port, s.frequency),
                  std::tuple(101u, 256, 0xEF010203u, 5000, 626000u));
        const MediaSdpView& sdp = s.media.sdp;
        EXPECT_EQ(std::tuple(sdp.videoPort, sdp.audioPort, sdp.videoClock, sdp.audioClock),
                  std::tuple(5000, 5002, 90000u, 44100u));
        EXPECT_STREQ(sdp.videoCodec, "H264");
        EXPECT_STREQ(sdp.audioCodec, "MP4A-LATM");
        EXPECT_EQ(std::tuple(sdp.videoConfigLength, sdp.videoConfig[0], sdp.videoConfig[1],
                             sdp.audioConfig[0], sdp.audioConfig[1]),
                  std::tuple(2, 0x0A, 0x0B, 0x12, 0x10));

        // Freq 0: the host tells the frequency in use.
        EXPECT_EQ(epg.program[1].frequency, 626000u);
        EXPECT_EQ(host.CallCount(krtest::Slot::GetCurrentFrequency), 1u);
        const MediaPidView& pids = epg.stream[1].media.pid;
        EXPECT_EQ(std::tuple(pids.pidCount, pids.pids[0], pids.pids[1], pids.pidTypes[0],
                             pids.pidTypes[1]),
                  std::tuple(2, 481, 482, 27, 15));
        EXPECT_TRUE(host.HasDebugText("program channel : 239.1.2.3:5000"));
        EXPECT_TRUE(host.HasDebugText("Parsed ProgramID 102:      pid01: 0x01e2"));
        EXPECT_TRUE(host.HasDebugText("2 program(s) in live epg."));
    }
}

TEST_F(LiveEpgTest, ServiceLinkSectionsBecomeLinksNotPrograms) {
    ASSERT_EQ(Parse(ReadTestData("epg/live_links.txt")), 0);
    const LiveEpg& epg = Current();
    ASSERT_EQ(epg.programCount, 2);
    EXPECT_EQ(epg.program[0].programId, 1u);
    EXPECT_EQ(epg.program[1].programId, 3u);
    EXPECT_EQ(epg.stream[1].media.pid.pidCount, 0);  // the link's PID block went with it

    uint8_t count = 0;
    ASSERT_EQ(kr_T2K_GetServiceInfoLink(&count, nullptr), 0);
    ASSERT_EQ(count, 2);
    ServiceLink links[2] = {};
    ASSERT_EQ(kr_T2K_GetServiceInfoLink(&count, links), 0);
    EXPECT_EQ(std::tuple(links[0].frequency, links[0].onid, links[0].tsid, links[0].svid),
              std::tuple(714000u, 1, 2, 3));
    EXPECT_STREQ(links[0].internetLink, "http://example.invalid/other");
    EXPECT_STREQ(links[0].epgInfoFile, "other.txt");
    // The last section is a link too; it names only Svid and inherits nothing.
    EXPECT_EQ(std::tuple(links[1].frequency, links[1].onid, links[1].tsid, links[1].svid),
              std::tuple(800000u, 0, 0, 9));
    EXPECT_STREQ(links[1].internetLink, "");

    uint8_t tooFew = 1;
    EXPECT_EQ(kr_T2K_GetServiceInfoLink(&tooFew, links), KR_NO_NODE);
    EXPECT_EQ(tooFew, 2);
    EXPECT_EQ(kr_T2K_GetServiceInfoLink(nullptr, links), KR_NULL_ARG);
}

TEST_F(LiveEpgTest, AvsBlocksEndWithoutMarker) {
    ASSERT_EQ(Parse(ReadTestData("epg/live_avs.txt")), 0);
    const LiveEpg& epg = Current();
    ASSERT_EQ(epg.programCount, 2);
    // PIDCOUNT 1: the block ends after the first PIDTYPE; a 0x value reads as 0.
    EXPECT_EQ(epg.stream[0].media.pid.pids[0], 0);
    EXPECT_EQ(epg.stream[0].media.pid.pidTypes[0], 66);
    EXPECT_STREQ(epg.program[0].name, "AfterAvs");
    // A sixth PID key ends the block; five PIDs are kept.
    const MediaPidView& five = epg.stream[1].media.pid;
    EXPECT_EQ(five.pidCount, 9);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(five.pids[i], i + 1);
    EXPECT_STREQ(epg.program[1].name, "AfterSixth");
}

TEST_F(LiveEpgTest, MalformedValuesReadAsTheirLeadingDigits) {
    host.SetFrequency(650000);
    ASSERT_EQ(Parse(ReadTestData("epg/live_malformed.txt")), 0);
    const LiveEpg& epg = Current();
    ASSERT_EQ(epg.programCount, 1);
    const StreamInfo& s = epg.stream[0];
    // A Channel of 9 characters is ignored.
    EXPECT_EQ(std::tuple(s.programId, s.pid, s.frequency, s.ca, s.address),
              std::tuple(12u, 0xFFFF, 650000u, 300 & 0xFF, 0u));
    EXPECT_FALSE(host.HasDebugText("program channel"));
    EXPECT_STREQ(epg.program[0].name, "");
    // rtpmap and fmtp before any media line are audio; a short audio config pads with 0.
    const MediaSdpView& sdp = s.media.sdp;
    EXPECT_STREQ(sdp.audioCodec, "AAC");
    EXPECT_EQ(std::tuple(sdp.audioClock, sdp.audioConfig[0], sdp.audioConfig[1]),
              std::tuple(8000u, 0x12, 0x00));
    // A video config with an abnormal character keeps the byte before it.
    EXPECT_EQ(std::tuple(sdp.videoConfigLength, sdp.videoConfig[0]), std::tuple(1, 0x12));
    EXPECT_TRUE(host.HasDebugText("warning :find abnormal character . \n"));
}

TEST_F(LiveEpgTest, FmtpConfigIsFoundRightAfterTheKey) {
    ASSERT_EQ(ParseText("[LIVE_EPG]\nCOUNT=1\n[PROGRAM1]\nProgramID=5\nProgramSort=4\n#STARTSDP\n"
                        "m=video 5000 RTP/AVP 96\na=rtpmap:96 MP4V-ES/90000\n"
                        "a=fmtpconfig=0A0B\n#ENDSDP\n"),
              0);
    const MediaSdpView& sdp = Current().stream[0].media.sdp;
    EXPECT_EQ(std::tuple(sdp.videoConfigLength, sdp.videoConfig[0], sdp.videoConfig[1]),
              std::tuple(2, 0x0A, 0x0B));
}

TEST_F(LiveEpgTest, SectionCountAndLinkTableLimits) {
    std::string file = "[LIVE_EPG]\nCOUNT=2\n";
    for (int i = 1; i <= 33; ++i)
        file += "[PROGRAM" + std::to_string(i) + "]\nProgramID=" + std::to_string(i) + "\n";
    ASSERT_EQ(ParseText(file), 0);
    EXPECT_EQ(Current().programCount, 32);
    EXPECT_EQ(Current().program[31].programId, 32u);

    std::string links = "[LIVE_EPG]\nCOUNT=1\nVERSION=20100101000000\n";
    for (int i = 1; i <= 40; ++i) {
        links += "[PROGRAM]\nProgramSort=8\nSvid=" + std::to_string(i) + "\n";
    }
    links += "[PROGRAM]\nProgramID=5\n";
    ASSERT_EQ(ParseText(links), 0);
    EXPECT_EQ(Current().programCount, 1);
    EXPECT_EQ(Current().program[0].programId, 5u);
    uint8_t count = 0;
    kr_T2K_GetServiceInfoLink(&count, nullptr);
    EXPECT_EQ(count, 32);
    ServiceLink all[32];
    ASSERT_EQ(kr_T2K_GetServiceInfoLink(&count, all), 0);
    EXPECT_EQ(all[31].svid, 32);
}

TEST_F(LiveEpgTest, RejectsAndRepeats) {
    struct Case {
        const char* file;
        int32_t result;
        const char* message;
    };
    const Case cases[] = {
        {"COUNT=1\n[PROGRAM1]\n", -1, "Invalid live epg."},
        {"[LIVE_EPG]\n[PROGRAM1]\n", -1, "No program in live epg file."},
        {"[LIVE_EPG]\nCOUNT=0\n[PROGRAM1]\n", -1, "No program in live epg file."},
    };
    for (const Case& c : cases) {
        host.Clear();
        EXPECT_EQ(ParseText(c.file), c.result) << c.file;
        EXPECT_TRUE(host.HasDebugText(c.message)) << c.file;
        EXPECT_EQ(kr::Epg().currentLive, nullptr);
    }
    // Two files without VERSION share version 255: the second is not parsed.
    ASSERT_EQ(ParseText("[LIVE_EPG]\nCOUNT=1\n[PROGRAM1]\nProgramID=1\n"), 0);
    kr::LiveBuffer* first = kr::Epg().currentLive;
    EXPECT_EQ(ParseText("[LIVE_EPG]\nCOUNT=1\n[PROGRAM1]\nProgramID=2\n"), kr::kLiveSameVersion);
    EXPECT_TRUE(host.HasDebugText("Received live EPG."));
    EXPECT_EQ(kr::Epg().currentLive, first);
    EXPECT_EQ(first->state, kr::kBufferValid);
    EXPECT_EQ(first->epg.program[0].programId, 1u);
}

TEST(LiveEpgChannel, ParsesAddressAndPort) {
    struct Case {
        const char* text;
        uint32_t address;
        uint16_t port;
    };
    const Case cases[] = {
        {"239.1.2.3:5000", 0xEF010203u, 5000},
        {"239.255.0.1:65535", 0xEFFF0001u, 65535},
        {"1.2.3.4", 0x01020304u, 0},  // no ':' gives port 0
        {"300.1.1.1:1", 0x2C010101u, 1},
        {"12345.1.1.1:1", 0xD2050101u, 0},  // a fifth digit starts the next octet
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        uint32_t address = 1;
        uint16_t port = 1;
        kr::kr_ParseChannel(c.text, &address, &port);
        EXPECT_EQ(address, c.address) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

}  // namespace
