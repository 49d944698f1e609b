// Frame reassembly end to end: RTP packets of a program started for frame delivery, sent through
// kr_T2K_SendRetrieved, and the frames its content function receives.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <numeric>

#include "playback/playback_fixture.h"
#include "support/stream_builder.h"

namespace {

using namespace krtest;

struct Packet {
    bool video = true;
    uint16_t seq = 0;
    uint32_t timestamp = 0;
    bool marker = false;
    std::vector<uint8_t> media;
    uint8_t payloadType = 96;
};

std::vector<uint8_t> Counting(size_t size, uint8_t seed) {
    std::vector<uint8_t> out(size);
    std::iota(out.begin(), out.end(), seed);
    return out;
}

std::vector<uint8_t> Join(const std::vector<std::vector<uint8_t>>& parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

class FramesTest : public PlaybackTest {
  protected:
    int32_t SendPacket(const TestProgram& program, const Packet& p) {
        RtpPacketFields fields;
        fields.seq = p.seq;
        fields.timestamp = p.timestamp;
        fields.marker = p.marker;
        fields.payloadType = p.payloadType;
        fields.media = p.media;
        return Send(program, p.video ? program.videoPort : program.audioPort,
                    BuildRtpPayload(fields));
    }
};

TEST_F(FramesTest, ReassemblyRules) {
    const auto a = FrameStart(0xB6, 1000, 1);
    const auto b = Counting(900, 2);
    const auto z = Counting(700, 3);
    struct Expected {
        uint16_t kind;
        uint32_t timestamp;
        std::vector<uint8_t> bytes;
    };
    struct Case {
        const char* name;
        std::vector<Packet> packets;
        std::vector<Expected> frames;
        bool notWhole = false;
    };
    // 94 video parts of 1400 bytes reach the 131072-byte buffer.
    std::vector<Packet> oversized;
    for (uint16_t i = 0; i < 94; ++i)
        oversized.push_back({true, static_cast<uint16_t>(10 + i), 5000, i == 93,
                             i == 0 ? FrameStart(0xB3, 1400) : Counting(1400, 0)});
    oversized.push_back({true, 104, 6000, true, FrameStart(0xB0, 50)});

    const std::vector<Case> cases = {
        {"three parts make one frame",
         {{true, 1, 900, false, a}, {true, 2, 900, false, b}, {true, 3, 900, true, z}},
         {{KR_FRAME_VIDEO, 900, Join({a, b, z})}}},
        {"a lost middle part drops the frame",
         {{true, 1, 900, false, a}, {true, 3, 900, true, z}},
         {}},
        {"a frame whose first part is lost has no start code",
         {{true, 1, 800, true, FrameStart(0xB6, 10)},
          {true, 3, 900, false, b},
          {true, 4, 900, true, z}},
         {{KR_FRAME_VIDEO, 800, FrameStart(0xB6, 10)}},
         true},
        {"a stream's first frame may have timestamp 0",
         {{true, 5, 0, false, a}, {true, 6, 0, true, z}, {false, 1, 0, true, b}},
         {{KR_FRAME_VIDEO, 0, Join({a, z})}, {KR_FRAME_AUDIO, 0, b}}},
        {"sequence numbers wrap",
         {{true, 65535, 900, false, a}, {true, 0, 900, true, z}},
         {{KR_FRAME_VIDEO, 900, Join({a, z})}}},
        {"other start codes",
         {{true, 1, 900, true, FrameStart(0xB3, 20)}, {true, 2, 901, true, FrameStart(0xB0, 4)}},
         {{KR_FRAME_VIDEO, 900, FrameStart(0xB3, 20)}, {KR_FRAME_VIDEO, 901, FrameStart(0xB0, 4)}}},
        {"a frame without a start code is not whole",
         {{true, 1, 900, true, FrameStart(0xB5, 20)}, {true, 2, 901, true, {0, 0, 1}}},
         {},
         true},
        {"audio with the marker is a frame at once",
         {{false, 7, 300, true, b},
          {false, 8, 400, false, Counting(100, 9)},
          {false, 9, 400, true, Counting(50, 1)}},
         {{KR_FRAME_AUDIO, 300, b},
          {KR_FRAME_AUDIO, 400, Join({Counting(100, 9), Counting(50, 1)})}}},
        {"audio that fills its buffer is dropped",
         {{false, 1, 300, false, Counting(1400, 0)},
          {false, 2, 300, true, Counting(648, 0)},
          {false, 3, 400, false, Counting(1400, 0)},
          {false, 4, 400, true, Counting(647, 1)}},
         {{KR_FRAME_AUDIO, 400, Join({Counting(1400, 0), Counting(647, 1)})}}},
        {"video that fills its buffer is dropped",
         oversized,
         {{KR_FRAME_VIDEO, 6000, FrameStart(0xB0, 50)}}},
        {"payload types 72 to 76 are refused",
         {{true, 1, 900, true, FrameStart(0xB6, 8), 72},
          {true, 2, 901, true, FrameStart(0xB6, 8), 76},
          {true, 3, 902, true, FrameStart(0xB6, 8), 71},
          {true, 4, 903, true, FrameStart(0xB6, 8), 77}},
         {{KR_FRAME_VIDEO, 902, FrameStart(0xB6, 8)}, {KR_FRAME_VIDEO, 903, FrameStart(0xB6, 8)}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A fresh start gives the program fresh states.
        ASSERT_EQ(StartProgram(kClear), KR_OK);
        host.Clear();
        recorder.Clear();
        for (const Packet& p : c.packets)
            ASSERT_EQ(SendPacket(kClear, p), KR_OK);
        Drain();
        const auto got = recorder.Streams();
        ASSERT_EQ(got.size(), c.frames.size());
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].programId, kClear.id);
            EXPECT_EQ(got[i].deliveryMode, 0u);
            EXPECT_EQ(got[i].kind, c.frames[i].kind) << i;
            EXPECT_EQ(got[i].timestamp, c.frames[i].timestamp) << i;
            EXPECT_EQ(got[i].bytes, c.frames[i].bytes) << i;
        }
        EXPECT_EQ(host.HasDebugText("not a whole video frame!!!"), c.notWhole);
        ASSERT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
    }
}

// Lengths taken from the datagram never reach past it: a packet too short for its own header or
// CSRC list is refused instead of handing over a negative length.
TEST_F(FramesTest, RtpHeadersThatAreRefused) {
    ASSERT_EQ(StartProgram(kClear), KR_OK);
    RtpPacketFields good;
    good.marker = true;
    good.media = FrameStart(0xB6, 40);
    uint16_t next = 100;  // every packet a frame of its own
    auto with = [&](auto change) {
        RtpPacketFields s = good;
        s.timestamp = next;
        s.seq = next++;
        change(s);
        return BuildRtpPayload(s);
    };
    RtpPacketFields full;
    full.marker = true;
    full.csrcCount = 15;
    full.timestamp = 77;
    const std::vector<uint8_t> header = BuildRtpPayload(full);  // 78 bytes, no media
    auto cut = [&header](size_t n) {
        return std::vector<uint8_t>(header.begin(), header.begin() + static_cast<long>(n));
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        bool delivered;
        bool lengthError;
    };
    const Case cases[] = {
        {"version 1", with([](RtpPacketFields& s) { s.version = 1; }), false, false},
        {"padding", with([](RtpPacketFields& s) { s.padding = true; }), false, false},
        {"extension", with([](RtpPacketFields& s) { s.extension = true; }), false, false},
        {"CSRC list before the media", with([](RtpPacketFields& s) { s.csrcCount = 3; }), true,
         false},
        {"plain", with([](RtpPacketFields&) {}), true, false},
        {"no RTP header", {}, false, true},
        {"half a fixed header", cut(6), false, true},
        {"CSRC count beyond the packet", cut(12 + 20), false, true},
        {"the 6 bytes before the media missing", cut(header.size() - 2), false, true},
        {"exactly the header: no media, no frame", header, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        recorder.Clear();
        host.Clear();
        ASSERT_EQ(Send(kClear, kClear.videoPort, c.payload), KR_OK);
        Drain();
        ASSERT_EQ(recorder.StreamCount(), c.delivered ? 1u : 0u);
        if (c.delivered) {
            EXPECT_EQ(recorder.Streams()[0].bytes, good.media);
        }
        if (c.lengthError) {
            EXPECT_TRUE(host.HasDebugText("Stream retrieve length error"));
        }
    }
    EXPECT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
}

TEST_F(FramesTest, TwoProgramsKeepTheirFramesApart) {
    const std::pair<TestProgram, uint8_t> programs[] = {{kClear, 10}, {kSecondClear, 20}};
    for (const auto& [program, seed] : programs)
        ASSERT_EQ(StartProgram(program), KR_OK);
    // Same timestamps, each program's own sequence, interleaved packet by packet: gathered in one
    // state they would see gaps and mixed parts.
    for (uint16_t i = 0; i < 3; ++i) {
        for (const auto& [program, seed] : programs) {
            const auto part = static_cast<uint8_t>(seed + i);
            Packet p{true, static_cast<uint16_t>(100 + i), 4000, i == 2,
                     i == 0 ? FrameStart(0xB6, 300, seed) : Counting(300, part)};
            ASSERT_EQ(SendPacket(program, p), KR_OK);
            Packet audio{false, static_cast<uint16_t>(7 + i), 4100u + i, true, Counting(60, part)};
            ASSERT_EQ(SendPacket(program, audio), KR_OK);
        }
    }
    Drain();
    const auto got = recorder.Streams();
    ASSERT_EQ(got.size(), 8u);  // per program: three audio frames and one video frame
    for (const auto& [program, seed] : programs) {
        SCOPED_TRACE(program.id);
        const auto expectedVideo =
            Join({FrameStart(0xB6, 300, seed), Counting(300, static_cast<uint8_t>(seed + 1)),
                  Counting(300, static_cast<uint8_t>(seed + 2))});
        int video = 0;
        int audio = 0;
        for (const auto& s : got) {
            if (s.programId != program.id) continue;
            if (s.kind == KR_FRAME_VIDEO) {
                ++video;
                EXPECT_EQ(s.bytes, expectedVideo);
            } else {
                EXPECT_EQ(s.bytes, Counting(60, static_cast<uint8_t>(seed + audio)));
                ++audio;
            }
        }
        EXPECT_EQ(video, 1);
        EXPECT_EQ(audio, 3);
        EXPECT_EQ(kr_T2K_StopProgram(program.id), KR_OK);
    }
}

}  // namespace
