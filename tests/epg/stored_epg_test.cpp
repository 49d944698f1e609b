#include "epg/stored_epg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/byte_order.h"
#include "core/checksum.h"
#include "epg/epg_container.h"
#include "epg/epg_fixture.h"
#include "epg/live_epg.h"
#include "epg/stored_records.h"
#include "store/store.h"
#include "support/epg_builder.h"
#include "support/module_fixture.h"

namespace stored_epg_test {
namespace {

using Image = std::vector<uint8_t>;

constexpr uint32_t kFrequency = 714000;
// The store a terminal holds after the live EPG of live_stored.txt with two icons arrived into
// a fresh store whose host had set the system frequency. Written by every build alike.
const char* const kImageFile = "epg/stored_live_epg.img";

std::vector<uint8_t> LiveFile() {
    return krtest::ReadTestData("epg/live_stored.txt");
}

krtest::EpgFile Icon(uint32_t id, size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(id + i * 13);
    return {"ico\\" + std::to_string(id) + ".bmp", bytes};
}

std::vector<uint8_t> Container() {
    return krtest::BuildEpgContainer(
        {Icon(103, 8192), {"LiveEPG.txt", LiveFile()}, Icon(101, 300)});
}

void Reseal(Image& image) {
    for (const kr::StoreArea& area : {kr::kStoreEpgArea, kr::kStoreIconArea}) {
        kr::WriteBe32(image.data(), area.crcOffset,
                      kr::Crc32(image.data() + area.offset, area.length));
    }
    kr::WriteBe32(image.data(), kr::kStoreHeadCrcOffset,
                  kr::Crc32(image.data(), kr::kStoreHeadCrcOffset));
}

class StoredEpgTest : public krtest::EpgTest {
  protected:
    void SetUp() override {
        host.SetStoreSize(kr::kStoreSize);
        EpgTest::SetUp();
    }
    void TearDown() override {
        kr::kr_StoreFinish();
        EpgTest::TearDown();
    }

    // The module stops and starts again on the host's store as it now is.
    void Restart() {
        kr::kr_EpgFinish();
        kr::kr_StoreFinish();
        host.Clear();
        kr::kr_StoreInit();
        ASSERT_EQ(kr::kr_EpgInit(), 0);
    }
    void StartOn(const Image& image) {
        host.SetStoreContents(image);
        Restart();
    }

    // A fresh store, the host's frequency in it, then the live EPG with its icons arrives.
    Image WriteImage() {
        host.SetStoreSize(kr::kStoreSize);
        Restart();
        uint8_t frequency[4];
        kr::WriteBe32(frequency, 0, kFrequency);
        kr::kr_StoreWrite(kr::kStoredFrequencyOffset, 4, frequency);
        const auto container = Container();
        EXPECT_EQ(
            kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size())),
            1);
        return host.StoreContents();
    }

    static const LiveEpg* Current() {
        return kr::Epg().currentLive == nullptr ? nullptr : &kr::Epg().currentLive->epg;
    }
};

