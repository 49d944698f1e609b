#include "epg/epg_container.h"

#include <gtest/gtest.h>

#include <string>

#include "core/byte_order.h"
#include "epg/epg_fixture.h"

namespace epg_container_test {
namespace {

using krtest::Bytes;
using krtest::EpgFile;

const char* const kLive =
    "[LIVE_EPG]\nCOUNT=2\nVERSION=20100101000000\n[PROGRAM1]\nProgramID=7\n"
    "[PROGRAM2]\nProgramID=8\n";
const char* const kOtherLive =
    "[LIVE_EPG]\nCOUNT=1\nVERSION=20100202000000\n[PROGRAM1]\nProgramID=9\n";

EpgFile Icon(uint32_t id, size_t size = 16) {
    return {"ico\\" + std::to_string(id) + ".bmp",
            std::vector<uint8_t>(size, static_cast<uint8_t>(id))};
}

class ContainerTest : public krtest::EpgTest {
  protected:
    int32_t Process(const std::vector<uint8_t>& container) {
        return kr::kr_ProcessEpgContainer(container.data(),
                                          static_cast<uint32_t>(container.size()));
    }
    LiveEpg& Current() { return kr::Epg().currentLive->epg; }
};

TEST_F(ContainerTest, LiveFileIsParsedFirstWhateverTheOrder) {
    const auto container = krtest::BuildEpgContainer({
        Icon(7),
        {"FileEPG.txt", Bytes("[FILE_EPG]\nCOUNT=1\n")},
        {"LiveEPG.txt", Bytes(kLive)},
        {"ico\\ico.ini", Bytes("[ICO]\n")},
        {"ProgramEPG.txt", Bytes("[Program_EPG]\nCOUNT=1\n")},
    });
    ASSERT_EQ(Process(container), 1);
    ASSERT_NE(kr::Epg().currentLive, nullptr);
    EXPECT_EQ(kr::Epg().liveUpdated, 1);
    // A COUNT without sections still publishes an (empty) download and event EPG.
    EXPECT_EQ(kr::Epg().downloadUpdated, 1);
    EXPECT_EQ(kr::Epg().eventUpdated, 1);
    ASSERT_NE(kr::Epg().currentDownload, nullptr);
    EXPECT_EQ(kr::Epg().currentDownload->epg.root, nullptr);
    // The icon came before the live file in the directory and still lands in the new live EPG.
    const LiveEpg& epg = Current();
    ASSERT_EQ(epg.iconCount, 1);
    EXPECT_EQ(epg.icons[0].iconId, 7u);
    EXPECT_EQ(epg.icons[0].image.length, 16);
    EXPECT_EQ(epg.icons[0].image.data[15], 7);
    EXPECT_EQ(epg.program[0].icon, &epg.icons[0].image);
    EXPECT_EQ(epg.program[1].icon, nullptr);
}

TEST_F(ContainerTest, IconRules) {
    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}})), 1);
    // Eight icons: six are stored. Other directories, extensions and oversized files are not.
    std::vector<EpgFile> files = {
        {"img\\8.bmp", {1}}, {"ico\\8.png", {1}}, Icon(8, 8193), {"ico\\ico.ini", {1}}};
    for (uint32_t id = 1; id <= 8; ++id)
        files.push_back(Icon(id == 2 ? 8 : id + 10));
    ASSERT_EQ(Process(krtest::BuildEpgContainer(files)), 1);
    const LiveEpg& epg = Current();
    ASSERT_EQ(epg.iconCount, 5);  // the oversized icon took one of the six places
    EXPECT_EQ(epg.icons[0].iconId, 11u);
    EXPECT_EQ(epg.icons[1].iconId, 8u);
    EXPECT_EQ(epg.program[1].icon, &epg.icons[1].image);
    EXPECT_EQ(epg.program[0].icon, nullptr);
}

// A live EPG the host holds is read in place and never written: new icons for an unchanged live
// EPG arrive in a copy that waits for the host's next fetch, icons it already has make none,
// and the copy never costs the next live file its buffer.
TEST_F(ContainerTest, IconsForAnUnchangedLiveEpgNeverWriteTheHeldOne) {
    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}, Icon(7)})), 1);
    kr::LiveBuffer* held = kr::Epg().currentLive;
    held->state = kr::kBufferHeld;  // as the host's fetch leaves it
    kr::Epg().liveUpdated = 0;

    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}, Icon(7)})), 1);
    EXPECT_EQ(kr::Epg().currentLive, held);
    EXPECT_EQ(kr::Epg().pendingLive, nullptr);
    EXPECT_EQ(kr::Epg().liveUpdated, 0);

    auto changed = Icon(7);
    changed.bytes.assign(20, 0x55);
    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}, changed})), 1);
    EXPECT_EQ(kr::Epg().currentLive, held);
    ASSERT_NE(kr::Epg().pendingLive, nullptr);
    EXPECT_EQ(kr::Epg().liveUpdated, 1);
    EXPECT_EQ(held->epg.icons[0].image.length, 16);
    EXPECT_EQ(held->epg.icons[0].image.data[0], 7);
    const LiveEpg& copy = kr::Epg().pendingLive->epg;
    EXPECT_EQ(copy.programCount, 2);
    EXPECT_EQ(copy.programs, copy.program);
    EXPECT_EQ(copy.program[0].media, &copy.stream[0].media);
    EXPECT_EQ(copy.program[0].icon, &copy.icons[0].image);
    EXPECT_EQ(copy.icons[0].image.data[0], 0x55);

    // A new live file takes the pending copy's buffer.
    host.Clear();
    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kOtherLive)}})), 1);
    EXPECT_FALSE(host.HasDebugText("No unlock stream EPG."));
    EXPECT_EQ(kr::Epg().pendingLive, nullptr);
    EXPECT_EQ(Current().program[0].programId, 9u);

    // With both buffers held the icons are dropped, and said to be.
    kr::Epg().currentLive->state = kr::kBufferHeld;
    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kOtherLive)}, changed})), 1);
    EXPECT_TRUE(host.HasDebugText("No unlock stream EPG, icons dropped."));
    EXPECT_EQ(Current().iconCount, 0);
}

