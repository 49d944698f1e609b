#include "epg/stored_epg.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <tuple>
#include <vector>

#include "core/byte_order.h"
#include "core/checksum.h"
#include "core/date.h"
#include "epg/epg_container.h"
#include "epg/epg_fixture.h"
#include "epg/live_epg.h"
#include "epg/stored_records.h"
#include "store/store.h"
#include "support/epg_builder.h"
#include "support/module_fixture.h"

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

// Field by field; of the pointers (into each EPG's own buffer) only whether they are set.
void ExpectSameLiveEpg(const LiveEpg& a, const LiveEpg& b) {
    ASSERT_EQ(a.programCount, b.programCount);
    EXPECT_EQ(a.version, b.version);
    ASSERT_EQ(a.iconCount, b.iconCount);
    for (int i = 0; i < a.programCount; ++i) {
        SCOPED_TRACE(i);
        const ProgramInfo& p = a.program[i];
        const ProgramInfo& q = b.program[i];
        EXPECT_EQ(p.programId, q.programId);
        EXPECT_STREQ(p.name, q.name);
        EXPECT_EQ(p.ca, q.ca);
        EXPECT_STREQ(p.abstract, q.abstract);
        EXPECT_EQ(p.sort, q.sort);
        EXPECT_EQ(p.frequency, q.frequency);
        EXPECT_STREQ(p.internetLink, q.internetLink);
        EXPECT_STREQ(p.epgInfoFile, q.epgInfoFile);
        EXPECT_EQ(std::memcmp(&a.stream[i], &b.stream[i], sizeof(StreamInfo)), 0);
        EXPECT_EQ(q.media, &b.stream[i].media);
        EXPECT_EQ(p.icon == nullptr, q.icon == nullptr);
        for (int k = 0; k < b.iconCount; ++k) {
            if (q.icon == &b.icons[k].image) {
                EXPECT_EQ(b.icons[k].iconId, q.programId);
            }
        }
    }
    for (int k = 0; k < a.iconCount; ++k)
        EXPECT_EQ(std::memcmp(&a.icons[k], &b.icons[k], sizeof(IconInfo)), 0) << k;
}

TEST_F(StoredEpgTest, LiveEpgComesBackAfterARestart) {
    // The first start formats the empty store: nothing to load yet.
    kr::kr_StoreInit();
    Restart();
    EXPECT_EQ(Current(), nullptr);
    EXPECT_TRUE(host.HasDebugText("Get system freq ..."));
    EXPECT_FALSE(host.HasDebugText("Get program version ..."));

    const auto container = Container();
    ASSERT_EQ(kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size())),
              1);
    ASSERT_NE(Current(), nullptr);
    const LiveEpg before = *Current();
    ASSERT_EQ(before.programCount, 3);
    ASSERT_EQ(before.iconCount, 2);
    ASSERT_EQ(kr::Epg().linkCount, 2);
    ServiceLink links[kr::kMaxLinks];
    std::memcpy(links, kr::Epg().serviceLinks, sizeof links);
    EXPECT_TRUE(host.HasDebugText("Store stream EPG success"));

    std::memset(kr::Epg().serviceLinks, 0, sizeof kr::Epg().serviceLinks);
    kr::Epg().linkCount = 0;
    Restart();
    ASSERT_NE(Current(), nullptr);
    EXPECT_TRUE(host.HasDebugText("Get stored EPG success."));
    ExpectSameLiveEpg(before, *Current());
    EXPECT_EQ(Current()->programs, Current()->program);
    EXPECT_EQ(Current()->eventEpg, nullptr);
    EXPECT_NE(Current()->program[0].icon, nullptr);
    EXPECT_NE(Current()->program[2].icon, nullptr);
    ASSERT_EQ(kr::Epg().linkCount, 2);
    EXPECT_EQ(std::memcmp(links, kr::Epg().serviceLinks, 2 * sizeof(ServiceLink)), 0);
}