// The first start finds the store empty and loads nothing; the live EPG that then arrives is
// saved as the committed image, which comes back after a restart and is saved again unchanged.
TEST_F(StoredEpgTest, SavedImageIsTheCommittedOneAndComesBack) {
    const Image written = WriteImage();
    EXPECT_TRUE(host.HasDebugText("Get system freq ..."));
    EXPECT_FALSE(host.HasDebugText("Get program version ..."));
    EXPECT_TRUE(host.HasDebugText("Store stream EPG success"));
    // Set this to regenerate the committed image after a deliberate change of the layout.
    if (const char* out = std::getenv("KRMODULE_WRITE_STORED_EPG_IMAGE")) {
        std::ofstream(out, std::ios::binary)
            .write(reinterpret_cast<const char*>(written.data()),
                   static_cast<std::streamsize>(written.size()));
    }
    const Image image = krtest::ReadTestData(kImageFile);
    ASSERT_EQ(image.size(), kr::kStoreSize);
    EXPECT_TRUE(written == image) << "a save wrote other bytes than the committed image";

    // The 32-bit layout: 444-byte programs, 280-byte streams, 140-byte links, 8204-byte icons.
    const uint32_t streams = kr::kStoredProgramsOffset + 3 * 444;
    const uint32_t links = streams + 3 * 280;
    EXPECT_EQ(kr::ReadLe32(image.data(), kr::kStoredProgramsOffset + 444), 102u);
    for (uint32_t i = 293; i < 308; ++i)  // padding and the three pointers
        EXPECT_EQ(image[kr::kStoredProgramsOffset + 444 + i], 0) << i;
    EXPECT_EQ(kr::ReadLe32(image.data(), kr::kStoredProgramsOffset + 444 + 312), 0u);
    EXPECT_EQ(kr::ReadLe32(image.data(), kr::kStoredProgramsOffset + 2 * 444), 103u);
    EXPECT_EQ(kr::ReadLe32(image.data(), kr::kStoredProgramsOffset + 2 * 444 + 312), 650000u);
    EXPECT_EQ(kr::ReadLe32(image.data(), streams + 280), 102u);
    EXPECT_EQ(kr::ReadLe32(image.data(), links), 714000u);
    EXPECT_EQ(kr::ReadLe32(image.data(), links + 140), 800000u);
    EXPECT_EQ(kr::ReadLe32(image.data(), kr::kStoredIconsOffset + 8204), 101u);
    const uint8_t head[8] = {3, 0, 0, 0, 0, 2, 2, 0};
    EXPECT_EQ(std::memcmp(image.data() + kr::kStoredEpgHeadOffset, head, 1), 0);
    EXPECT_EQ(std::memcmp(image.data() + kr::kStoredEpgHeadOffset + 5, head + 5, 3), 0);

    // Loaded by this build with the pointers into its own buffer; saving it again writes the same
    // bytes, so every stored field came back, the links too (they outlive a restart in memory,
    // so they are cleared first).
    std::memset(kr::Epg().serviceLinks, 0, sizeof kr::Epg().serviceLinks);
    kr::Epg().linkCount = 0;
    StartOn(image);
    ASSERT_NE(Current(), nullptr);
    EXPECT_TRUE(host.HasDebugText("Get stored EPG success."));
    EXPECT_EQ(kr::SystemFrequency(), kFrequency);
    const LiveEpg& epg = *Current();
    ASSERT_EQ(epg.programCount, 3);
    EXPECT_EQ(epg.programs, epg.program);
    EXPECT_EQ(epg.eventEpg, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(epg.program[i].media, &epg.stream[i].media) << i;
    EXPECT_EQ(std::tuple(epg.program[0].icon, epg.program[1].icon, epg.program[2].icon),
              std::tuple(&epg.icons[1].image, nullptr, &epg.icons[0].image));
    EXPECT_EQ(kr::kr_SaveLiveEpg(kr::Epg().currentLive), 0);
    EXPECT_TRUE(host.StoreContents() == image) << "a loaded EPG saved again changes the store";
    EXPECT_EQ(kr::kr_SaveLiveEpg(nullptr), -2);
}

// A store written by something else: what cannot be used as it stands leaves no live EPG and
// the links as they were; what can is loaded, with the frequency if one was stored.
TEST_F(StoredEpgTest, ForeignStoredEpg) {
    struct Case {
        const char* what;
        uint32_t offset;
        std::vector<uint8_t> bytes;  // written there
        bool reseal;
        int32_t programs;  // -1 = nothing loaded
        uint32_t frequency = kFrequency;
        const char* name = "MorningNews";  // of the first program
    };
    const uint32_t head = kr::kStoredEpgHeadOffset;
    const uint32_t iconLength = kr::kStoredIconsOffset + 10;
    const uint32_t sdpConfigLength = kr::kStoredProgramsOffset + 3 * 444 + 24 + 252;
    const uint32_t frequency = kr::kStoredFrequencyOffset;
    const uint32_t defaultFrequency = kr::kDefaultSystemFrequency;
    const Case cases[] = {
        {"33 programs", head, {33}, true, -1},
        {"7 icons", head + 5, {7}, true, -1},
        {"33 links", head + 6, {33}, true, -1},
        {"icon longer than its field", iconLength + 1, {0x21}, true, -1},
        {"SDP configuration longer than its field", sdpConfigLength + 1, {0x01}, true, -1},
        {"32 programs", head, {32}, true, 32},
        {"damaged EPG area is emptied", head, {2}, false, 0, defaultFrequency},
        {"no frequency", frequency, {0, 0, 0, 0}, true, 3, defaultFrequency},
        {"erased frequency", frequency, {0xFF, 0xFF, 0xFF, 0xFF}, true, 3, defaultFrequency},
        {"another frequency", frequency, {0x00, 0x07, 0x3B, 0x90}, true, 3, 474000},
        {"name without its NUL", kr::kStoredProgramsOffset + 4, std::vector<uint8_t>(32, 'N'), true,
         3, kFrequency, "NNNNNNNNNNNNNNNNNNNNNNNNNNNNNNN"},
    };
    const Image good = WriteImage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image image = good;
        std::copy(c.bytes.begin(), c.bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(c.offset));
        if (c.reseal) Reseal(image);
        kr::Epg().linkCount = 5;
        StartOn(image);
        if (c.programs < 0) {
            EXPECT_EQ(Current(), nullptr);
            EXPECT_EQ(kr::Epg().linkCount, 5) << "links untouched";
            EXPECT_FALSE(host.HasDebugText("Get stored EPG success."));
            continue;
        }
        ASSERT_NE(Current(), nullptr);
        EXPECT_EQ(Current()->programCount, c.programs);
        EXPECT_EQ(kr::SystemFrequency(), c.frequency);
        if (c.programs > 0) {
            EXPECT_STREQ(Current()->program[0].name, c.name);
        }
    }
}

