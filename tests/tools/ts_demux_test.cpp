// Sections through the transport-stream packetiser and back through the software demultiplexer.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "common/section_builder.h"
#include "terminal/ts_demux.h"
#include "common/ts_packetiser.h"
#include "support/epg_builder.h"
#include "ts_demux_run.h"

namespace {

using krtools::kTsPacketSize;
using Section = std::vector<uint8_t>;

// A private section of the given total size (at least 3) with varied, reproducible content.
Section MakeSection(std::size_t size, uint8_t tableId, uint32_t seed) {
    Section s(size);
    const std::size_t length = size - 3;
    s[0] = tableId;
    s[1] = static_cast<uint8_t>(0xB0 | ((length >> 8) & 0x0F));
    s[2] = static_cast<uint8_t>(length);
    for (std::size_t i = 3; i < size; ++i)
        s[i] = static_cast<uint8_t>((seed * 2654435761u + i * 40503u) >> 7);
    return s;
}

using Received = std::pair<uint16_t, Section>;  // the pid and the section

std::vector<Received> Demux(const std::vector<uint8_t>& stream, std::size_t chunk,
                            krtools::TsDemux::Stats* stats = nullptr) {
    std::vector<Received> out;
    krtools::TsDemux demux([&out](uint16_t pid, std::span<const uint8_t> s) {
        out.push_back({pid, Section(s.begin(), s.end())});
    });
    for (std::size_t at = 0; at < stream.size(); at += chunk)
        demux.Feed(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)));
    demux.Finish();
    if (stats) *stats = demux.stats();
    return out;
}

// Sizes around the packet payload boundaries, so that section headers and section ends fall on
// every position of a packet, plus the largest section a 12-bit length allows.
const std::vector<std::size_t> kSizes = {3,   4,   8,   16,  181, 182,  183, 184,
                                         185, 186, 366, 367, 368, 1472, 4098};

TEST(TsRoundTrip, SectionsComeBackByteForByteHoweverTheBytesAreChunked) {
    for (bool packed : {false, true}) {
        // First a section that fills the first packet exactly (with the pointer field), so that
        // when packed the second begins just past the first packet's payload.
        std::vector<Section> sections = {MakeSection(183, 0x3E, 100)};
        uint32_t seed = 1;
        for (std::size_t size : kSizes)
            sections.push_back(MakeSection(size, 0x3E, seed++));
        // Many small sections: several begin in one packet when packed.
        for (std::size_t size = 3; size < 60; size += 5)
            sections.push_back(MakeSection(size, 0x80, seed++));

        krtools::TsPacketiser packetiser;
        std::vector<uint8_t> stream;
        if (packed) {
            packetiser.PutSections(0x123, sections, stream);
        } else {
            for (const Section& s : sections)
                packetiser.PutSection(0x123, s, stream);
        }
        // Whole packets; a missing sync byte shows as skipped bytes below.
        ASSERT_EQ(stream.size() % kTsPacketSize, 0u);
        std::vector<Received> expected;
        for (const Section& s : sections)
            expected.push_back({0x123, s});

        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, kTsPacketSize, kTsPacketSize + 1,
                                  std::size_t{1000}, stream.size()}) {
            krtools::TsDemux::Stats stats;
            EXPECT_EQ(Demux(stream, chunk, &stats), expected)
                << "packed " << packed << ", chunk " << chunk;
            EXPECT_EQ(stats.continuityErrors + stats.droppedSections + stats.skippedBytes, 0u);
        }
    }
}

TEST(TsRoundTrip, PackingPutsSeveralSectionsInOnePacketAndPointsAtTheFirstStart) {
    const std::vector<Section> sections = {MakeSection(100, 0x3E, 1), MakeSection(50, 0x3E, 2),
                                           MakeSection(20, 0x3E, 3), MakeSection(30, 0x3E, 4)};
    krtools::TsPacketiser packetiser;
    std::vector<uint8_t> stream;
    packetiser.PutSections(0x20, sections, stream);
    // 200 bytes: the first packet carries three sections and the start of the fourth.
    ASSERT_EQ(stream.size(), 2 * kTsPacketSize);
    EXPECT_EQ(stream[1] & 0x40, 0x40);
    EXPECT_EQ(stream[4], 0);                         // pointer: a section begins right away
    EXPECT_EQ(stream[kTsPacketSize + 1] & 0x40, 0);  // the second packet holds no start
    EXPECT_EQ(stream.back(), 0xFF);                  // stuffing after the last section
    EXPECT_EQ(Demux(stream, kTsPacketSize).size(), 4u);
}

