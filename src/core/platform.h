// The operating-system layer: the only code that touches threads, sleeping, the module lock and
// the heap. Everything else in the module goes through these functions.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace kr {

// ---- Workers ------------------------------------------------------------------------------

using WorkerRoutine = uint32_t (*)(void* argument);

struct WorkerHandle {
    int32_t slot = -1;
};

// Starts a thread running routine(argument). 0, or -5 when the thread cannot be created.
// Every worker started here is joined by JoinWorkers().
[[nodiscard]] int32_t CreateWorker(WorkerHandle* handle, uint32_t ignored, WorkerRoutine routine,
                                   void* argument);

// Joins every worker started since the last call; returns how many were joined.
int32_t JoinWorkers();

// Workers currently running their routine (started and not yet returned).
int32_t LiveWorkerCount();

// A worker calls this once it has entered its loop; WaitWorkersReady() waits for it.
void WorkerReady();

// Waits until every worker started since the last JoinWorkers() has called WorkerReady() or has
// ended, for at most timeoutMs. true when they all did.
bool WaitWorkersReady(uint32_t timeoutMs);

// ---- Stop flag ----------------------------------------------------------------------------

// The thread stop flag: 1 at load, cleared by start-up, set by shut-down.
bool IsStopping();
void SetStopping(bool stopping);

// ---- Idle waits ---------------------------------------------------------------------------

// The four consumer queues, one per worker.
enum class WorkQueue : uint8_t { Sys = 0, Stream = 1, Ca = 2, Ecm = 3 };
constexpr int kWorkQueueCount = 4;

// Tells whether work is waiting for a worker (called by the worker itself, with no lock held).
using WorkCheck = bool (*)(WorkQueue queue);

// A worker's idle sleep: blocks for ms milliseconds, or less when work is signalled for its
// queue or the module stops. A signal given while the worker was busy ends the next wait at
// once, so no queued section waits a full idle round. true when the wait was ended by a signal
// or the stop flag, false when it lasted the whole interval.
//
// With a check, the worker announces itself idle before it asks the check once more; a
// producer that calls SignalWorkIfIdle after it made work visible then either is seen by the
// check or sees the worker idle, so a producer pays for a wake-up only when the worker sleeps.
bool WaitForWork(WorkQueue queue, uint32_t ms, WorkCheck check = nullptr);

// Signals that a section was queued for the worker of this queue.
void SignalWork(WorkQueue queue);

// Signals only when the worker of this queue is in (or entering) an idle wait.
void SignalWorkIfIdle(WorkQueue queue);

// Ends every idle wait now (used at shut-down, after the stop flag is set).
void WakeAllWorkers();

void SleepMs(uint32_t ms);

// ---- The module lock ----------------------------------------------------------------------

// Every lock the module creates is the one process-wide re-entrant module lock: holders of
// different handles exclude one another, and a thread may take it again while it holds it.
struct LockHandle {
    void* mutex = nullptr;
};

[[nodiscard]] int32_t CreateLock(LockHandle* lock, uint32_t ignored);  // 0, or -5
int32_t CloseLock(LockHandle* lock);
int32_t Lock(LockHandle* lock);    // waits without time limit
int32_t Unlock(LockHandle* lock);  // releases one level of ownership

// True while this thread holds the module lock (through a guard or Lock).
bool HoldsModuleLock();
// Whether this thread holds the module lock or a slow lock: a host function called from inside
// the library then runs under it, and nothing it calls may wait for another thread.
bool HoldsLibraryLock();
// Bookkeeping of the slow locks for HoldsLibraryLock.
void NoteSlowLockTaken() noexcept;
void NoteSlowLockReleased() noexcept;

// Scoped hold of the module lock, released on every path out.
class ModuleLockGuard {
  public:
    ModuleLockGuard();
    ~ModuleLockGuard();
    ModuleLockGuard(const ModuleLockGuard&) = delete;
    ModuleLockGuard& operator=(const ModuleLockGuard&) = delete;
};

// ---- Short locks --------------------------------------------------------------------------

// The span of memory two cores cannot write at once without passing it between them.
constexpr std::size_t kCacheLine = 64;