template <typename Record>
Record Filled() {
    Record record;
    auto* bytes = reinterpret_cast<uint8_t*>(&record);
    for (size_t i = 0; i < sizeof record; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return record;
}

// Records without pointers are stored as they are in memory on every build; a program is so
// on a 32-bit build once its pointers are null and its padding zero.
TEST(StoredRecords, AreTheMemoryBytesOfA32BitTerminal) {
    auto stream = Filled<StreamInfo>();
    const auto link = Filled<ServiceLink>();
    const auto icon = Filled<IconInfo>();
    std::array<uint8_t, kr::kStoredStreamSize> s{};
    std::array<uint8_t, kr::kStoredLinkSize> l{};
    std::array<uint8_t, kr::kStoredIconSize> i{};
    kr::EncodeStream(stream, s);
    kr::EncodeLink(link, l);
    kr::EncodeIcon(icon, i);
    EXPECT_EQ(std::memcmp(s.data(), &stream, s.size()), 0);
    EXPECT_EQ(std::memcmp(l.data(), &link, l.size()), 0);
    EXPECT_EQ(std::memcmp(i.data(), &icon, i.size()), 0);

    ProgramInfo program;
    std::memset(&program, 0, sizeof program);  // padding included
    program.programId = 0x01020304;
    std::memset(program.name, 'n', sizeof program.name);
    program.ca = 1;
    std::memset(program.abstract, 'a', sizeof program.abstract);
    program.media = &stream.media;
    program.sort = 0x0506;
    program.reserved1 = 0x0708;
    program.frequency = 0x090A0B0C;
    std::memset(program.internetLink, 'i', sizeof program.internetLink);
    std::memset(program.epgInfoFile, 'e', sizeof program.epgInfoFile);
    std::array<uint8_t, kr::kStoredProgramSize> p{};
    kr::EncodeProgram(program, p);
    if constexpr (sizeof(void*) == 4) {
        program.media = nullptr;
        EXPECT_EQ(std::memcmp(p.data(), &program, p.size()), 0);
    }
    ProgramInfo back;
    std::memset(&back, 0xAB, sizeof back);
    ASSERT_TRUE(kr::DecodeProgram(p, &back));
    EXPECT_EQ(std::tuple(back.programId, back.sort, back.reserved1, back.frequency),
              std::tuple(program.programId, program.sort, program.reserved1, program.frequency));
    EXPECT_EQ(std::tuple(back.media, back.icon, back.events),
              std::tuple(nullptr, nullptr, nullptr));
    EXPECT_EQ(std::string(back.epgInfoFile), std::string(63, 'e')) << "terminated on load";
}

// The whole module stops and starts again on the host's store: the live EPG is current at once,
// before any broadcast, and the same file arriving again is recognised as the one held.
class StoredEpgRestartTest : public krtest::ModuleTest {};

TEST_F(StoredEpgRestartTest, LiveEpgSurvivesARestartOfTheModule) {
    host.SetStoreSize(kr::kStoreSize);
    ASSERT_EQ(StartModule(), KR_OK);
    LiveEpg* epg = nullptr;
    EXPECT_EQ(kr_T2K_GetLiveEpg(&epg), 1);  // nothing received yet
    const auto container = Container();
    const auto process = [&container] {
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    };
    process();
    FinishModule();

    ASSERT_EQ(StartModule(), KR_OK);
    ASSERT_EQ(kr_T2K_GetLiveEpg(&epg), 0);
    ASSERT_NE(epg, nullptr);
    ASSERT_EQ(epg->programCount, 3);
    EXPECT_EQ(epg->program[2].programId, 103u);
    kr_T2K_SetDebugFlag(0x50, 1);
    process();
    EXPECT_TRUE(host.HasDebugText("Received live EPG."));
}

}  // namespace
}  // namespace stored_epg_test