// Damage at the packet level: what a demultiplexer must drop, and what it must still deliver.
TEST(TsDemux, DamageDropsOnlyTheSectionItTouches) {
    const std::vector<Section> sections = {MakeSection(500, 0x3E, 1), MakeSection(500, 0x3E, 2),
                                           MakeSection(30, 0x3E, 3), MakeSection(30, 0x3E, 4),
                                           MakeSection(500, 0x3E, 5)};
    krtools::TsPacketiser packetiser;
    std::vector<uint8_t> clean;
    packetiser.PutSections(0x40, sections, clean);
    const std::size_t packets = clean.size() / kTsPacketSize;
    ASSERT_EQ(packets, 9u);  // 1560 bytes

    auto packet = [](std::vector<uint8_t>& s, std::size_t i) {
        return s.begin() + static_cast<std::ptrdiff_t>(i * kTsPacketSize);
    };
    const std::vector<uint8_t> junk = {0x00, 0x12, 0xFF, 0x00};
    struct Case {
        const char* name;
        std::function<void(std::vector<uint8_t>&)> damage;
        std::vector<std::size_t> delivered;  // indexes of the sections that come through
        uint64_t continuityErrors;
    };
    const Case cases[] = {
        // Packet 1 holds the middle of section 0; section 1 starts in packet 2.
        {"lost packet inside a section",
         [&](auto& s) { s.erase(packet(s, 1), packet(s, 2)); },
         {1, 2, 3, 4},
         1},
        // Packet 2 holds the end of section 0 and the start of section 1.
        {"lost packet across two sections",
         [&](auto& s) { s.erase(packet(s, 2), packet(s, 3)); },
         {2, 3, 4},
         1},
        {"duplicate packet, skipped without complaint",
         [&](auto& s) { s.insert(packet(s, 4), packet(clean, 3), packet(clean, 4)); },
         {0, 1, 2, 3, 4},
         0},
        {"transport error flag, counted as lost",
         [](auto& s) { s[kTsPacketSize + 1] |= 0x80; },
         {1, 2, 3, 4},
         1},
        {"junk before and between packets, resynchronised on 0x47",
         [&](auto& s) {
             s.insert(packet(s, 5), junk.begin(), junk.end());
             s.insert(s.begin(), junk.begin(), junk.end());
         },
         {0, 1, 2, 3, 4},
         0},
        {"stream ends inside the last section",
         [](auto& s) { s.resize(s.size() - kTsPacketSize); },
         {0, 1, 2, 3},
         0},
    };
    for (const Case& c : cases) {
        krtools::TsDemux::Stats stats;
        std::vector<uint8_t> stream = clean;
        c.damage(stream);
        const auto got = Demux(stream, 100, &stats);
        std::vector<Received> expected;
        for (std::size_t i : c.delivered)
            expected.push_back({0x40, sections[i]});
        EXPECT_EQ(got, expected) << c.name;
        EXPECT_EQ(stats.continuityErrors, c.continuityErrors) << c.name;
    }
}

// Packets that other multiplexers send: an adaptation field before the payload, adaptation-only
// packets between, and a null packet.
TEST(TsDemux, ReadsAdaptationFieldsAndSkipsNullPackets) {
    const Section section = MakeSection(200, 0x3E, 9);
    std::vector<uint8_t> stream;
    auto header = [&stream](uint16_t pid, bool start, uint8_t control, uint8_t cc) {
        stream.push_back(0x47);
        stream.push_back(static_cast<uint8_t>((start ? 0x40 : 0) | (pid >> 8)));
        stream.push_back(static_cast<uint8_t>(pid));
        stream.push_back(static_cast<uint8_t>((control << 4) | cc));
    };
    // Packet 1: 10-byte adaptation field, pointer, the first 173 bytes.
    header(0x50, true, 3, 5);
    stream.push_back(9);
    stream.push_back(0x00);
    stream.insert(stream.end(), 8, 0xFF);
    stream.push_back(0);
    stream.insert(stream.end(), section.begin(), section.begin() + 173);
    // Adaptation only: carries no payload and does not advance the counter.
    header(0x50, false, 2, 5);
    stream.push_back(183);
    stream.insert(stream.end(), 183, 0xFF);
    // A null packet.
    header(0x1FFF, false, 1, 0);
    stream.insert(stream.end(), 184, 0xFF);
    // The rest of the section.
    header(0x50, false, 1, 6);
    stream.insert(stream.end(), section.begin() + 173, section.end());
    stream.insert(stream.end(), 184 - 27, 0xFF);
    // A clock packet: a PCR, and a PES packet, which holds no section.
    header(0x21, true, 3, 0);
    stream.push_back(7);
    stream.insert(stream.end(), {0x10, 0, 0, 0, 0, 0x7E, 0});
    stream.insert(stream.end(), {0x00, 0x00, 0x01, 0xBD, 0x00, 0x08});
    stream.insert(stream.end(), 184 - 8 - 6, 0xFF);
    ASSERT_EQ(stream.size(), 5 * kTsPacketSize);
    krtools::TsDemux::Stats stats;
    EXPECT_EQ(Demux(stream, 188, &stats), (std::vector<Received>{{0x50, section}}));
    EXPECT_EQ(stats.continuityErrors, 0u);
    EXPECT_EQ(stats.droppedSections, 0u) << "the PES is no section begun";
}

TEST(TsDemux, RefusesImpossibleHeaders) {
    const Section section = MakeSection(100, 0x3E, 3);
    krtools::TsPacketiser packetiser;
    std::vector<uint8_t> good;
    std::vector<uint8_t> next;
    packetiser.PutSection(0x60, section, good);
    packetiser.PutSection(0x61, section, next);
    struct Case {
        const char* name;
        std::vector<std::pair<std::size_t, uint8_t>> patches;
    };
    const Case cases[] = {
        {"pointer beyond the packet", {{4, 184}}},
        {"reserved adaptation control", {{3, 0x00}}},
        {"adaptation field longer than the packet", {{3, 0x30}, {4, 190}}},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bad = good;
        for (const auto& [offset, value] : c.patches)
            bad[offset] = value;
        EXPECT_TRUE(Demux(bad, 188).empty()) << c.name;
        // The next good packet is still read.
        bad.insert(bad.end(), next.begin(), next.end());
        EXPECT_EQ(Demux(bad, 188).size(), 1u) << c.name;
    }
}

// Every input the fuzzer keeps stays sound in every build.
TEST(TsDemux, FuzzCorpusReplays) {
    const auto inputs = krtest::ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/ts_demux");
    ASSERT_FALSE(inputs.empty());
    for (const auto& input : inputs)
        EXPECT_TRUE(krfuzz::RunTsDemux(input.data(), input.size()));
}

}  // namespace
