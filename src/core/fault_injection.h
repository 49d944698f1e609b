// Test hooks of the operating-system layer: make the Nth allocation, worker start or lock
// creation fail, and count what is held. Internal to the module; never exported.
#pragma once

#include <cstdint>

namespace kr::fault {

// The Nth call from now fails (1 = the next call); 0 switches the injection off.
void FailAllocAt(int32_t n);
void FailWorkerAt(int32_t n);
void FailLockAt(int32_t n);
void Reset();

// True when an injected failure was consumed since the last Reset().
bool Fired();

// Consume one countdown step; true when this call must fail. Used by the platform layer.
bool AllocShouldFail();
bool WorkerShouldFail();
bool LockShouldFail();

// Blocks handed out by AllocMem and not yet freed, and calls to AllocMem so far.
int64_t LiveAllocations();
uint64_t AllocationCount();
void CountAllocation();
void CountRelease();

}  // namespace kr::fault
