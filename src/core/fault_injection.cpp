#include "core/fault_injection.h"

#include <atomic>

namespace kr::fault {
namespace {

std::atomic<int32_t> allocCountdown{0};
std::atomic<int32_t> workerCountdown{0};
std::atomic<int32_t> lockCountdown{0};
std::atomic<bool> fired{false};
std::atomic<int64_t> liveAllocations{0};
std::atomic<uint64_t> allocationCount{0};

bool Step(std::atomic<int32_t>& countdown) {
    int32_t current = countdown.load(std::memory_order_relaxed);
    while (current > 0) {
        if (countdown.compare_exchange_weak(current, current - 1, std::memory_order_relaxed)) {
            if (current == 1) {
                fired.store(true, std::memory_order_relaxed);
                return true;
            }
            return false;
        }
    }
    return false;
}

}  // namespace

void FailAllocAt(int32_t n) {
    allocCountdown.store(n < 0 ? 0 : n);
}
void FailWorkerAt(int32_t n) {
    workerCountdown.store(n < 0 ? 0 : n);
}
void FailLockAt(int32_t n) {
    lockCountdown.store(n < 0 ? 0 : n);
}

void Reset() {
    allocCountdown.store(0);
    workerCountdown.store(0);
    lockCountdown.store(0);
    fired.store(false);
}

bool Fired() {
    return fired.load();
}

bool AllocShouldFail() {
    return Step(allocCountdown);
}
bool WorkerShouldFail() {
    return Step(workerCountdown);
}
bool LockShouldFail() {
    return Step(lockCountdown);
}

int64_t LiveAllocations() {
    return liveAllocations.load();
}
uint64_t AllocationCount() {
    return allocationCount.load();
}

void CountAllocation() {
    liveAllocations.fetch_add(1, std::memory_order_relaxed);
    allocationCount.fetch_add(1, std::memory_order_relaxed);
}

void CountRelease() {
    liveAllocations.fetch_sub(1, std::memory_order_relaxed);
}

}  // namespace kr::fault
