#include "core/platform.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "core/fault_injection.h"

namespace kr {
namespace {

// ---- Workers ------------------------------------------------------------------------------

// More than the module ever runs at once; a start beyond it is refused like a failed create.
constexpr std::size_t kMaxWorkers = 16;

struct WorkerTable {
    std::mutex mutex;
    std::condition_variable readyChanged;
    std::array<std::thread, kMaxWorkers> threads;
    int32_t started = 0;  // since the last JoinWorkers()
    int32_t settled = 0;  // of those: ready or already ended
};

WorkerTable& Workers() {
    static WorkerTable table;
    return table;
}

std::atomic<int32_t> liveWorkers{0};
thread_local bool reportedReady = false;
thread_local bool onWorker = false;
// Levels of the module lock this thread holds.
thread_local int32_t moduleLockDepth = 0;

void Settle() {
    WorkerTable& table = Workers();
    {
        std::lock_guard<std::mutex> hold(table.mutex);
        ++table.settled;
    }
    table.readyChanged.notify_all();
}

void RunWorker(WorkerRoutine routine, void* argument) {
    liveWorkers.fetch_add(1);
    reportedReady = false;
    onWorker = true;
    routine(argument);
    // A routine that ended without announcing itself must not hold up start-up.
    if (!reportedReady) Settle();
    liveWorkers.fetch_sub(1);
}

// ---- Stop flag and idle waits -------------------------------------------------------------

std::atomic<bool> stopping{true};

// How often an idle worker looks at its queue before it sleeps (a few microseconds).
constexpr int kLooksBeforeSleep = 256;

struct WorkSignal {
    std::mutex mutex;
    std::condition_variable changed;
    bool pending = false;
    std::atomic<bool> idle{false};  // the worker is in, or about to enter, its idle wait
};

std::array<WorkSignal, kWorkQueueCount>& Signals() {
    static std::array<WorkSignal, kWorkQueueCount> signals;
    return signals;
}

// ---- The module lock ----------------------------------------------------------------------

std::recursive_mutex& ModuleMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

}  // namespace

int32_t CreateWorker(WorkerHandle* handle, uint32_t /*ignored*/, WorkerRoutine routine,
                     void* argument) {
    if (routine == nullptr || fault::WorkerShouldFail()) return -5;
    WorkerTable& table = Workers();
    std::lock_guard<std::mutex> hold(table.mutex);
    for (std::size_t slot = 0; slot < table.threads.size(); ++slot) {
        if (table.threads[slot].joinable()) continue;
        try {
            table.threads[slot] = std::thread(RunWorker, routine, argument);
        } catch (const std::system_error&) {
            return -5;
        } catch (const std::bad_alloc&) {
            return -5;
        }
        ++table.started;
        if (handle != nullptr) handle->slot = static_cast<int32_t>(slot);
        return 0;
    }
    return -5;
}

int32_t JoinWorkers() {
    WorkerTable& table = Workers();
    std::array<std::thread, kMaxWorkers> toJoin;
    {
        std::lock_guard<std::mutex> hold(table.mutex);
        toJoin.swap(table.threads);
        table.started = 0;
        table.settled = 0;
    }
    int32_t joined = 0;
    for (std::thread& thread : toJoin) {
        if (!thread.joinable()) continue;
        thread.join();
        ++joined;
    }
    return joined;
}

int32_t LiveWorkerCount() {
    return liveWorkers.load();
}

void WorkerReady() {
    if (reportedReady) return;
    reportedReady = true;
    Settle();
}

bool WaitWorkersReady(uint32_t timeoutMs) {
    WorkerTable& table = Workers();
    std::unique_lock<std::mutex> hold(table.mutex);
    return table.readyChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs),
                                       [&table] { return table.settled >= table.started; });
}

bool IsStopping() {
    return stopping.load(std::memory_order_acquire);
}

void SetStopping(bool value) {
    stopping.store(value, std::memory_order_release);
}

bool WaitForWork(WorkQueue queue, uint32_t ms, WorkCheck check) {
    WorkSignal& signal = Signals()[static_cast<std::size_t>(queue)];
    if (check != nullptr) {
        // Sections come in bursts (a demultiplexer hands over a buffer at a time): a few
        // microseconds of looking catch the next one for less than a sleep and a wake-up cost.
        for (int look = 0; look < kLooksBeforeSleep; ++look) {
            if (check(queue)) return true;
        }
    }
    std::unique_lock<std::mutex> hold(signal.mutex);
    if (check != nullptr) {
        // Sequentially consistent with the producer's publication of its work: either the check
        // below sees the work, or the producer sees the flag and signals.
        signal.idle.store(true, std::memory_order_seq_cst);
        if (check(queue)) {
            signal.idle.store(false, std::memory_order_relaxed);
            signal.pending = false;
            return true;
        }
    }
    const bool woken = signal.changed.wait_for(
        hold, std::chrono::milliseconds(ms), [&signal] { return signal.pending || IsStopping(); });
    signal.pending = false;
    signal.idle.store(false, std::memory_order_relaxed);
    return woken;
}

void SignalWorkIfIdle(WorkQueue queue) {
    WorkSignal& signal = Signals()[static_cast<std::size_t>(queue)];
    if (signal.idle.load(std::memory_order_seq_cst)) SignalWork(queue);
}

