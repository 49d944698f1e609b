// Whether the module has caught up with what it was given: no section node out of the free
// queue, and no work a worker was asked to do on its next pass. What krx_WaitCaughtUp waits for.
#pragma once

namespace kr {

// Nodes went back to the free queue (after the intake lock was let go).
void NoteNodesReturned();

// Work a worker does later on its own (not as part of a section it takes): the waiters count it
// from DeferWork until the matching DeferredWorkDone.
void DeferWork();
void DeferredWorkDone();

// Start-up forgets the work of an earlier run; shut-down ends every wait.
void CatchUpStart();
void CatchUpStop();

}  // namespace kr
