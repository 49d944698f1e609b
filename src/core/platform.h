// The operating-system layer: the only code that touches threads, sleeping, the module lock and
// the heap. Everything else in the module goes through these functions.
#pragma once

#include <cstddef>
#include <cstdint>

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

// A worker's idle sleep: blocks for ms milliseconds, or less when work is signalled for its
// queue or the module stops. A signal given while the worker was busy ends the next wait at
// once, so no queued section waits a full idle round. true when the wait was ended by a signal
// or the stop flag, false when it lasted the whole interval.
bool WaitForWork(WorkQueue queue, uint32_t ms);

// Signals that a section was queued for the worker of this queue.
void SignalWork(WorkQueue queue);

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

// Scoped hold of the module lock, released on every path out.
class ModuleLockGuard {
  public:
    ModuleLockGuard();
    ~ModuleLockGuard();
    ModuleLockGuard(const ModuleLockGuard&) = delete;
    ModuleLockGuard& operator=(const ModuleLockGuard&) = delete;
};

// ---- Heap ---------------------------------------------------------------------------------

// Heap allocation; nullptr when memory is missing (or a test made this allocation fail).
[[nodiscard]] void* AllocMem(std::size_t size);
void FreeMem(void* pointer);

}  // namespace kr
