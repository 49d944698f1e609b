// The whole road through the exported interface: system information caught by the shared
// filter on PID 0x1FFE, the EPG filter set on the announced destination, blocks through the SYS
// worker, the container parsed and the host notified.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>
#include <krmodule/krmodule_ext.h>

#include <array>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "intake/request_table.h"
#include "support/epg_builder.h"
#include "support/intake_fixture.h"
#include "sysinfo/sysinfo_fixture.h"
#include "sysinfo/sysinfo_state.h"

namespace {

using namespace krtest;

constexpr uint16_t kEpgPid = 0x0100;

std::array<uint8_t, 3> Status() {
    std::array<uint8_t, 3> status = {0xEE, 0xEE, 0xEE};
    kr_T2K_GetKrdbStatus(status.data());
    return status;
}

class SysinfoTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(StartModule(64), KR_OK);
        kr_T2K_SetDebugFlag(0x20, 1);  // system information, every level
        sysinfoHostId = HostRequestFor(kr::kSysinfoPid, 1);
        ASSERT_NE(sysinfoHostId, 0u);
    }

    // The id of the nth filter the host was asked to start on pid, once the host was asked and
    // the module takes sections for it.
    uint32_t HostRequestFor(uint16_t pid, size_t nth) {
        uint32_t id = 0;
        host.WaitFor([&] {
            size_t seen = 0;
            for (const HostCall& call : host.Calls(Slot::SetSectionFilter)) {
                if (call.filter.pid == pid && ++seen == nth) id = call.words[0];
            }
            kr::RequestEntry* entry = nullptr;
            return id != 0 && kr::FindRequest(id, &entry) == 0;
        });
        return id;
    }

    void Announce(const SysinfoAnnouncement& a) {
        ASSERT_EQ(Deliver(sysinfoHostId, SysinfoSection(a)), 0);
    }
    // Announces a download and returns the id of the nth EPG filter it makes the host start.
    uint32_t AnnounceDownload(const SysinfoAnnouncement& a, size_t nth) {
        Announce(a);
        return HostRequestFor(kEpgPid, nth);
    }
    // Announces a message after what was sent before and waits until it is shown: the SYS worker
    // has handled everything before it.
    void AnnounceMarker(const std::string& text, size_t shownBefore) {
        SysinfoAnnouncement marker;
        marker.message = text;
        Announce(marker);
        ASSERT_TRUE(host.WaitForCalls(Slot::ShowMessage, shownBefore + 1));
    }
    void SendBlocks(uint32_t hostId, const SysinfoAnnouncement& to,
                    const std::vector<std::vector<uint8_t>>& payloads) {
        for (const auto& payload : payloads)
            ASSERT_EQ(Deliver(hostId, BlockSection(to, payload)), 0);
    }
    bool WaitForStatus(uint8_t downloading, uint8_t percent) {
        return host.WaitFor([&] {
            const auto s = Status();
            return s[1] == downloading && (downloading == 0 || s[2] == percent);
        });
    }
    bool WaitForLiveNotify(size_t count) {
        return host.WaitFor([&] {
            size_t n = 0;
            for (const HostCall& call : host.Calls(Slot::EpgUpdateNotify))
                n += call.words[0] == KR_EPG_LIVE_CHANGED ? 1u : 0u;
            return n >= count;
        });
    }
    static LiveEpg* Live() {
        LiveEpg* live = nullptr;
        EXPECT_EQ(kr_T2K_GetLiveEpg(&live), KR_OK);
        return live;
    }
    size_t LinesWith(const std::string& text) const {
        size_t n = 0;
        for (const std::string& line : host.DebugLines())
            n += line.find(text) != std::string::npos ? 1u : 0u;
        return n;
    }

    uint32_t sysinfoHostId = 0;
};