// A lock for a few instructions: the section intake tables, the section queues, the EPG
// hand-over, the frame states. Never held while the host is called, while a parse runs or while
// another lock is taken (so it can never be part of a lock-order cycle), with one exception: the
// locks of section intake, which take no lock but each other's in one order (the intake lock or
// the deliveries' set-aside lock, then a consumer queue's, then the free queue's). Not
// re-entrant. A waiter spins briefly, then yields its time slice.
//
// A SpinLock sits on the cache line of the data it guards, so that one line, not two, travels
// between the cores when another core takes it; a ShortLock fills a line of its own, so that
// taking it never drags a neighbour's data between the cores, nor theirs it.
class SpinLock {
  public:
    void lock() noexcept;
    void unlock() noexcept;

  private:
    std::atomic<bool> held_{false};
};

class alignas(kCacheLine) ShortLock : public SpinLock {};

// A value on cache lines of its own: for one that a thread writes often while another core reads
// its neighbours, or the other way round.
template <typename T>
struct alignas(kCacheLine) OwnCacheLine {
    T value{};
};

class ShortLockGuard {
  public:
    explicit ShortLockGuard(SpinLock& lock) : lock_(lock) { lock_.lock(); }
    ~ShortLockGuard() { lock_.unlock(); }
    ShortLockGuard(const ShortLockGuard&) = delete;
    ShortLockGuard& operator=(const ShortLockGuard&) = delete;

  private:
    SpinLock& lock_;
};

// ---- Slow locks ---------------------------------------------------------------------------

// A lock for work that waits on a device: a card transaction takes tens to hundreds of
// milliseconds on a real card. Waiters sleep. It is not the module lock, so nothing that takes
// only the module lock or a short lock (the host's delivery thread, its EPG reads, the program
// and download calls, the workers' filter changes) ever waits for the device. Re-entrant, like
// the module lock.
class SlowLock {
  public:
    void lock() {
        mutex_.lock();
        NoteSlowLockTaken();
    }
    void unlock() {
        NoteSlowLockReleased();
        mutex_.unlock();
    }

  private:
    std::recursive_mutex mutex_;
};

using SlowLockGuard = std::lock_guard<SlowLock>;

// Lets a stop wait until a worker is no longer handing the host content of a stopped request.
// The worker enters the gate with the request id before it checks that the request still runs,
// and leaves it after the host's function returned; a stopper that freed the request first and
// then waits at the gate knows that no call for it runs afterwards. Each gate fills a cache line
// of its own: every worker writes its gate twice for every section.
class alignas(kCacheLine) DeliveryGate {
  public:
    void Enter(uint32_t requestId) noexcept;
    void Leave() noexcept;
    // Waits while the worker delivers for requestId. Returns at once on the worker's own thread
    // (a host function that stops its own program).
    void WaitWhileBusyWith(uint32_t requestId);
    bool OwnedByThisThread() const noexcept;

  private:
    std::atomic<uint32_t> busy_{0};
    std::atomic<int32_t> waiters_{0};
};

// Lets a host thread wait for a state the workers bring about (the library caught up with what
// it was given) without any lock that a worker needs. Announcing a change costs one atomic load
// while nobody waits.
class ChangeSignal {
  public:
    using Ready = bool (*)();
    // Call after the change is visible to ready().
    void Announce() noexcept;
    // Whether a thread waits; false means an announcement made now would wake nobody. Sequentially
    // consistent like Announce, so a caller may skip working out whether to announce.
    bool HasWaiters() const noexcept { return waiters_.load(std::memory_order_seq_cst) != 0; }
    // Waits until ready() or for ms milliseconds; ready()'s last answer.
    bool WaitUntil(Ready ready, uint32_t ms);

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::atomic<int32_t> waiters_{0};
};

// True on a thread that the module started as a worker.
bool OnWorkerThread();

// ---- Heap ---------------------------------------------------------------------------------

// Heap allocation; nullptr when memory is missing (or a test made this allocation fail).
[[nodiscard]] void* AllocMem(std::size_t size);
void FreeMem(void* pointer);

}  // namespace kr
