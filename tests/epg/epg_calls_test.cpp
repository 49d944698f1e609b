// The host's EPG calls over the double-buffered database, with a host that holds and releases.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "epg/live_epg.h"
#include "support/epg_builder.h"
#include "support/module_fixture.h"

namespace {

using krtest::Bytes;
using krtest::Slot;

std::string LiveFile(int version, uint32_t firstId = 1) {
    return "[LIVE_EPG]\nCOUNT=2\nVERSION=201001" + std::to_string(10 + version) +
           "000000\n[PROGRAM1]\nProgramID=" + std::to_string(firstId) +
           "\n[PROGRAM2]\nProgramID=2\n";
}

class EpgCallsTest : public krtest::ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(StartModule(), 0);
        ASSERT_EQ(kr::kr_EpgInit(), 0);
        kr_T2K_SetDebugFlag(0, 1);
        host.Clear();
    }
    void TearDown() override {
        kr::kr_EpgFinish();
        ModuleTest::TearDown();
    }
    int32_t ParseLive(int version, uint32_t firstId = 1) {
        const auto file = Bytes(LiveFile(version, firstId));
        const auto container = krtest::BuildEpgContainer({{"LiveEPG.txt", file}});
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
        return kr::Epg().currentLive != nullptr ? 1 : 0;
    }
    // Publishes an event EPG with one schedule, as the program EPG parser will.
    kr::EventBuffer* PublishEvent(uint32_t version, uint32_t programId) {
        kr::ModuleLockGuard hold;
        kr::EventBuffer* event = nullptr;
        if (kr::kr_TakeEventBuffer(&event) != 0) return nullptr;
        event->state = kr::kBufferValid;
        event->version = version;
        event->eventCount = 1;
        event->events[0].programId = programId;
        kr::Epg().currentEvent = event;
        kr::Epg().eventUpdated = 1;
        return event;
    }
    // Publishes a download EPG with the given resource ids.
    kr::DownloadBuffer* PublishDownload(std::vector<uint32_t> ids) {
        kr::ModuleLockGuard hold;
        kr::DownloadBuffer* download = nullptr;
        if (kr::kr_TakeDownloadBuffer(&download) != 0) return nullptr;
        download->state = kr::kBufferValid;
        download->epg.resourceCount = static_cast<uint32_t>(ids.size());
        for (size_t i = 0; i < ids.size(); ++i) {
            download->epg.resource[i].programId = ids[i];
            download->epg.resource[i].pid = static_cast<uint16_t>(100 + i);
        }
        kr::Epg().currentDownload = download;
        kr::Epg().downloadUpdated = 1;
        return download;
    }
};

TEST(EpgCallsBeforeInit, RefuseWithTheirMessage) {
    krtest::FakeHost host;
    kr::SetHostCallbacks(krtest::FakeHost::AllSlots());
    kr_T2K_SetDebugFlag(0, 1);
    LiveEpg* live = reinterpret_cast<LiveEpg*>(0x1);
    DownloadEpg* download = reinterpret_cast<DownloadEpg*>(0x1);
    EXPECT_EQ(kr_T2K_GetLiveEpg(&live), KR_NOTHING);
    EXPECT_EQ(live, reinterpret_cast<LiveEpg*>(0x1));
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(live), KR_NOTHING);
    EXPECT_EQ(kr_T2K_GetDownloadEpg(&download), KR_NOTHING);
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(download), KR_NOTHING);
    for (const char* call : {"kr_T2K_GetLiveEpg", "kr_T2K_ReleaseLiveEpg", "kr_T2K_GetDownloadEpg",
                             "kr_T2K_ReleaseDownloadEpg"}) {
        EXPECT_TRUE(host.HasDebugLine(krtest::IndentedLine(
            "--", 2, std::string(call) + "::The KRDB module hasn't been initialized!")))
            << call;
    }
    kr::ResetLogSettings();
    kr::ClearHostCallbacks();
}