// The status counts received blocks, not bytes: the sample's last block is a short one.
TEST_F(SysinfoTest, DownloadsTheAnnouncedEpgAndNotifiesTheHost) {
    EXPECT_EQ(Status(), (std::array<uint8_t, 3>{0, 0, 0xEE}));
    // The system-information filter: PID 0x1FFE, its destination checked by the module.
    const HostCall sysFilter = host.Calls(Slot::SetSectionFilter).front();
    EXPECT_EQ(sysFilter.filter.pid, 0x1FFE);
    EXPECT_EQ(sysFilter.filter.match[0], 0x3E);

    const SysinfoAnnouncement a;
    // A datagram to the same destination without the magic never reaches the worker.
    std::vector<uint8_t> noMagic = BuildSysinfoPayload(a);
    noMagic[1] = 0;
    EXPECT_EQ(Deliver(sysinfoHostId, SysinfoSection(noMagic)), 0);
    const uint32_t epgHostId = AnnounceDownload(a, 1);
    ASSERT_NE(epgHostId, 0u);
    EXPECT_EQ(host.Calls(Slot::SetSectionFilter).back().filter.match[0], 0x3E);
    ASSERT_TRUE(WaitForStatus(1, 0));
    EXPECT_EQ(Status()[0], 1);
    EXPECT_EQ(LinesWith("Invalid sysinfo header"), 0u);

    const auto blocks = SplitIntoBlocks(SampleContainer());
    ASSERT_EQ(blocks.size(), 4u);
    SendBlocks(epgHostId, a, {blocks[3]});
    ASSERT_TRUE(WaitForStatus(1, 25));
    // A repeat is not counted again, nor is data that is not multicast.
    SendBlocks(epgHostId, a, {blocks[0], blocks[0], BuildBlockPayload({2, 2, 4, {1, 2, 3}, {}})});
    ASSERT_TRUE(WaitForStatus(1, 50));
    EXPECT_TRUE(host.WaitForDebugText("Not the multicast data."));
    SendBlocks(epgHostId, a, {blocks[2]});
    ASSERT_TRUE(WaitForStatus(1, 75));
    SendBlocks(epgHostId, a, {blocks[1]});

    ASSERT_TRUE(WaitForLiveNotify(1));
    EXPECT_TRUE(host.HasDebugText("EPG blocks has been already received."));
    EXPECT_TRUE(WaitForStatus(0, 0));
    EXPECT_EQ(Status()[2], 0xEE);  // no download: left as the caller had it
    // The download's host filter is stopped; system information's stays.
    ASSERT_TRUE(host.WaitFor([&] {
        for (const HostCall& call : host.Calls(Slot::StopSectionFilter))
            if (call.words[0] == epgHostId) return true;
        return false;
    }));
    EXPECT_NE(Deliver(epgHostId, BlockSection(a, blocks[0])), 0);

    const LiveEpg* live = Live();
    ASSERT_NE(live, nullptr);
    ASSERT_EQ(live->programCount, 4);                 // the sample announces five and carries four
    EXPECT_STREQ(live->program[0].name, "CityNews");  // values lose their blanks
    EXPECT_EQ(live->program[0].programId, 1001u);
    // Three icons: the third program has none, the fourth the last one.
    EXPECT_EQ(live->iconCount, 3);
    EXPECT_NE(live->program[0].icon, nullptr);
    EXPECT_EQ(live->program[2].icon, nullptr);
    EXPECT_EQ(live->program[3].icon, &live->icons[2].image);
    uint8_t links = 0;
    EXPECT_EQ(kr_T2K_GetServiceInfoLink(&links, nullptr), KR_OK);
    EXPECT_EQ(links, 1);
}

// What a terminal reading a recording relies on: once the module says it caught up, the
// destination a section added to a shared filter takes the next section, and an EPG whose last
// block was handed over is parsed, stored and announced. No other wait is needed.
TEST_F(SysinfoTest, CaughtUpMeansTheSharedDestinationAndTheEpgAreInPlace) {
    SysinfoAnnouncement a;
    a.epgPid = kr::kSysinfoPid;  // the EPG shares the filter already running on that PID
    const size_t filtersBefore = host.CallCount(Slot::SetSectionFilter);
    Announce(a);
    ASSERT_EQ(krx_WaitCaughtUp(10000), 0);
    EXPECT_EQ(host.CallCount(Slot::SetSectionFilter), filtersBefore) << "no new host filter";
    EXPECT_EQ(Status()[1], 1) << "downloading";

    for (const auto& block : SplitIntoBlocks(SampleContainer())) {
        ASSERT_EQ(Deliver(sysinfoHostId, BlockSection(a, block)), 0)
            << "the destination takes blocks at once";
        ASSERT_EQ(krx_WaitCaughtUp(10000), 0);
    }
    size_t notices = 0;
    for (const HostCall& call : host.Calls(Slot::EpgUpdateNotify))
        notices += call.words[0] == KR_EPG_LIVE_CHANGED ? 1u : 0u;
    EXPECT_EQ(notices, 1u);
    EXPECT_EQ(Status()[1], 0) << "the download ended";
    const LiveEpg* live = Live();
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live->programCount, 4);

    // Nothing given: caught up at once. Not running: -1.
    EXPECT_EQ(krx_WaitCaughtUp(0), 0);
    FinishModule();
    EXPECT_EQ(krx_WaitCaughtUp(10), -1);
}

// A notifier may wait for a thread of the host's that fetches the new EPG: the library holds
// no lock while it calls the notifier.
std::atomic<int32_t> fetchedPrograms{-100};
int32_t FetchOnAnotherThread(uint32_t what) {
    if (what != KR_EPG_LIVE_CHANGED) return 0;
    std::thread reader([] {
        LiveEpg* live = nullptr;
        if (kr_T2K_GetLiveEpg(&live) == KR_OK && live != nullptr) {
            fetchedPrograms = live->programCount;
        } else {
            fetchedPrograms = -1;
        }
    });
    reader.join();
    return 0;
}