void SignalWork(WorkQueue queue) {
    WorkSignal& signal = Signals()[static_cast<std::size_t>(queue)];
    {
        std::lock_guard<std::mutex> hold(signal.mutex);
        signal.pending = true;
    }
    signal.changed.notify_one();
}

void WakeAllWorkers() {
    for (WorkSignal& signal : Signals()) {
        // Taking the mutex orders the wake-up after the stop flag for a worker about to wait.
        { std::lock_guard<std::mutex> hold(signal.mutex); }
        signal.changed.notify_all();
    }
}

namespace {

// How many times a waiter reads a held short lock before it gives way. A holder keeps it for a few
// stores, but one of them may wait for a cache line from another core (about 70 ns on a virtual
// machine): the reads outlast a couple of those, for less than the system call of a yield. With
// one processor the holder cannot run while its waiter spins, so the waiter gives way at once.
int SpinsBeforeYield() {
    static const int spins = std::thread::hardware_concurrency() > 1 ? 512 : 0;
    return spins;
}

}  // namespace

void SpinLock::lock() noexcept {
    for (;;) {
        if (!held_.exchange(true, std::memory_order_acquire)) return;
        // Holders keep it for a few instructions: spin on a plain read first, then give way.
        const int spins = SpinsBeforeYield();
        for (int spin = 0; held_.load(std::memory_order_relaxed); ++spin) {
            if (spin >= spins) std::this_thread::yield();
        }
    }
}

void SpinLock::unlock() noexcept {
    held_.store(false, std::memory_order_release);
}

namespace {

struct GateWait {
    std::mutex mutex;
    std::condition_variable changed;
};

// One wait record serves every gate: stops are rare and short.
GateWait& GateWaits() {
    static GateWait wait;
    return wait;
}

thread_local const DeliveryGate* gateOfThisThread = nullptr;
thread_local int32_t slowLocksHeld = 0;

}  // namespace

void DeliveryGate::Enter(uint32_t requestId) noexcept {
    gateOfThisThread = this;
    busy_.store(requestId, std::memory_order_seq_cst);
}

void DeliveryGate::Leave() noexcept {
    busy_.store(0, std::memory_order_seq_cst);
    if (waiters_.load(std::memory_order_seq_cst) > 0) {
        GateWait& wait = GateWaits();
        { std::lock_guard<std::mutex> hold(wait.mutex); }
        wait.changed.notify_all();
    }
}

void DeliveryGate::WaitWhileBusyWith(uint32_t requestId) {
    if (requestId == 0 || OwnedByThisThread()) return;
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    GateWait& wait = GateWaits();
    {
        std::unique_lock<std::mutex> hold(wait.mutex);
        wait.changed.wait(
            hold, [this, requestId] { return busy_.load(std::memory_order_seq_cst) != requestId; });
    }
    waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

bool DeliveryGate::OwnedByThisThread() const noexcept {
    return gateOfThisThread == this;
}

bool HoldsLibraryLock() {
    return HoldsModuleLock() || slowLocksHeld > 0;
}

void NoteSlowLockTaken() noexcept {
    ++slowLocksHeld;
}

void NoteSlowLockReleased() noexcept {
    --slowLocksHeld;
}

bool OnWorkerThread() {
    return onWorker;
}

void SleepMs(uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int32_t CreateLock(LockHandle* lock, uint32_t /*ignored*/) {
    if (lock == nullptr || fault::LockShouldFail()) return -5;
    lock->mutex = &ModuleMutex();
    return 0;
}

int32_t CloseLock(LockHandle* lock) {
    if (lock == nullptr) return -2;
    lock->mutex = nullptr;
    return 0;
}

int32_t Lock(LockHandle* lock) {
    if (lock == nullptr || lock->mutex == nullptr) return -2;
    static_cast<std::recursive_mutex*>(lock->mutex)->lock();
    ++moduleLockDepth;
    return 0;
}

int32_t Unlock(LockHandle* lock) {
    if (lock == nullptr || lock->mutex == nullptr) return -2;
    --moduleLockDepth;
    static_cast<std::recursive_mutex*>(lock->mutex)->unlock();
    return 0;
}

bool HoldsModuleLock() {
    return moduleLockDepth > 0;
}

ModuleLockGuard::ModuleLockGuard() {
    ModuleMutex().lock();
    ++moduleLockDepth;
}
ModuleLockGuard::~ModuleLockGuard() {
    --moduleLockDepth;
    ModuleMutex().unlock();
}

void ChangeSignal::Announce() noexcept {
    // Sequentially consistent with the waiter's registration: either the waiter's check sees
    // the change, or this load sees the waiter and the notification follows its check.
    if (waiters_.load(std::memory_order_seq_cst) == 0) return;
    { std::lock_guard<std::mutex> hold(mutex_); }
    changed_.notify_all();
}

bool ChangeSignal::WaitUntil(Ready ready, uint32_t ms) {
    std::unique_lock<std::mutex> hold(mutex_);
    waiters_.fetch_add(1, std::memory_order_seq_cst);
    const bool done = changed_.wait_for(hold, std::chrono::milliseconds(ms), ready);
    waiters_.fetch_sub(1, std::memory_order_relaxed);
    return done;
}

void* AllocMem(std::size_t size) {
    if (fault::AllocShouldFail()) return nullptr;
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block != nullptr) fault::CountAllocation();
    return block;
}

void FreeMem(void* pointer) {
    if (pointer == nullptr) return;
    fault::CountRelease();
    std::free(pointer);
}

}  // namespace kr