TEST(EpgInit, AllocationFailureLeavesNothingBehind) {
    krtest::FakeHost host;
    kr::SetHostCallbacks(krtest::FakeHost::AllSlots());
    kr_T2K_SetDebugFlag(0x50, 1);
    const int64_t before = kr::fault::LiveAllocations();
    for (int32_t n = 1;; ++n) {
        kr::fault::Reset();
        host.Clear();
        kr::fault::FailAllocAt(n);
        const int32_t result = kr::kr_EpgInit();
        if (!kr::fault::Fired()) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(kr::SystemFrequency(), kr::kDefaultSystemFrequency);
            EXPECT_EQ(kr::kr_EpgFinish(), 0);
            break;
        }
        EXPECT_EQ(result, KR_NO_MEMORY) << n;
        EXPECT_TRUE(host.HasDebugText("malloc memory failed!")) << n;
        EXPECT_EQ(kr::fault::LiveAllocations(), before) << n;
        ASSERT_LT(n, 10);
    }
    kr::fault::Reset();
    EXPECT_EQ(kr::fault::LiveAllocations(), before);
    kr::ResetLogSettings();
    kr::ClearHostCallbacks();
}

TEST_F(EpgCallsTest, NothingToHandOutYet) {
    LiveEpg* live = reinterpret_cast<LiveEpg*>(0x1);
    EXPECT_EQ(kr_T2K_GetLiveEpg(&live), KR_NOTHING);
    EXPECT_EQ(live, nullptr);
    DownloadEpg* download = reinterpret_cast<DownloadEpg*>(0x1);
    EXPECT_EQ(kr_T2K_GetDownloadEpg(&download), KR_NOTHING);
    EXPECT_EQ(download, nullptr);
    EXPECT_EQ(kr_T2K_GetLiveEpg(nullptr), KR_NULL_ARG);
    EXPECT_EQ(kr_T2K_GetDownloadEpg(nullptr), KR_NULL_ARG);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(nullptr), KR_NULL_ARG);
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(nullptr), KR_NULL_ARG);
    LiveEpg other{};
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(&other), KR_NOTHING);
}

TEST_F(EpgCallsTest, HeldBufferIsNeverRebuilt) {
    ASSERT_GT(ParseLive(1), 0);
    LiveEpg* first = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&first), 0);
    LiveEpg* again = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&again), 0);
    EXPECT_EQ(again, first);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(first), KR_NOTHING);  // still current

    // A newer file goes into the other buffer while the host reads the first.
    const uint32_t firstVersion = first->version;
    ParseLive(2, 11);
    LiveEpg* second = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&second), 0);
    ASSERT_NE(second, first);
    EXPECT_EQ(second->program[0].programId, 11u);
    EXPECT_EQ(first->version, firstVersion);
    EXPECT_EQ(first->program[0].programId, 1u);

    // One buffer held, the other current: a third file finds no buffer.
    host.Clear();
    ParseLive(3, 21);
    EXPECT_TRUE(host.HasDebugText("No unlock stream EPG."));
    EXPECT_EQ(&kr::Epg().currentLive->epg, second);
    EXPECT_EQ(first->program[0].programId, 1u);

    // Releasing something that is not a live EPG changes nothing.
    LiveEpg* inside = reinterpret_cast<LiveEpg*>(reinterpret_cast<uint8_t*>(first) + 4);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(inside), KR_NOTHING);
    EXPECT_TRUE(host.HasDebugText("** Can't find the live EPG to be released.\r\n"));

    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(first), 0);
    ParseLive(3, 21);
    LiveEpg* third = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&third), 0);
    EXPECT_EQ(third, first);  // the released buffer was reused
    EXPECT_EQ(third->program[0].programId, 21u);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(second), 0);
}