TEST_F(ContainerTest, EntriesAfterSixIconsAreSkipped) {
    std::vector<EpgFile> files;
    for (uint32_t id = 1; id <= 6; ++id)
        files.push_back(Icon(id));
    files.push_back({"LiveEPG.txt", Bytes(kLive)});
    ASSERT_EQ(Process(krtest::BuildEpgContainer(files)), 1);
    EXPECT_EQ(kr::Epg().currentLive, nullptr);  // no live EPG: the icons are dropped too
    EXPECT_EQ(kr::Epg().liveUpdated, 0);
}

TEST_F(ContainerTest, IconNames) {
    struct Case {
        const char* name;
        int32_t result;
        uint32_t number;
    };
    const Case cases[] = {
        {"ico\\7.bmp", 0, 7},
        {"ico\\0123.bmp", 0, 123},
        {"ico\\x.bmp", 0, 0},
        {"ICO\\7.bmp", -7, 0},
        {"ico\\7.BMP", -7, 0},
        {"a\\ico\\7.bmp", -7, 0},
        {"ico\\7.bmp.bak", -7, 0},
        {"ico7.bmp", -7, 0},
        {"ico\\.bmp", -7, 0},
        {"ico\\1234567890123.bmp", -7, 0},
        {"ico\\7.", -7, 0},
        {"\\7.bmp", -7, 0},
        // Parts longer than their fields are refused, not cut.
        {"ico\\12345678901.bmpX", -7, 0},
        {"0123456789abcdef\\7.bmp", -7, 0},
    };
    for (const Case& c : cases) {
        uint32_t number = 0;
        EXPECT_EQ(kr::kr_ParseIconName(c.name, &number), c.result) << c.name;
        EXPECT_EQ(number, c.number) << c.name;
    }
}

TEST_F(ContainerTest, BadMagicProcessesNothing) {
    auto container = krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}});
    container[0] ^= 1;
    EXPECT_EQ(Process(container), -2);
    EXPECT_EQ(kr::Epg().currentLive, nullptr);
    EXPECT_EQ(kr::kr_ProcessEpgContainer(container.data(), 3), -2);
    EXPECT_EQ(kr::kr_ProcessEpgContainer(nullptr, 0), -2);
}

// Every directory entry and file must lie inside the bytes that arrived; an entry that does
// not is skipped and the others still count.
TEST_F(ContainerTest, EntriesOutsideTheReceivedBytesAreSkipped) {
    const auto good = krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}});
    EXPECT_EQ(kr::kr_ProcessEpgContainer(good.data(), static_cast<uint32_t>(good.size()) - 1), 1);
    EXPECT_EQ(kr::Epg().currentLive, nullptr) << "the live file is cut short";

    // The file count is at 9; the first entry starts at 13 with its name length, 11 name bytes,
    // then the offset at 13 + 15 and the length at 13 + 19.
    struct Case {
        const char* what;
        uint32_t at;
        uint32_t value;
        bool liveRead;
    };
    const Case cases[] = {
        {"a first entry claiming a huge file", 13 + 19, 0x7FFFFFFF, false},
        {"an offset that wraps past the end", 13 + 15, 0xFFFFFFFF, false},
        {"a name length beyond the data", 13, 0x7F000000, false},
        {"a huge file count", 9, 0xFF000000, true},  // the real first entry is still read
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kr::kr_EpgReset();
        auto container = krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kOtherLive)}, Icon(9)});
        kr::WriteLe32(container.data(), c.at, c.value);
        EXPECT_EQ(Process(container), 1);
        EXPECT_EQ(kr::Epg().currentLive != nullptr, c.liveRead);
    }
}

TEST_F(ContainerTest, NotifiesEachChangedKind) {
    std::vector<uint32_t> calls;
    static std::vector<uint32_t>* sink = nullptr;
    sink = &calls;
    kr::SetEpgUpdateNotify([](uint32_t what) -> int32_t {
        sink->push_back(what);
        return 0;
    });
    kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(Process(krtest::BuildEpgContainer({{"LiveEPG.txt", Bytes(kLive)}})), 1);
    kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    kr::Epg().downloadUpdated = 1;
    kr::kr_NotifyEpgUpdate(5);
    EXPECT_EQ(calls, (std::vector<uint32_t>{1, 5, 1, 2}));
    // The changes taken when a parse ended are announced even if the EPG was cleared since.
    const uint32_t changes = kr::PendingEpgChanges();
    kr::kr_EpgReset();
    calls.clear();
    kr::NotifyEpgChanges(0xFFFFFFFFu, changes);
    EXPECT_EQ(calls, (std::vector<uint32_t>{1, 2}));
    kr::SetEpgUpdateNotify(nullptr);
}

}  // namespace
}  // namespace epg_container_test
