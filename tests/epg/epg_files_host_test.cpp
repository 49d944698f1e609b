// The host's view of the download and event EPG: what it reaches through kr_T2K_GetDownloadEpg
// and kr_T2K_GetLiveEpg after containers with the sample files arrive.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <string>
#include <vector>

#include "core/platform.h"
#include "epg/epg_container.h"
#include "epg/epg_database.h"
#include "support/epg_builder.h"
#include "support/module_fixture.h"

namespace {

using krtest::Bytes;
using krtest::Slot;

const CategoryNode* Child(const CategoryNode* parent, const std::string& name) {
    int steps = 0;
    for (const CategoryNode* c = parent->firstChild; c != nullptr && steps < 64;
         c = c->nextSibling, ++steps) {
        if ((c->isResource != 0 ? c->path : c->name) == name) return c;
    }
    return nullptr;
}

int CountResources(const CategoryNode* node) {
    int n = 0;
    int steps = 0;
    for (const CategoryNode* c = node->firstChild; c != nullptr && steps < 64;
         c = c->nextSibling, ++steps)
        n += (c->isResource != 0 ? 1 : 0) + CountResources(c);
    return n;
}

std::string ProgramEpg(int day, uint32_t programId) {
    return "[Program_EPG]\nCOUNT=1\nVERSION=201001" + std::to_string(10 + day) +
           "000000\n[PROGRAM1]\nProgramID=" + std::to_string(programId) + "\nDay1=day " +
           std::to_string(day) + "\nContent1=schedule " + std::to_string(day) + "\n";
}

class EpgFilesHostTest : public krtest::ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        ASSERT_EQ(StartModule(), 0);
        host.Clear();
    }
    void Process(const std::vector<krtest::EpgFile>& files) {
        const auto container = krtest::BuildEpgContainer(files);
        kr::ModuleLockGuard hold;
        kr::kr_ProcessEpgContainer(container.data(), static_cast<uint32_t>(container.size()));
        kr::kr_NotifyEpgUpdate(0xFFFFFFFFu);
    }
    std::vector<uint32_t> Notified() {
        std::vector<uint32_t> out;
        for (const auto& call : host.Calls(Slot::EpgUpdateNotify))
            out.push_back(call.words.at(0));
        host.Clear();
        return out;
    }
};

TEST_F(EpgFilesHostTest, SampleFilesReachTheHost) {
    Process({{"ProgramEPG.txt", krtest::ReadSample("epg/ProgramEPG.txt")},
             {"FileEPG.txt", krtest::ReadSample("epg/FileEPG.txt")},
             {"LiveEPG.txt", krtest::ReadSample("epg/LiveEPG.txt")}});
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{1, 2}));

    DownloadEpg* download = nullptr;
    ASSERT_EQ(kr_T2K_GetDownloadEpg(&download), KR_OK);
    ASSERT_NE(download, nullptr);
    EXPECT_EQ(download->resourceCount, 12u);
    ASSERT_NE(download->root, nullptr);
    EXPECT_EQ(CountResources(download->root), 12);
    const CategoryNode* movies = Child(download->root, "Movies");
    ASSERT_NE(movies, nullptr);
    EXPECT_EQ(movies->id, 2u);
    EXPECT_EQ(movies->firstChild, Child(movies, "Comedy"));  // made after Drama
    const CategoryNode* drama = Child(Child(movies, "Drama"), "harbour_lights.ts");
    ASSERT_NE(drama, nullptr);
    EXPECT_STREQ(drama->name, "HarbourLights");
    EXPECT_EQ(drama->drm, 1);
    EXPECT_EQ(drama->free, 0);
    EXPECT_EQ(Child(Child(download->root, "System"), "card_update.bin")->categoryType, 10u);
    EXPECT_EQ(Child(download->root, "service_guide.txt")->categoryType, 3u);
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
TEST_F(EpgFilesHostTest, NewScheduleIsLinkedAtTheNextFetch) {
    Process({{"LiveEPG.txt", krtest::ReadSample("epg/LiveEPG.txt")},
             {"ProgramEPG.txt", Bytes(ProgramEpg(1, 1002))}});
    LiveEpg* live = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&live), KR_OK);
    EventEpg* first = live->eventEpg;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(live->program[0].events, nullptr);
    EXPECT_EQ(live->program[1].events, static_cast<void*>(first->events[0].day));

    host.Clear();
    Process({{"ProgramEPG.txt", Bytes(ProgramEpg(2, 1003))}});
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{1}));
    LiveEpg* again = nullptr;
    ASSERT_EQ(kr_T2K_GetLiveEpg(&again), KR_OK);
    EXPECT_EQ(again, live);
    ASSERT_NE(live->eventEpg, first);
    EXPECT_EQ(live->program[1].events, nullptr);
    EXPECT_EQ(live->program[2].events, static_cast<void*>(live->eventEpg->events[0].day));
    EXPECT_STREQ(live->eventEpg->events[0].content[0], "schedule 2");
    // The schedule replaced at the re-link was given back: a third file finds a buffer.
    host.Clear();
    Process({{"ProgramEPG.txt", Bytes(ProgramEpg(3, 1004))}});
    EXPECT_EQ(Notified(), (std::vector<uint32_t>{1}));
    ASSERT_NE(kr::Epg().currentEvent, live->eventEpg);
    EXPECT_STREQ(kr::Epg().currentEvent->events[0].content[0], "schedule 3");
}

}  // namespace
