// The parsers of the system-information worker on the test's own thread: what a datagram may
// announce, how blocks are stored, and what damaged or forged input can never do.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "epg/epg_database.h"
#include "intake/block_header.h"
#include "intake/request_table.h"
#include "intake/section_queue.h"
#include "support/epg_builder.h"
#include "support/section_builder.h"
#include "sysinfo/epg_download.h"
#include "sysinfo/sysinfo.h"
#include "sysinfo/sysinfo_fixture.h"
#include "sysinfo/sysinfo_parse.h"
#include "sysinfo_run.h"

namespace {

using namespace krtest;

std::vector<uint8_t> Filled(size_t n, uint8_t value) {
    return std::vector<uint8_t>(n, value);
}

TEST(BlockHeader, ReadsOnlyWhatThePayloadHolds) {
    const std::vector<uint8_t> whole = BuildBlockPayload({7, 3, 9, Filled(10, 0x5A), {}});
    const std::vector<uint8_t> cut = BuildBlockPayload({1, 3, 9, Filled(10, 0x5A), 11u});
    struct Case {
        const char* name;
        std::span<const uint8_t> payload;
        int32_t result;
        size_t dataSize;
    };
    const Case cases[] = {
        {"whole block", whole, kr::kBlockRead, 10},
        {"data beyond the payload", cut, kr::kBlockDataCut, 0},
        {"header one byte short", std::span(whole).first(27), kr::kBlockHeaderCut, 0},
        {"empty payload", {}, kr::kBlockHeaderCut, 0},
    };
    for (const Case& c : cases) {
        kr::BlockHeader header{};
        EXPECT_EQ(kr::ReadBlockHeader(c.payload, &header), c.result) << c.name;
        EXPECT_EQ(header.data.size(), c.dataSize) << c.name;
        if (c.result != kr::kBlockHeaderCut) {
            EXPECT_EQ(header.blockNumber, 3u) << c.name;
            EXPECT_EQ(header.totalBlocks, 9u) << c.name;
        }
        if (c.result == kr::kBlockRead) {
            EXPECT_EQ(header.kind, 7u);
            EXPECT_EQ(header.dataLength, 10u);
            EXPECT_EQ(header.data.data(), whole.data() + kr::kBlockHeaderSize);
        }
    }
    EXPECT_EQ(kr::ReadBlockHeader(whole, nullptr), kr::kBlockHeaderCut);
}

TEST_F(SysinfoUnitTest, ReadsAnnouncementFieldsOnlyWhenThePayloadHoldsThem) {
    std::vector<uint8_t> payload = BuildSysinfoPayload({});
    ASSERT_EQ(payload.size(), kr::kSysinfoMessageOffset);
    std::vector<uint8_t> wrongMagic = payload;
    wrongMagic[0] = 0xBE;
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        const char* message;
        size_t epgFilters;
    };
    const Case cases[] = {
        {"magic cut short", std::vector<uint8_t>(payload.begin(), payload.begin() + 3),
         "Invalid sysinfo header : 0x00000000", 0},
        {"wrong magic", wrongMagic, "Invalid sysinfo header : 0x0000BDBE", 0},
        {"ends before the message length", std::vector<uint8_t>(payload.begin(), payload.end() - 1),
         "Invalid sysinfo length : 67", 0},
        {"every field there", payload, "Start download epg.", 1},
    };
    for (const Case& c : cases) {
        host.Clear();
        kr::ParseSysinfo(c.payload, Buffer());
        EXPECT_TRUE(host.HasDebugText(c.message)) << c.name;
        EXPECT_EQ(FiltersFor(host, 0x0100), c.epgFilters) << c.name;
    }
    EXPECT_EQ(kr::Sysinfo().epgInfo.ipAddress, 0xEF515A02u);
    EXPECT_EQ(kr::Sysinfo().epgInfo.udpPort, 8200);
}

