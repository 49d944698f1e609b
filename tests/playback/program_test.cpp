// Program start and stop through the exported calls, with a live EPG in place.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>
#include <krmodule/krmodule_ext.h>

#include <atomic>

#include "core/host.h"
#include "core/log.h"
#include "intake/request_table.h"
#include "intake/shared_filter.h"
#include "playback/frame_states.h"
#include "playback/playback_fixture.h"

namespace {

using namespace krtest;

class ProgramTest : public PlaybackTest {};

TEST_F(ProgramTest, PortRuleForClearScrambledAndCombinedPrograms) {
    const int sharedFiltersBefore = kr::SharedFiltersActive();
    const int requestsBefore = kr::RequestsInUse();
    struct Case {
        TestProgram program;
        std::vector<std::pair<uint8_t, uint16_t>> requests;  // type, port
    };
    const Case cases[] = {
        {kClear, {{5, 5000}, {6, 5002}}},
        {kScrambled, {{5, 6000}, {6, 15002}}},
        {kCombined, {{5, 7000}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.program.id);
        host.Clear();
        ASSERT_EQ(StartProgram(c.program, 2), KR_OK);
        const auto owned = RequestsOf(c.program.id);
        ASSERT_EQ(owned.size(), c.requests.size());
        for (size_t i = 0; i < owned.size(); ++i) {
            EXPECT_EQ(owned[i].type, c.requests[i].first);
            EXPECT_EQ(owned[i].udpPort, c.requests[i].second);
            EXPECT_EQ(owned[i].ipAddress, c.program.address);
            EXPECT_EQ(owned[i].scrambled, c.program.ca);
            EXPECT_EQ(owned[i].deliveryMode, 2u);
        }
        EXPECT_TRUE(host.HasDebugText(c.program.sort == 7 ? "Set avs program filter"
                                                          : "Set program audio filter"));
        // Only a scrambled program starts its descrambling, by address and the program's port.
        EXPECT_EQ(ServiceStarted(0xEF010102, 5000), c.program.ca != 0);

        // Datagrams on the rule's ports reach the host; the unshifted port of a scrambled
        // program is not the program's.
        for (const auto& [type, port] : c.requests)
            EXPECT_EQ(Send(c.program, port, std::vector<uint8_t>(30, type)), KR_OK);
        if (c.program.ca != 0) {
            EXPECT_EQ(Send(c.program, 5000, std::vector<uint8_t>(30, 1)), KR_OK);
        }
        Drain();
        EXPECT_EQ(recorder.StreamCount(), c.requests.size());
        recorder.Clear();

        EXPECT_EQ(kr_T2K_StopProgram(c.program.id), KR_OK);
        EXPECT_TRUE(RequestsOf(c.program.id).empty());
        EXPECT_FALSE(ServiceStarted(0xEF010102, 5000));
    }
    // What stays is the module's own system-information filter.
    EXPECT_EQ(kr::SharedFiltersActive(), sharedFiltersBefore);
    EXPECT_EQ(kr::RequestsInUse(), requestsBefore);
}

TEST_F(ProgramTest, RefusedStartsAndStops) {
    EXPECT_EQ(kr_T2K_StartProgram(0, 0, DeliveryRecorder::OnStream), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("Invalid program id : 0"));
    EXPECT_EQ(kr_T2K_StartProgram(99, 0, DeliveryRecorder::OnStream), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("Can't find this program's SDP information."));

    ASSERT_EQ(StartProgram(kClear), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Start program : 11"));
    EXPECT_EQ(StartProgram(kClear, 1), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("This program has already started!"));
    EXPECT_EQ(RequestsOf(kClear.id).size(), 2u);

    // A program unknown to the live EPG stops nothing.
    host.Clear();
    EXPECT_EQ(kr_T2K_StopProgram(99), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("Stop program : 99"));
    EXPECT_TRUE(host.HasDebugText("Can't find this program's SDP information."));
    EXPECT_EQ(RequestsOf(kClear.id).size(), 2u);
    EXPECT_EQ(host.CallCount(Slot::StopSectionFilter), 0u);
    EXPECT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
}

// A content function runs on a worker: a wait there for the module to catch up would wait for
// itself, so it is refused at once.
std::atomic<int32_t> waitFromContent{99};
int32_t WaitInContent(const void*) {
    waitFromContent = krx_WaitCaughtUp(1000);
    return 0;
}

TEST_F(ProgramTest, ACatchUpWaitFromAContentFunctionIsRefused) {
    ASSERT_EQ(kr_T2K_StartProgram(kClear.id, KR_DELIVER_UDP_PAYLOAD, WaitInContent), KR_OK);
    ASSERT_EQ(Send(kClear, kClear.videoPort, {0x80, 0x60, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 7}), 0);
    Drain();
    EXPECT_EQ(waitFromContent.load(), -1);
    EXPECT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
}

TEST_F(ProgramTest, RefusedFiltersStillStartAndFullTableRefuses) {
    // The host refuses every filter: both messages, nothing runs, yet the start succeeds.
    host.SetFilterResult(-1);
    EXPECT_EQ(StartProgram(kClear), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Set video filter faild!"));
    EXPECT_TRUE(host.HasDebugText("Set avs filter faild!"));
    EXPECT_TRUE(RequestsOf(kClear.id).empty());
    EXPECT_EQ(kr::BoundFrameStates(), 0);
    EXPECT_EQ(StartProgram(kCombined), KR_OK);
    EXPECT_TRUE(host.HasDebugText("Set avs program filter faild!"));
    host.SetFilterResult(0);

    // A full request table: -1, and a scrambled program whose start left nothing running
    // leaves no descrambling started either.
    std::vector<kr::RequestEntry*> filler;
    {
        kr::ModuleLockGuard hold;
        kr::RequestEntry* entry = nullptr;
        while (kr::AllotRequest(&entry) == 0)
            filler.push_back(entry);
    }
    host.Clear();
    EXPECT_EQ(StartProgram(kScrambled), KR_FAILED);
    EXPECT_FALSE(ServiceStarted(kScrambled.address, kScrambled.port));
    EXPECT_EQ(kr::BoundFrameStates(), 0);
    {
        kr::ModuleLockGuard hold;
        for (kr::RequestEntry* entry : filler)
            kr::SetRequestState(entry, kr::kRequestFree);
    }
    EXPECT_EQ(StartProgram(kScrambled), KR_OK);
    EXPECT_EQ(kr_T2K_StopProgram(kScrambled.id), KR_OK);
}

TEST_F(ProgramTest, FramePairsAreBoundAtStartAndFallBackWhenNoneIsFree) {
    const TestProgram programs[] = {kClear, kScrambled, kSecondClear, kThirdClear, kFourthClear};
    for (const TestProgram& p : programs)
        ASSERT_EQ(StartProgram(p), KR_OK) << p.id;
    EXPECT_EQ(kr::BoundFrameStates(), kr::kFrameStatePairs);
    EXPECT_TRUE(
        host.HasDebugText("No free frame buffer for program 16, it shares the common one."));
    // Raw delivery needs no pair.
    ASSERT_EQ(kr_T2K_StopProgram(kClear.id), KR_OK);
    EXPECT_EQ(kr::BoundFrameStates(), kr::kFrameStatePairs - 1);
    ASSERT_EQ(StartProgram(kClear, 3), KR_OK);
    EXPECT_EQ(kr::BoundFrameStates(), kr::kFrameStatePairs - 1);
    for (const TestProgram& p : programs)
        EXPECT_EQ(kr_T2K_StopProgram(p.id), KR_OK);
    EXPECT_EQ(kr::BoundFrameStates(), 0);
}

TEST(PlaybackBeforeInit, CallsRefuseWithTheirMessage) {
    FakeHost host;
    kr::SetHostCallbacks(FakeHost::AllSlots());
    kr_T2K_SetDebugFlag(0, 1);
    EXPECT_EQ(kr_T2K_StartProgram(11, 0, DeliveryRecorder::OnStream), KR_NOTHING);
    EXPECT_EQ(kr_T2K_StopProgram(11), KR_NOTHING);
    EXPECT_EQ(kr_T2K_StartDownload(21, DeliveryRecorder::OnBlock), KR_NOTHING);
    EXPECT_EQ(kr_T2K_StopDownload(21), KR_NOTHING);
    for (const char* call : {"kr_T2K_StartProgram", "kr_T2K_StopProgram"}) {
        EXPECT_TRUE(host.HasDebugLine(IndentedLine(
            "++", 2, std::string(call) + "::The KRDB module hasn't been initialized!")))
            << call;
    }
    EXPECT_FALSE(host.HasDebugText("Stop resource"));
    kr::ResetLogSettings();
    kr::ClearHostCallbacks();
}

}  // namespace
