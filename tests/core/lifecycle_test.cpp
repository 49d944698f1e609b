#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/fault_injection.h"
#include "core/host.h"
#include "core/log.h"
#include "core/module_state.h"
#include "core/platform.h"
#include "epg/epg_database.h"
#include "intake/intake.h"
#include "support/module_fixture.h"
#include "sysinfo/sysinfo_state.h"

namespace {

using krtest::ModuleTest;
using krtest::Slot;

const std::string kStartLine = "\r\n====== krdb module 2.1.2.8 init ======\r\n";
const std::string kEndLine = "\r\n====== end krdb module init ======\r\n";
const std::vector<std::string> kWorkerStartLines = {
    "\r\n====== start the system info thread ======\r\n",
    "\r\n====== start the stream thread ======\r\n",
    "\r\n====== start the ca thread ======\r\n",
    "\r\n====== start the ecm thread ======\r\n",
};

size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

class LifecycleTest : public ModuleTest {
  protected:
    void SetUp() override {
        ModuleTest::SetUp();
        kr::ClearHostCallbacks();
    }
};

TEST_F(LifecycleTest, NullRecordLeavesDiagnosticsOnAndCopiesNothing) {
    EXPECT_EQ(kr_T2K_Init(nullptr), KR_NULL_ARG);
    for (uint8_t module = 0; module < 16; ++module)
        EXPECT_EQ(kr::LogSetting(module), 0x13);
    EXPECT_EQ(kr::Host().DebugPrint, nullptr);
    EXPECT_FALSE(kr::IsInitialised());
    EXPECT_EQ(kr::LiveWorkerCount(), 0);
    EXPECT_TRUE(host.DebugLines().empty());
}

TEST_F(LifecycleTest, StartsAndFinishesInOrder) {
    ASSERT_EQ(StartModule(), KR_OK);
    EXPECT_TRUE(kr::IsInitialised());
    EXPECT_EQ(kr::LiveWorkerCount(), 4);

    std::vector<std::string> lines = host.DebugLines();
    ASSERT_FALSE(lines.empty());
    // The host's DebugPrint is known only from step 4 on, so the switch-on message is not seen.
    EXPECT_EQ(lines.front(), kStartLine);
    const size_t end = IndexOf(lines, kEndLine);
    ASSERT_LT(end, lines.size());
    // Every worker announced itself while start-up diagnostics were still on.
    for (const std::string& start : kWorkerStartLines)
        EXPECT_LT(IndexOf(lines, start), end) << start;
    EXPECT_EQ(lines.back(), "\r\nKRMODULE Debug off\r\n");
    for (uint8_t module = 0; module < 16; ++module)
        EXPECT_EQ(kr::LogSetting(module), 0);
    // Reserved slots are stored, never called.
    EXPECT_EQ(host.CallCount(Slot::Reserved4), 0u);
    EXPECT_EQ(host.CallCount(Slot::Reserved13), 0u);
    EXPECT_EQ(host.CallCount(Slot::Reserved16), 0u);

    // Finish joins every worker before it releases anything.
    kr_T2K_SetDebugFlag(0x00, 1);
    host.Clear();
    FinishModule();
    EXPECT_FALSE(kr::IsInitialised());
    lines = host.DebugLines();
    const size_t finishStart = IndexOf(lines, "\r\n====== start krdb module finish ======\r\n");
    const size_t finishEnd = IndexOf(lines, "\r\n====== end krdb module finish ======\r\n");
    ASSERT_LT(finishStart, lines.size());
    ASSERT_EQ(finishEnd, lines.size() - 1);
    for (const char* stop : {"stop the system info thread", "end the stream thread",
                             "stop the CA thread", "stop the ECM thread"}) {
        const size_t at = IndexOf(lines, std::string("\r\n====== ") + stop + " ======\r\n");
        EXPECT_GT(at, finishStart) << stop;
        EXPECT_LT(at, finishEnd) << stop;
    }
}

TEST_F(LifecycleTest, CapsTheNodeCount) {
    struct Case {
        uint32_t asked, pool;
    };
    for (const Case c : {Case{10000, 8192}, Case{8192, 8192}, Case{0, 0}, Case{17, 17}}) {
        ASSERT_EQ(StartModule(c.asked), KR_OK);
        EXPECT_EQ(kr::IntakeNodeCount(), c.pool) << c.asked;
        FinishModule();
    }
}

TEST_F(LifecycleTest, FinishWaitsForAWorkerInsideASlowHostCall) {
    ASSERT_EQ(StartModule(), KR_OK);
    // The stream worker reports each idle round at module 4 level 5; hold it inside DebugPrint.
    std::mutex mutex;
    std::condition_variable changed;
    bool held = false;
    bool release = false;
    host.SetDebugHook([&](const std::string& line) {
        if (line.find("No retrieve in stream queue.") == std::string::npos) return;
        std::unique_lock<std::mutex> hold(mutex);
        if (release) return;
        held = true;
        changed.notify_all();
        changed.wait(hold, [&] { return release; });
    });
    kr_T2K_SetDebugFlag(0x45, 1);
    {
        std::unique_lock<std::mutex> hold(mutex);
        ASSERT_TRUE(changed.wait_for(hold, std::chrono::seconds(10), [&] { return held; }));
    }
    kr_T2K_SetDebugFlag(0x10, 1);
    std::atomic<bool> finished{false};
    std::thread finisher([&] {
        kr_T2K_Finish();
        finished = true;
    });
    ASSERT_TRUE(host.WaitForDebugText("start krdb module finish"));
    // The worker is still inside the host call: shut-down may not have released anything.
    EXPECT_FALSE(finished.load());
    EXPECT_GE(kr::LiveWorkerCount(), 1);
    {
        std::lock_guard<std::mutex> hold(mutex);
        release = true;
    }
    changed.notify_all();
    finisher.join();
    started = false;
    EXPECT_TRUE(finished.load());
    EXPECT_EQ(kr::LiveWorkerCount(), 0);
    host.SetDebugHook(nullptr);
}

// A host function on a worker cannot shut down or restart the module the worker runs in: both
// calls are refused, nothing aborts, and the module goes on.
TEST_F(LifecycleTest, FinishOrInitFromAWorkerIsRefused) {
    ASSERT_EQ(StartModule(), KR_OK);
    std::atomic<int32_t> finishResult{99};
    std::atomic<int32_t> initResult{99};
    host.SetDebugHook([&](const std::string& line) {
        if (line.find("No retrieve in stream queue.") == std::string::npos) return;
        if (finishResult.load() != 99) return;
        const InitRecord record = krtest::FakeHost::MakeInitRecord(16);
        initResult = kr_T2K_Init(&record);
        finishResult = kr_T2K_Finish();
    });
    kr_T2K_SetDebugFlag(0x45, 1);
    ASSERT_TRUE(host.WaitFor([&] { return finishResult.load() != 99; }));
    host.SetDebugHook(nullptr);
    EXPECT_EQ(initResult.load(), KR_FAILED);
    EXPECT_EQ(finishResult.load(), KR_FAILED);
    EXPECT_TRUE(host.HasDebugText("kr_T2K_Finish::Can't be called from a module thread!"));
    EXPECT_TRUE(host.HasDebugText("kr_T2K_Init::Can't be called from a module thread!"));
    EXPECT_TRUE(kr::IsInitialised());
}

// Shut-down closes the EPG lock's handle while a kr_T2K_ClearEpg may be holding that lock; the
// clear still lets go of it, and the shut-down (on another thread) goes through.
TEST_F(LifecycleTest, ClearingTheEpgWhileShutDownClosesItsLockReleasesIt) {
    ASSERT_EQ(StartModule(), KR_OK);
    {
        kr::EpgLockGuard clearing;
        kr::CloseLock(&kr::Sysinfo().epgLock);
    }
    auto finish = std::async(std::launch::async, [this] { FinishModule(); });
    if (finish.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "the module lock stayed held after the EPG lock was closed";
        std::_Exit(1);
    }
}

// A start-up without slot 1 leaves no notifier of the run before (its host may be unloaded).
TEST_F(LifecycleTest, NullNotifierSlotClearsTheEarlierNotifier) {
    ASSERT_EQ(StartModule(), KR_OK);
    EXPECT_NE(kr::EpgUpdateNotify(), nullptr);
    FinishModule();
    InitRecord record = krtest::FakeHost::MakeInitRecord(16);
    record.callbacks.EpgUpdateNotify = nullptr;
    ASSERT_EQ(kr_T2K_Init(&record), KR_OK);
    started = true;
    EXPECT_EQ(kr::EpgUpdateNotify(), nullptr);
}

// Every other cycle starts twice: a second init restarts instead of doubling the workers.
TEST_F(LifecycleTest, ManyCyclesLeaveNoThreadAndNoMemory) {
    for (int cycle = 0; cycle < 50; ++cycle) {
        ASSERT_EQ(StartModule(static_cast<uint32_t>(cycle * 10)), KR_OK) << cycle;
        if (cycle % 2 == 1) {
            ASSERT_EQ(StartModule(), KR_OK) << cycle;
        }
        ASSERT_EQ(kr::LiveWorkerCount(), 4) << cycle;
        ASSERT_TRUE(kr::IsInitialised());
        FinishModule();
        ASSERT_EQ(kr::LiveWorkerCount(), 0) << cycle;
        ASSERT_EQ(kr::fault::LiveAllocations(), allocationsAtStart) << cycle;
    }
    // A finish without a start is harmless.
    EXPECT_EQ(kr_T2K_Finish(), KR_OK);
}

TEST_F(LifecycleTest, AWorkerThatCannotStartIsOnlyReported) {
    const char* failures[] = {"Start process sysinfo thread faild",
                              "Start process stream thread faild", "Start process CA thread faild",
                              "Start process ECM thread faild"};
    for (int32_t n = 1; n <= 4; ++n) {
        host.Clear();
        kr::fault::FailWorkerAt(n);
        ASSERT_EQ(StartModule(), KR_OK);
        EXPECT_TRUE(
            host.HasDebugLine(std::string("\r\n====== ") + failures[n - 1] + " ======\r\n"));
        EXPECT_EQ(kr::LiveWorkerCount(), 3);
        FinishModule();
    }
}

TEST_F(LifecycleTest, EveryStartUpAllocationFailureEndsCleanly) {
    // Fail the Nth allocation for N = 1, 2, ... until a start-up completes without the fault
    // firing; every run ends in success or -6 with nothing left behind. The first two are
    // intake's request table and node pool: without them the start-up fails before any worker
    // runs. A missing frame buffer is only reported.
    bool frameBufferReported = false;
    for (int32_t n = 1; n < 1000; ++n) {
        host.Clear();
        kr::fault::Reset();
        kr::fault::FailAllocAt(n);
        const int32_t result = StartModule(32);
        const bool fired = kr::fault::Fired();
        kr::fault::Reset();
        EXPECT_TRUE(result == KR_OK || result == KR_NO_MEMORY) << "n=" << n << " result " << result;
        if (n <= 2) {
            EXPECT_EQ(result, KR_NO_MEMORY) << n;
            EXPECT_EQ(kr::LiveWorkerCount(), 0) << n;
            EXPECT_EQ(kr::fault::LiveAllocations(), allocationsAtStart) << n;
        }
        frameBufferReported =
            frameBufferReported || host.HasDebugText("Malloc video or audio frame buffer faild!");
        FinishModule();
        ASSERT_EQ(kr::LiveWorkerCount(), 0) << n;
        ASSERT_EQ(kr::fault::LiveAllocations(), allocationsAtStart) << n;
        if (!fired) {
            EXPECT_EQ(result, KR_OK);
            EXPECT_TRUE(frameBufferReported);
            return;
        }
    }
    FAIL() << "start-up never completed";
}

// The status of an idle module is checked with the download (sysinfo tests).
TEST_F(LifecycleTest, VersionAndStatus) {
    uint8_t version[4] = {};
    EXPECT_EQ(kr_T2K_GetVersion(version), KR_OK);
    EXPECT_EQ(std::vector<uint8_t>(version, version + 4), (std::vector<uint8_t>{2, 1, 2, 8}));
    EXPECT_EQ(kr_T2K_GetVersion(nullptr), KR_NULL_ARG);
    ASSERT_EQ(StartModule(), KR_OK);
    EXPECT_EQ(kr_T2K_GetKrdbStatus(nullptr), KR_NULL_ARG);
}

}  // namespace