// A message is shown once, and again when it changes; it takes only the bytes that are there.
TEST_F(SysinfoUnitTest, MessageIsShownWhenItChangesAndTakesOnlyTheBytesThere) {
    struct Case {
        const char* name;
        std::string text;
        std::optional<uint32_t> declared;
        std::string shown;  // empty: nothing shown
    };
    const Case cases[] = {
        {"a first text", "Welcome", {}, "Welcome"},
        {"the same again", "Welcome", {}, ""},
        {"a longer text", "Welcome to the service", {}, "Welcome to the service"},
        {"a shorter text that begins alike", "Welcome", {}, "Welcome"},
        {"length beyond the datagram", "short text", 100, "short text"},
        {"length beyond the message", std::string(1100, 'x'), 5000, std::string(1023, 'x')},
        {"shorter length", "abcdef", 3, "abc"},
        {"no text at all", "", 7, ""},
        {"a text after none", "Goodbye", {}, "Goodbye"},
    };
    for (const Case& c : cases) {
        const size_t before = host.CallCount(Slot::ShowMessage);
        SysinfoAnnouncement a;
        a.message = c.text;
        a.declaredMessageLength = c.declared;
        Announce(a);
        const auto shown = host.Calls(Slot::ShowMessage);
        if (c.shown.empty()) {
            EXPECT_EQ(shown.size(), before) << c.name;
            continue;
        }
        ASSERT_EQ(shown.size(), before + 1) << c.name;
        EXPECT_EQ(shown.back().text, c.shown) << c.name;
        EXPECT_EQ(shown.back().words, (std::vector<uint32_t>{0xFF, 0, 0})) << c.name;
    }
}

TEST_F(SysinfoUnitTest, DropsBlocksTheBufferCannotHold) {
    Announce({});
    ASSERT_TRUE(Downloading());
    struct Case {
        const char* name;
        Block block;
        size_t keep;  // payload bytes actually sent (0: all)
    };
    const Case cases[] = {
        {"block number 0", {1, 0, 3, Filled(10, 1), {}}, 0},
        {"block number above 1024", {1, 1025, 1025, Filled(10, 1), {}}, 0},
        {"block number far beyond", {1, 0x80000001u, 3, Filled(10, 1), {}}, 0},
        {"total 0", {1, 1, 0, Filled(10, 1), {}}, 0},
        {"total above 1024", {1, 1, 1025, Filled(10, 1), {}}, 0},
        {"number above its total", {1, 3, 2, Filled(10, 1), {}}, 0},
        {"data length above 1400", {1, 1, 2, Filled(1401, 1), {}}, 0},
        {"data length beyond the datagram", {1, 1, 2, Filled(10, 1), 100u}, 0},
        {"header cut short", {1, 1, 2, Filled(10, 1), {}}, 20},
    };
    for (const Case& c : cases) {
        host.Clear();
        std::vector<uint8_t> payload = BuildBlockPayload(c.block);
        if (c.keep != 0) payload.resize(c.keep);
        SendBlock(payload);
        EXPECT_TRUE(host.HasDebugText("Invalid epg block")) << c.name;
        EXPECT_EQ(Buffer()->receivedBlocks, 0u) << c.name;
        // Block 0 once counted as a complete empty file.
        EXPECT_TRUE(Downloading()) << c.name;
    }

    // The last slot of the buffer takes a whole block, up to its last byte.
    SendBlock(BuildBlockPayload({1, 1024, 1024, Filled(1400, 0xAB), {}}));
    EXPECT_EQ(Buffer()->receivedBlocks, 1u);
    EXPECT_EQ(Buffer()->data[sizeof Buffer()->data - 1], 0xAB);
    EXPECT_EQ(Buffer()->data[1023 * 1400 - 1], 0);
}

// The container goes to the parsers with the extent its blocks really cover: an entry that
// reaches one byte beyond the last block is skipped, however large the buffer behind it is.
TEST_F(SysinfoUnitTest, HandsOverTheContainerWithItsRealExtent) {
    const std::vector<uint8_t> exact = SampleContainer();
    std::vector<uint8_t> overlong = exact;
    // The first entry is "LiveEPG.txt": length 11, name, offset, then its file length.
    const uint32_t directorySize = uint32_t{exact[5]} | uint32_t{exact[6]} << 8;
    const auto contentSize = static_cast<uint32_t>(exact.size() - 13 - directorySize);
    const uint32_t beyond = contentSize + 1;
    std::memcpy(overlong.data() + 13 + 4 + 11 + 4, &beyond, 4);  // little-endian host

    struct Case {
        const char* name;
        const std::vector<uint8_t>* container;
        bool liveParsed;
    };
    const Case cases[] = {{"file ends inside the last block", &exact, true},
                          {"file reaches beyond the last block", &overlong, false}};
    for (const Case& c : cases) {
        kr_T2K_ClearEpg();
        Announce({});
        const auto blocks = SplitIntoBlocks(*c.container);
        ASSERT_EQ(blocks.size(), 4u);
        for (const auto& block : blocks)
            SendBlock(block);
        EXPECT_FALSE(Downloading()) << c.name;
        EXPECT_EQ(Buffer()->totalBytes, c.container->size()) << c.name;
        kr::ModuleLockGuard hold;
        EXPECT_EQ(kr::Epg().currentLive != nullptr, c.liveParsed) << c.name;
    }
}

