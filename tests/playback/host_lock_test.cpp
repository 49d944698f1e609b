// A terminal built the ordinary way: its delivery thread holds the lock of its own filter table
// while it hands sections to the library, and its filter slots take that same lock. Programs and
// downloads started and stopped against a continuous feed must never deadlock.
#include <gtest/gtest.h>
#include <krmodule/krmodule.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "core/host.h"
#include "intake/request_table.h"
#include "playback/playback_fixture.h"
#include "support/intake_fixture.h"

namespace host_lock_test {
namespace {

using krtest::kClearResource;
using krtest::kCombined;

// The terminal's filter table and its lock.
std::mutex filterTableLock;
std::map<uint32_t, uint16_t> runningFilters;  // request id -> PID
KrSetSectionFilterFn recordFilter = nullptr;
KrStopSectionFilterFn recordStop = nullptr;
// Runs once inside the next filter start, before the host's lock is taken.
std::function<void()> insideNextFilterStart;

int32_t SetFilterUnderHostLock(uint32_t requestId, SectionFilterParams params) {
    if (auto hook = std::exchange(insideNextFilterStart, nullptr)) hook();
    std::lock_guard<std::mutex> hold(filterTableLock);
    runningFilters[requestId] = params.pid;
    return recordFilter(requestId, params);
}

int32_t StopFilterUnderHostLock(uint32_t requestId) {
    std::lock_guard<std::mutex> hold(filterTableLock);
    runningFilters.erase(requestId);
    return recordStop(requestId);
}

class HostLockTest : public krtest::PlaybackTest {
  protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> hold(filterTableLock);
            runningFilters.clear();
        }
        PlaybackTest::SetUp();
    }
    void AdjustSlots(HostCallbacks& slots) override {
        insideNextFilterStart = nullptr;
        recordFilter = slots.SetSectionFilter;
        recordStop = slots.StopSectionFilter;
        slots.SetSectionFilter = SetFilterUnderHostLock;
        slots.StopSectionFilter = StopFilterUnderHostLock;
    }
};

TEST_F(HostLockTest, StartsAndStopsAgainstAFeedUnderTheHostsLockNeverDeadlock) {
    const std::vector<uint8_t> program =
        SectionFor(kCombined.address, kCombined.port, {0x80, 0x60, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1});
    const std::vector<uint8_t> resource =
        SectionFor(kClearResource.address, kClearResource.port, {1, 2, 3});
    std::atomic<bool> feeding{true};
    std::atomic<uint64_t> delivered{0};
    std::thread feeder([&] {
        while (feeding.load()) {
            std::lock_guard<std::mutex> hold(filterTableLock);
            for (const auto& [id, pid] : runningFilters) {
                const std::vector<uint8_t>& section = pid == kCombined.pid ? program : resource;
                if (krtest::Deliver(id, section) == KR_OK) delivered.fetch_add(1);
            }
        }
    });
    auto cycles = std::async(std::launch::async, [&] {
        for (int i = 0; i < 200; ++i) {
            EXPECT_EQ(StartProgram(kCombined, 1), KR_OK);
            EXPECT_EQ(kr_T2K_StartDownload(kClearResource.id, krtest::DeliveryRecorder::OnBlock),
                      KR_OK);
            EXPECT_EQ(kr_T2K_StopDownload(kClearResource.id), KR_OK);
            EXPECT_EQ(kr_T2K_StopProgram(kCombined.id), KR_OK);
        }
    });
    const bool finished = cycles.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    feeding = false;
    if (!finished) {
        // A deadlock cannot be undone: report it and end the run instead of hanging CI.
        ADD_FAILURE() << "start and stop cycles deadlocked with the host's filter lock";
        std::_Exit(1);
    }
    feeder.join();
    EXPECT_GT(delivered.load(), 0u);
    EXPECT_EQ(kr::IsOwnerActive(kCombined.id), KR_NO);
}

bool SpinUntil(const std::atomic<bool>& flag) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!flag.load()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// The host stops a program from inside a slot the library calls under its module lock, while the
// program's content function stops the same program: neither stop may wait for the other.
TEST_F(HostLockTest, AStopFromASlotAndFromTheContentFunctionBothReturn) {
    std::atomic<bool> inSlot{false};
    std::atomic<bool> inContent{false};
    std::atomic<int32_t> slotStop{99};
    recorder.SetGate([&] {
        inContent = true;
        EXPECT_TRUE(SpinUntil(inSlot));
        (void)kr_T2K_StopProgram(kCombined.id);  // waits for the module lock the slot runs under
    });
    ASSERT_EQ(StartProgram(kCombined, 1), KR_OK);
    ASSERT_EQ(Send(kCombined, kCombined.port, {1, 2, 3}), KR_OK);
    ASSERT_TRUE(SpinUntil(inContent));
    insideNextFilterStart = [&] {
        inSlot = true;
        slotStop = kr_T2K_StopProgram(kCombined.id);
    };
    auto start = std::async(std::launch::async, [] {
        return kr_T2K_StartDownload(kClearResource.id, krtest::DeliveryRecorder::OnBlock);
    });
    if (start.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        ADD_FAILURE() << "a stop from a slot and one from the content function deadlocked";
        std::_Exit(1);
    }
    EXPECT_EQ(start.get(), KR_OK);
    EXPECT_EQ(slotStop.load(), KR_OK);
    Drain();
    EXPECT_EQ(kr::IsOwnerActive(kCombined.id), KR_NO);
    EXPECT_EQ(recorder.StreamCount(), 1u);
    EXPECT_EQ(kr_T2K_StopDownload(kClearResource.id), KR_OK);
}

}  // namespace
}  // namespace host_lock_test
