// The host's EPG calls over the double-buffered database, with a host that holds and releases;
// and what it reaches through them after containers with the sample files arrive.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "core/platform.h"
#include "epg/epg_fixture.h"
#include "epg/live_epg.h"
#include "support/module_fixture.h"

namespace {

using krtest::Bytes;
using krtest::Child;

std::string LiveFile(int version, uint32_t firstId = 1) {
    return "[LIVE_EPG]\nCOUNT=2\nVERSION=201001" + std::to_string(10 + version) +
           "000000\n[PROGRAM1]\nProgramID=" + std::to_string(firstId) +
           "\n[PROGRAM2]\nProgramID=2\n";
}

std::string Schedule(int version, uint32_t programId) {
    return "[Program_EPG]\nCOUNT=1\nVERSION=201001" + std::to_string(10 + version) +
           "000000\n[PROGRAM1]\nProgramID=" + std::to_string(programId) + "\nDay1=day " +
           std::to_string(version) + "\nContent1=schedule " + std::to_string(version) + "\n";
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
    // The files arrive in a container, as the download worker hands them over.
    void Process(const std::vector<krtest::EpgFile>& files) {
        kr::ModuleLockGuard hold;
        krtest::ProcessContainer(files);
    }
    void Arrive(const char* name, const std::string& text) { Process({{name, Bytes(text)}}); }
    // What a notice sent now announces to the host.
    std::vector<uint32_t> Notified() {
        host.Clear();
        kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
        std::vector<uint32_t> out;
        for (const auto& call : host.Calls(krtest::Slot::EpgUpdateNotify))
            out.push_back(call.words.at(0));
        return out;
    }
    int32_t ParseLive(int version, uint32_t firstId = 1) {
        Arrive("LiveEPG.txt", LiveFile(version, firstId));
        return kr::Epg().currentLive != nullptr ? 1 : 0;
    }
    // A schedule for one program; the current event EPG afterwards.
    kr::EventBuffer* ParseSchedule(int version, uint32_t programId = 1) {
        Arrive("ProgramEPG.txt", Schedule(version, programId));
        return kr::Epg().currentEvent;
    }
    // A download EPG without VERSION (parsed whenever it comes); the current one afterwards.
    kr::DownloadBuffer* ParseResources(const std::vector<uint32_t>& ids) {
        std::string text = "[FILE_EPG]\nCOUNT=" + std::to_string(ids.size()) + "\n";
        for (uint32_t id : ids)
            text += "[PROGRAM]\nProgramID=" + std::to_string(id) + "\n";
        Arrive("FileEPG.txt", text);
        return kr::Epg().currentDownload;
    }
};

TEST(EpgCallsBeforeInit, RefuseWithTheirMessage) {
    krtest::DiagnosticHost host;
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
}

TEST(EpgInit, AllocationFailureLeavesNothingBehind) {
    krtest::DiagnosticHost host;
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
    kr::DownloadBuffer* download = ParseResources({5});
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

// The host holds an event buffer only through a live buffer it holds that links it, and what a
// held live buffer links never changes under it.
TEST_F(EpgCallsTest, EventBuffersAreHeldOnlyThroughAHeldLiveEpg) {
    ASSERT_GT(ParseLive(1), 0);
    kr::EventBuffer* e1 = ParseSchedule(1);
    LiveEpg* a = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&a), 0);
    ASSERT_EQ(a->eventEpg, e1);
    ParseLive(2);
    // Released before the new live EPG is fetched: nothing links e1 any more.
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(a), 0);
    kr::EventBuffer* e2 = ParseSchedule(2);
    ASSERT_NE(e2, e1);
    LiveEpg* b = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&b), 0);
    EXPECT_EQ(b->eventEpg, e2);
    EXPECT_EQ(ParseSchedule(3), e1);
    EXPECT_FALSE(host.HasDebugText("No unlock event EPG."));

    // New schedules while the host holds b: the next fetch hands out a copy linking them, and
    // b keeps what it linked until the host gives it back.
    const void* read = b->program[0].events;
    ASSERT_EQ(read, static_cast<void*>(e2->events[0].day));
    LiveEpg* c = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&c), 0);
    ASSERT_NE(c, b);
    EXPECT_EQ(c->eventEpg, e1);
    EXPECT_EQ(c->program[0].events, static_cast<void*>(e1->events[0].day));
    EXPECT_EQ(b->eventEpg, e2);
    EXPECT_EQ(b->program[0].events, read);
    EXPECT_EQ(ParseSchedule(4), e1);  // e2 is still the host's: no buffer free
    EXPECT_TRUE(host.HasDebugLine(krtest::IndentedLine("##", 2, "No unlock event EPG.")));
    EXPECT_STREQ(e2->events[0].content[0], "schedule 2");

    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(b), 0);
    EXPECT_EQ(e2->state, kr::kBufferFree);
    EXPECT_EQ(e1->state, kr::kBufferHeld);
    EXPECT_EQ(ParseSchedule(4), e2);
}