TEST_F(SysinfoTest, NotifierMayWaitForAThreadThatFetchesTheEpg) {
    fetchedPrograms = -100;
    ASSERT_EQ(kr_T2K_RegisterEpgUpdateNotify(FetchOnAnotherThread), KR_OK);
    const SysinfoAnnouncement a;
    const uint32_t epgHostId = AnnounceDownload(a, 1);
    ASSERT_NE(epgHostId, 0u);
    SendBlocks(epgHostId, a, SplitIntoBlocks(SampleContainer()));
    EXPECT_TRUE(host.WaitFor([] { return fetchedPrograms.load() == 4; }));
}

// The same announcement neither restarts a running download nor fetches a held EPG again;
// clearing the EPG stops a download, forgets a held EPG, and the next announcement starts anew.
TEST_F(SysinfoTest, RepeatedAnnouncementsStartNothingUntilTheEpgIsCleared) {
    const SysinfoAnnouncement a;
    const uint32_t firstHostId = AnnounceDownload(a, 1);
    ASSERT_NE(firstHostId, 0u);
    const auto blocks = SplitIntoBlocks(SampleContainer());
    SendBlocks(firstHostId, a, {blocks[0]});
    ASSERT_TRUE(WaitForStatus(1, 25));
    Announce(a);
    Announce(a);
    AnnounceMarker("running", 0);
    EXPECT_EQ(FiltersFor(host, kEpgPid), 1u);

    EXPECT_EQ(kr_T2K_ClearEpg(), KR_OK);
    EXPECT_EQ(Status()[1], 0);
    EXPECT_TRUE(host.HasDebugText("Clear EPG ..."));
    EXPECT_EQ(host.Calls(Slot::StopSectionFilter).back().words[0], firstHostId);

    const uint32_t secondHostId = AnnounceDownload(a, 2);
    ASSERT_NE(secondHostId, 0u);
    SendBlocks(secondHostId, a, blocks);
    ASSERT_TRUE(WaitForLiveNotify(1));
    LiveEpg* live = Live();
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(live->programCount, 4);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(live), 1);  // still current
    Announce(a);
    AnnounceMarker("held", 1);
    EXPECT_EQ(FiltersFor(host, kEpgPid), 2u);
    EXPECT_EQ(LinesWith("Set EPG filter"), 2u);

    EXPECT_EQ(kr_T2K_ClearEpg(), KR_OK);
    live = reinterpret_cast<LiveEpg*>(1);
    EXPECT_EQ(kr_T2K_GetLiveEpg(&live), 1);
    EXPECT_EQ(live, nullptr);
    EXPECT_NE(AnnounceDownload(a, 3), 0u);
}

TEST_F(SysinfoTest, NewVersionRestartsTheDownload) {
    SysinfoAnnouncement first;
    const uint32_t firstHostId = AnnounceDownload(first, 1);
    ASSERT_NE(firstHostId, 0u);
    const auto oldBlocks = SplitIntoBlocks(SampleContainer());
    SendBlocks(firstHostId, first, {oldBlocks[0]});
    ASSERT_TRUE(WaitForStatus(1, 25));

    SysinfoAnnouncement second;
    second.versionStamp = "20261207060000";
    second.epgPort = 8202;
    const uint32_t secondHostId = AnnounceDownload(second, 2);
    ASSERT_NE(secondHostId, 0u);
    EXPECT_TRUE(host.HasDebugText("Stop Epg download"));
    // The old destination is no longer received.
    EXPECT_NE(Deliver(firstHostId, BlockSection(first, oldBlocks[1])), 0);
    ASSERT_TRUE(WaitForStatus(1, 0));

    const auto file = Bytes(
        "[LIVE_EPG]\nCOUNT=1\nVERSION=20261207060000\n[PROGRAM1]\nProgramID=7\n"
        "ProgramName=Second\n");
    const auto newBlocks = SplitIntoBlocks(BuildEpgContainer({{"LiveEPG.txt", file}}));
    ASSERT_EQ(newBlocks.size(), 1u);
    SendBlocks(secondHostId, second, newBlocks);
    ASSERT_TRUE(WaitForLiveNotify(1));
    const LiveEpg* live = Live();
    ASSERT_NE(live, nullptr);
    ASSERT_EQ(live->programCount, 1);
    EXPECT_STREQ(live->program[0].name, "Second");
}

// Start-up does not fail when the host refuses the system-information filter.
class SysinfoRefusedTest : public ModuleTest {};

TEST_F(SysinfoRefusedTest, StartUpGoesOnWithoutTheFilter) {
    host.SetFilterResult(-1);
    ASSERT_EQ(StartModule(16), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Set system info filter faild!"));
    EXPECT_EQ(kr::RequestsInUse(), 0);
}

}  // namespace
