#include "intake/catch_up.h"

#include <krmodule/krmodule_ext.h>

#include <atomic>

#include "core/module_state.h"
#include "core/platform.h"
#include "intake/intake.h"

namespace kr {
namespace {

ChangeSignal caughtUpSignal;
std::atomic<int32_t> deferredWork{0};

bool CaughtUp() {
    if (IsStopping()) return true;  // ends the wait; the caller tells the two apart
    return deferredWork.load() == 0 && FreeNodeCount() == IntakeNodeCount();
}

}  // namespace

void NoteNodesReturned() {
    // A waiter is woken when it can return, not for every node of a burst: the return that
    // brings the last node home sees the pool whole, whichever worker makes it. Without a waiter
    // the counts are not read at all: they are written on other cores for every section.
    if (caughtUpSignal.HasWaiters() && CaughtUp()) caughtUpSignal.Announce();
}

void DeferWork() {
    deferredWork.fetch_add(1);
}

void DeferredWorkDone() {
    deferredWork.fetch_sub(1);
    caughtUpSignal.Announce();
}

void CatchUpStart() {
    deferredWork.store(0);
}

void CatchUpStop() {
    caughtUpSignal.Announce();
}

}  // namespace kr

int32_t krx_WaitCaughtUp(uint32_t limitMs) {
    using namespace kr;
    // A worker, or a slot called while this thread holds a library lock, would wait for itself.
    if (OnWorkerThread() || HoldsLibraryLock() || !IsInitialised()) return -1;
    const bool caughtUp = caughtUpSignal.WaitUntil(CaughtUp, limitMs);
    if (IsStopping() || !IsInitialised()) return -1;
    return caughtUp ? 0 : 1;
}