// Clearing the EPG while the host reads it: the held buffers keep their content, the next files
// go elsewhere, and the host's release gives the buffers back.
TEST_F(EpgCallsTest, ClearedEpgLeavesHeldBuffersToTheHost) {
    ASSERT_GT(ParseLive(1), 0);
    LiveEpg* live = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&live), 0);
    kr::DownloadBuffer* download = PublishDownload({5});
    ASSERT_NE(download, nullptr);
    DownloadEpg* held = nullptr;
    ASSERT_EQ(kr_T2K_GetDownloadEpg(&held), 0);

    kr::kr_EpgReset();
    EXPECT_EQ(kr::Epg().currentLive, nullptr);
    EXPECT_EQ(live->programCount, 2u);
    EXPECT_EQ(live->program[0].programId, 1u);
    EXPECT_EQ(held->resourceCount, 1u);

    ParseLive(2, 11);  // the new file takes the free buffer, not the one being read
    ASSERT_NE(kr::Epg().currentLive, nullptr);
    EXPECT_NE(&kr::Epg().currentLive->epg, live);
    EXPECT_EQ(live->program[0].programId, 1u);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(live), 0);

    kr::kr_EpgReset();  // nothing current: the held download buffer is still given back once
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(held), 0);
    EXPECT_EQ(download->state, kr::kBufferFree);
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(held), KR_NOTHING);
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(live), KR_NOTHING);
}

// A host thread fetches, reads and releases while new live files arrive: the parser never writes
// a buffer the host holds (ThreadSanitizer checks the reads below).
TEST_F(EpgCallsTest, HostReadsWhileFilesArrive) {
    std::atomic<bool> stop{false};
    std::atomic<int> fetches{0};
    std::thread hostThread([&] {
        LiveEpg* held = nullptr;
        uint32_t sum = 0;
        while (!stop.load()) {
            LiveEpg* now = nullptr;
            if (kr_T2K_GetLiveEpg(&now) != 0) continue;
            for (int i = 0; i < now->programCount; ++i)
                sum += now->program[i].programId;
            if (held != nullptr && held != now) kr_T2K_ReleaseLiveEpg(held);
            held = now;
            fetches.fetch_add(1);
        }
        EXPECT_GT(sum, 0u);
    });
    for (int round = 0; round < 100000 && (round < 300 || fetches.load() < 10); ++round) {
        ParseLive(1 + round % 2, static_cast<uint32_t>(round + 1));
    }
    stop.store(true);
    hostThread.join();
}

TEST_F(EpgCallsTest, FetchLinksTheEventEpgAndNotifies) {
    ASSERT_GT(ParseLive(1), 0);
    kr::EventBuffer* e1 = PublishEvent(1, 2);
    ASSERT_NE(e1, nullptr);
    kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    ASSERT_EQ(host.CallCount(Slot::EpgUpdateNotify), 1u);
    EXPECT_EQ(host.Calls(Slot::EpgUpdateNotify)[0].words, std::vector<uint32_t>{1});

    LiveEpg* live = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&live), 0);
    EXPECT_EQ(live->eventEpg, e1);
    EXPECT_EQ(e1->state, kr::kBufferHeld);
    EXPECT_EQ(live->program[0].events, nullptr);
    EXPECT_EQ(live->program[1].events, static_cast<void*>(e1->events[0].day));
    EXPECT_EQ(kr::Epg().liveUpdated, 0);
    EXPECT_EQ(kr::Epg().eventUpdated, 0);
    host.Clear();
    kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    EXPECT_EQ(host.CallCount(Slot::EpgUpdateNotify), 0u);

    // Registering null keeps the notifier.
    EXPECT_EQ(kr_T2K_RegisterEpgUpdateNotify(nullptr), KR_NULL_ARG);
    PublishEvent(2, 1);
    kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    EXPECT_EQ(host.CallCount(Slot::EpgUpdateNotify), 1u);
}