TEST_F(SysinfoUnitTest, RefusedFilterLeavesNoDownloadAndTheNextAnnouncementRetries) {
    EXPECT_EQ(kr::StartEpgDownload(nullptr, Buffer()), KR_NULL_ARG);
    const kr::EpgInfo info{1, 0x100, 0xEF515A02, 8200};
    EXPECT_EQ(kr::StartEpgDownload(&info, nullptr), KR_NULL_ARG);

    host.SetFilterResult(-1);
    Announce({});
    EXPECT_FALSE(Downloading());
    EXPECT_TRUE(host.HasDebugText("Set EPG filter faild!"));
    EXPECT_EQ(kr::RequestsInUse(), 2);  // system information and its host filter only
    host.SetFilterResult(0);
    Announce({});
    EXPECT_TRUE(Downloading());
    EXPECT_EQ(kr::RequestsInUse(), 4);  // and the EPG request with its own host filter
}

TEST_F(SysinfoUnitTest, BlockInFlightWhenTheEpgIsClearedIsNotStored) {
    Announce({});
    const auto blocks = SplitIntoBlocks(SampleContainer());
    SendBlock(blocks[0]);
    SendBlock(blocks[1]);
    SendBlock(blocks[2]);
    kr_T2K_ClearEpg();
    SendBlock(blocks[3]);
    EXPECT_EQ(Buffer()->receivedBlocks, 3u);
    EXPECT_EQ(kr::Sysinfo().localVersion, 0u);
    EXPECT_EQ(host.CallCount(Slot::EpgUpdateNotify), 0u);
}

// The worker's view of a node: the payload ends where the UDP length says, so the CRC after
// the datagram never becomes part of a message.
TEST_F(SysinfoUnitTest, NodePayloadEndsWithTheDatagram) {
    SysinfoAnnouncement a;
    a.message = "ten chars!";
    a.declaredMessageLength = 100;
    auto node = std::make_unique<kr::SectionNode>();
    node->type = kr::kTypeSysinfo;
    for (const bool rightUdp : {false, true}) {
        Datagram d;
        d.destinationAddress = kr::kSysinfoAddress;
        d.destinationPort = kr::kSysinfoPort;
        d.payload = BuildSysinfoPayload(a);
        d.udpChecksum = rightUdp ? UdpChecksum::Right : UdpChecksum::Wrong;
        const std::vector<uint8_t> section = BuildDatagramSection(d);
        node->length = static_cast<uint16_t>(section.size());
        std::memcpy(node->data, section.data(), section.size());
        kr::ProcessSysinfoNode(*node);
    }
    EXPECT_TRUE(host.HasDebugText("Invalid sysinfo retrieve."));
    const auto shown = host.Calls(Slot::ShowMessage);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, "ten chars!");
}

TEST_F(SysinfoUnitTest, FuzzCorpusReplays) {
    const auto inputs = ReadAllFiles(std::string(KRMODULE_FUZZ_CORPUS_DIR) + "/sysinfo");
    ASSERT_FALSE(inputs.empty());
    bool completed = false;
    for (const auto& input : inputs) {
        const size_t before = host.CallCount(Slot::EpgUpdateNotify);
        krfuzz::RunSysinfoInput(input.data(), input.size());
        completed = completed || host.CallCount(Slot::EpgUpdateNotify) > before;
    }
    kr_T2K_ClearEpg();
    // The seeds include a whole download, so the fuzzer starts from inputs that reach the parsers.
    EXPECT_TRUE(completed);
}

}  // namespace
