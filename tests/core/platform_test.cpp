#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "core/fault_injection.h"
#include "core/platform.h"

namespace {

using namespace std::chrono_literals;

class PlatformTest : public ::testing::Test {
  protected:
    void SetUp() override { kr::fault::Reset(); }
    void TearDown() override {
        kr::fault::Reset();
        kr::SetStopping(true);
        kr::WakeAllWorkers();
        kr::JoinWorkers();
    }
};

TEST_F(PlatformTest, EveryLockIsTheOneReentrantModuleLock) {
    kr::LockHandle a;
    kr::LockHandle b;
    ASSERT_EQ(kr::CreateLock(&a, 0), 0);
    ASSERT_EQ(kr::CreateLock(&b, 0), 0);
    // Re-entrant: the owner may take it again, through either handle.
    ASSERT_EQ(kr::Lock(&a), 0);
    ASSERT_EQ(kr::Lock(&b), 0);
    ASSERT_EQ(kr::Unlock(&b), 0);
    ASSERT_EQ(kr::Unlock(&a), 0);

    // Exclusive across handles: two threads increment a plain counter under different handles
    // (the race detector sees any overlap).
    int counter = 0;
    auto work = [&counter](kr::LockHandle* lock) {
        for (int i = 0; i < 20000; ++i) {
            kr::Lock(lock);
            ++counter;
            kr::Unlock(lock);
        }
    };
    std::thread first(work, &a);
    std::thread second(work, &b);
    first.join();
    second.join();
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(kr::CloseLock(&a), 0);
    EXPECT_EQ(kr::Lock(&a), -2);  // a closed handle no longer locks
    EXPECT_EQ(kr::CloseLock(&b), 0);
    EXPECT_EQ(kr::CreateLock(nullptr, 0), -5);
}

std::atomic<int> runs{0};
uint32_t CountRun(void*) {
    runs.fetch_add(1);
    kr::WorkerReady();
    while (!kr::IsStopping())
        kr::WaitForWork(kr::WorkQueue::Ca, 10000);
    return 0;
}

TEST_F(PlatformTest, WorkersStartAnnounceAndJoin) {
    runs = 0;
    kr::SetStopping(false);
    kr::WorkerHandle handle;
    ASSERT_EQ(kr::CreateWorker(&handle, 0, CountRun, nullptr), 0);
    ASSERT_EQ(kr::CreateWorker(nullptr, 0, CountRun, nullptr), 0);
    EXPECT_GE(handle.slot, 0);
    ASSERT_TRUE(kr::WaitWorkersReady(5000));
    EXPECT_EQ(runs.load(), 2);
    EXPECT_EQ(kr::LiveWorkerCount(), 2);

    // The stop flag plus a wake-up ends a 10-second idle wait at once.
    const auto before = std::chrono::steady_clock::now();
    kr::SetStopping(true);
    kr::WakeAllWorkers();
    EXPECT_EQ(kr::JoinWorkers(), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
    EXPECT_EQ(kr::LiveWorkerCount(), 0);
    EXPECT_EQ(kr::CreateWorker(&handle, 0, nullptr, nullptr), -5);
}

// The leak checks of every other test rest on this count.
TEST_F(PlatformTest, AllocationsAreCountedAndAnInjectedFailureHitsOnlyItsTurn) {
    const int64_t live = kr::fault::LiveAllocations();
    kr::fault::FailAllocAt(2);
    void* first = kr::AllocMem(16);
    void* second = kr::AllocMem(16);
    void* third = kr::AllocMem(16);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(kr::fault::LiveAllocations(), live + 2);
    kr::FreeMem(first);
    kr::FreeMem(third);
    kr::FreeMem(nullptr);
    EXPECT_EQ(kr::fault::LiveAllocations(), live);
}

TEST_F(PlatformTest, IdleWaitEndsEarlyOnWork) {
    // A signal given before the wait ends the next wait at once: nothing queued while a worker
    // was busy waits out a whole idle round.
    kr::SetStopping(false);
    kr::SignalWork(kr::WorkQueue::Stream);
    auto before = std::chrono::steady_clock::now();
    kr::WaitForWork(kr::WorkQueue::Stream, 60000);
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);

    // A signal given during the wait wakes it.
    std::atomic<bool> woke{false};
    std::thread waiter([&woke] {
        kr::WaitForWork(kr::WorkQueue::Sys, 60000);
        woke = true;
    });
    before = std::chrono::steady_clock::now();
    while (!woke) {
        kr::SignalWork(kr::WorkQueue::Sys);
        std::this_thread::yield();
    }
    waiter.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 30s);

    // Without a signal the wait lasts its interval: an empty round keeps its length.
    before = std::chrono::steady_clock::now();
    kr::WaitForWork(kr::WorkQueue::Ecm, 50);
    EXPECT_GE(std::chrono::steady_clock::now() - before, 45ms);
}

}  // namespace