// Re-fetching the same live EPG after newer event EPGs must give the replaced event buffer
// back; otherwise the program EPG stops updating after the second one.
TEST_F(EpgCallsTest, RelinkedEventBuffersAreGivenBack) {
    ASSERT_GT(ParseLive(1), 0);
    LiveEpg* live = nullptr;
    for (uint32_t version = 1; version <= 5; ++version) {
        kr::EventBuffer* event = PublishEvent(version, 1);
        ASSERT_NE(event, nullptr) << "no free event buffer for version " << version;
        ASSERT_EQ(kr_T2K_GetLiveEpg(&live), 0);
        EXPECT_EQ(live->eventEpg, event);
        EXPECT_EQ(live->program[0].events, static_cast<void*>(event->events[0].day));
    }
}

// An event buffer still linked by the other live buffer stays held until that one goes back.
TEST_F(EpgCallsTest, EventBufferLinkedByTheOtherLiveBufferStays) {
    ASSERT_GT(ParseLive(1), 0);
    kr::EventBuffer* e1 = PublishEvent(1, 1);
    LiveEpg* a = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&a), 0);
    ParseLive(2);
    LiveEpg* b = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&b), 0);
    EXPECT_EQ(b->eventEpg, e1);

    kr::EventBuffer* e2 = PublishEvent(2, 1);
    ASSERT_EQ(kr_T2K_GetLiveEpg(&b), 0);
    EXPECT_EQ(b->eventEpg, e2);
    EXPECT_EQ(e1->state, kr::kBufferHeld);  // a still links it
    EXPECT_EQ(PublishEvent(3, 1), nullptr);

    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(a), 0);
    EXPECT_EQ(e1->state, kr::kBufferFree);
    EXPECT_EQ(e2->state, kr::kBufferHeld);
    EXPECT_EQ(PublishEvent(3, 1), e1);
}

TEST_F(EpgCallsTest, DownloadEpgProtocolAndLookup) {
    kr::DownloadBuffer* first = PublishDownload({5, 6, 5});
    ASSERT_NE(first, nullptr);
    DownloadEpg* held = nullptr;
    ASSERT_EQ(kr_T2K_GetDownloadEpg(&held), 0);
    EXPECT_EQ(held, &first->epg);
    EXPECT_EQ(first->state, kr::kBufferHeld);
    EXPECT_EQ(kr::Epg().downloadUpdated, 0);
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(held), KR_NOTHING);

    ResourceInfo* found = nullptr;
    EXPECT_EQ(kr::kr_FindResource(5, &found), 1);
    EXPECT_EQ(found, &first->epg.resource[0]);
    EXPECT_EQ(kr::kr_FindResource(7, &found), -1);
    EXPECT_EQ(found, nullptr);

    kr::DownloadBuffer* second = PublishDownload({8});
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(PublishDownload({9}), nullptr);  // one held, one current
    EXPECT_EQ(kr::kr_FindResource(5, &found), -1);
    DownloadEpg bogus{};
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(&bogus), KR_NOTHING);
    EXPECT_TRUE(host.HasDebugText("Can't find the download EPG to be released."));
    EXPECT_EQ(kr_T2K_ReleaseDownloadEpg(held), 0);
    EXPECT_EQ(first->state, kr::kBufferFree);
    EXPECT_EQ(first->epg.resourceCount, 0u);
}

TEST_F(EpgCallsTest, FindStreamReturnsTheFirstMatch) {
    StreamInfo* stream = nullptr;
    EXPECT_EQ(kr::kr_FindStream(2, &stream), -1);
    ASSERT_GT(ParseLive(1, 2), 0);  // both programs have id 2
    ASSERT_EQ(kr::kr_FindStream(2, &stream), 1);
    EXPECT_EQ(stream, &kr::Epg().currentLive->epg.stream[0]);
    EXPECT_EQ(kr::kr_FindStream(3, &stream), -1);
}

TEST_F(EpgCallsTest, SystemFrequency) {
    EXPECT_EQ(kr_T2K_SetSystemFreq(714000), 0);
    EXPECT_EQ(kr::SystemFrequency(), 714000u);
    EXPECT_TRUE(host.HasDebugText("Set system frequency: 714000."));
}

}  // namespace