TEST_F(StoredEpgTest, ImageIsTheSameOnEveryBuild) {
    const Image written = WriteImage();
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

    // Loaded by this build, and saved again unchanged.
    StartOn(image);
    ASSERT_NE(Current(), nullptr);
    EXPECT_EQ(kr::SystemFrequency(), kFrequency);
    EXPECT_EQ(Current()->programCount, 3);
    EXPECT_STREQ(Current()->program[0].name, "MorningNews");
    EXPECT_EQ(Current()->stream[1].media.pid.pids[1], 482);
    EXPECT_EQ(Current()->icons[0].image.length, 8192);
    EXPECT_EQ(Current()->program[0].icon, &Current()->icons[1].image);
    EXPECT_EQ(Current()->program[2].icon, &Current()->icons[0].image);
    EXPECT_STREQ(kr::Epg().serviceLinks[0].epgInfoFile, "other.txt");
    EXPECT_EQ(kr::kr_SaveLiveEpg(kr::Epg().currentLive), 0);
    EXPECT_TRUE(host.StoreContents() == image) << "a loaded EPG saved again changes the store";
    EXPECT_EQ(kr::kr_SaveLiveEpg(nullptr), -2);
}

TEST_F(StoredEpgTest, UnusableStoredEpgLeavesNoLiveEpg) {
    struct Case {
        const char* what;
        uint32_t offset;
        uint8_t value;
        bool reseal;
        int32_t programs;  // -1 = nothing loaded
    };
    const uint32_t head = kr::kStoredEpgHeadOffset;
    const uint32_t iconLength = kr::kStoredIconsOffset + 10;
    const uint32_t sdpConfigLength = kr::kStoredProgramsOffset + 3 * 444 + 24 + 252;
    const Case cases[] = {
        {"33 programs", head, 33, true, -1},
        {"7 icons", head + 5, 7, true, -1},
        {"33 links", head + 6, 33, true, -1},
        {"icon longer than its field", iconLength + 1, 0x21, true, -1},
        {"SDP configuration longer than its field", sdpConfigLength + 1, 0x01, true, -1},
        {"32 programs", head, 32, true, 32},
        {"damaged EPG area is emptied", head, 2, false, 0},
    };
    const Image good = WriteImage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image image = good;
        image[c.offset] = c.value;
        if (c.reseal) Reseal(image);
        kr::Epg().linkCount = 5;
        StartOn(image);
        if (c.programs < 0) {
            EXPECT_EQ(Current(), nullptr);
            EXPECT_EQ(kr::Epg().linkCount, 5) << "links untouched";
            EXPECT_FALSE(host.HasDebugText("Get stored EPG success."));
        } else {
            ASSERT_NE(Current(), nullptr);
            EXPECT_EQ(Current()->programCount, c.programs);
        }
    }
}

TEST_F(StoredEpgTest, FrequencyAndTextsFromAForeignStore) {
    const Image good = WriteImage();
    struct Case {
        uint32_t stored;
        uint32_t expected;
    };
    for (const Case c : {Case{0, kr::kDefaultSystemFrequency},
                         Case{0xFFFFFFFFu, kr::kDefaultSystemFrequency}, Case{474000, 474000}}) {
        SCOPED_TRACE(c.stored);
        Image image = good;
        kr::WriteBe32(image.data(), kr::kStoredFrequencyOffset, c.stored);
        // A name without its terminating NUL.
        std::memset(image.data() + kr::kStoredProgramsOffset + 4, 'N', 32);
        Reseal(image);
        StartOn(image);
        EXPECT_EQ(kr::SystemFrequency(), c.expected);
        ASSERT_NE(Current(), nullptr);
        EXPECT_EQ(std::string(Current()->program[0].name), std::string(31, 'N'));
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

    const auto container = krtest::BuildEpgContainer(
        {{"LiveEPG.txt", krtest::Bytes("[LIVE_EPG]\nCOUNT=2\nVERSION=20100110120000\n"
                                       "[PROGRAM1]\nProgramID=7\nProgramName=News\n"
                                       "[PROGRAM2]\nProgramID=9\nProgramName=Sport\n")}});
    {
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    }
    FinishModule();

    ASSERT_EQ(StartModule(), KR_OK);
    ASSERT_EQ(kr_T2K_GetLiveEpg(&epg), 0);
    ASSERT_NE(epg, nullptr);
    ASSERT_EQ(epg->programCount, 2);
    EXPECT_EQ(epg->program[0].programId, 7u);
    EXPECT_EQ(std::string(epg->program[1].name), "Sport");
    EXPECT_EQ(epg->version, kr::kr_ParseVersionStamp("20100110120000"));

    kr_T2K_SetDebugFlag(0x50, 1);
    {
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
    }
    EXPECT_TRUE(host.HasDebugText("Received live EPG."));
}

}  // namespace