TEST_F(EpgCallsTest, DownloadEpgProtocolAndLookup) {
    kr::DownloadBuffer* first = ParseResources({5, 6, 5});
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

    // One held, the other current: a third file finds no buffer, and the held one is not rebuilt.
    kr::DownloadBuffer* second = ParseResources({8});
    EXPECT_EQ(ParseResources({9}), second);
    EXPECT_TRUE(host.HasDebugLine(krtest::IndentedLine("##", 2, "No unlock resource EPG.")));
    EXPECT_EQ(held->resource[0].programId, 5u);
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

TEST_F(EpgCallsTest, SampleFilesReachTheHost) {
    Process({{"ProgramEPG.txt", krtest::ReadSample("epg/ProgramEPG.txt")},
             {"FileEPG.txt", krtest::ReadSample("epg/FileEPG.txt")},
             {"LiveEPG.txt", krtest::ReadSample("epg/LiveEPG.txt")}});
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{1, 2}));

    DownloadEpg* download = nullptr;
    ASSERT_EQ(kr_T2K_GetDownloadEpg(&download), KR_OK);
    ASSERT_NE(download, nullptr);
    EXPECT_EQ(download->resourceCount, 12u);
    ASSERT_NE(download->root, nullptr);
    std::vector<const CategoryNode*> placed;
    krtest::CollectResources(download->root, placed);
    EXPECT_EQ(placed.size(), 12u);
    const CategoryNode* movies = Child(download->root, "Movies");
    ASSERT_NE(movies, nullptr);
    EXPECT_EQ(movies->id, 2u);
    const CategoryNode* drama = Child(Child(movies, "Drama"), "harbour_lights.ts");
    ASSERT_NE(drama, nullptr);
    EXPECT_STREQ(drama->name, "HarbourLights");
    EXPECT_EQ(Child(Child(download->root, "System"), "card_update.bin")->categoryType, 10u);
    EXPECT_EQ(download->resource[11].port, 7000);

    LiveEpg* live = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&live), KR_OK);
    ASSERT_NE(live->eventEpg, nullptr);
    EXPECT_EQ(live->eventEpg->eventCount, 4u);
    EXPECT_EQ(live->eventEpg->state, kr::kBufferHeld);
    ASSERT_EQ(live->programCount, 4);
    for (int i = 0; i < 4; ++i) {
        const ProgramInfo& program = live->program[i];
        const EventInfo& event = live->eventEpg->events[i];
        EXPECT_EQ(event.programId, program.programId);
        EXPECT_EQ(program.events, static_cast<const void*>(event.day)) << i;
        const auto* days = static_cast<const char(*)[64]>(program.events);
        EXPECT_STREQ(days[6], "Sunday 13 December");
        for (int d = 0; d < 7; ++d)
            EXPECT_EQ(event.contentPtr[d], event.content[d]) << i << d;
    }
    EXPECT_STREQ(live->eventEpg->events[3].content[0],
                 "14:00 Harbour Lights (drama, 1998); 20:15 Two Left Feet (comedy, 2004); 22:30 "
                 "The Long Road (western, 1962)");
    EXPECT_TRUE(Notified().empty());  // the fetches cleared the flags
}

// A newer program EPG re-links the programs of the live EPG the host fetches again.
TEST_F(EpgCallsTest, NewScheduleIsLinkedAtTheNextFetch) {
    Process({{"LiveEPG.txt", krtest::ReadSample("epg/LiveEPG.txt")},
             {"ProgramEPG.txt", Bytes(Schedule(1, 1002))}});
    LiveEpg* live = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&live), KR_OK);
    EventEpg* first = live->eventEpg;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(live->program[0].events, nullptr);
    EXPECT_EQ(live->program[1].events, static_cast<void*>(first->events[0].day));

    ParseSchedule(2, 1003);
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{1}));
    LiveEpg* again = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&again), KR_OK);
    ASSERT_NE(again, live);  // a copy: the held one keeps its links
    EXPECT_EQ(live->eventEpg, first);
    ASSERT_NE(again->eventEpg, first);
    EXPECT_EQ(again->program[1].events, nullptr);
    EXPECT_EQ(again->program[2].events, static_cast<void*>(again->eventEpg->events[0].day));
    EXPECT_STREQ(again->eventEpg->events[0].content[0], "schedule 2");
    EXPECT_EQ(again->program[0].icon, nullptr);
    // Released, the first live EPG gives back the schedule it linked: a third file finds a
    // buffer. Null does not replace the notifier.
    EXPECT_EQ(kr_T2K_ReleaseLiveEpg(live), KR_OK);
    EXPECT_EQ(kr_T2K_RegisterEpgUpdateNotify(nullptr), KR_NULL_ARG);
    ParseSchedule(3, 1004);
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{1}));
    ASSERT_NE(kr::Epg().currentEvent, again->eventEpg);
    EXPECT_STREQ(kr::Epg().currentEvent->events[0].content[0], "schedule 3");
}

}  // namespace
