// The reassembly states of programs that take whole frames. Frames of two programs never mix:
// each such program gets a video and audio state pair of its own from a small pool when it
// starts, and gives it back when it stops. A program that finds the pool empty shares the common
// pair with every other such program.
#pragma once

#include <cstdint>

#include "playback/frame_reassembly.h"

namespace kr {

// Pairs in the pool, besides the common pair.
constexpr int kFrameStatePairs = 4;

struct FrameStatePair {
    ReassemblyState video;
    ReassemblyState audio;
};

// Stream start: the frame buffers of the common pair and of the pool. 0; -6 when memory is
// missing (nothing is then left allocated).
int32_t FrameStatesInit();
// Releases the buffers and every binding. Call only while no worker runs.
void FrameStatesFinish();

// The stream worker's start: the common pair cleared.
void ResetCommonFrameStates();

// Program start and stop, under the module lock. Binding a program that holds a pair already
// gives it that pair afresh.
void BindFrameStates(uint32_t programId);
void UnbindFrameStates(uint32_t programId);

// The pair that frames of the program are gathered in (the common pair when it has none of its
// own); null when the stream side has no buffers. Only the stream worker uses the states.
FrameStatePair* FrameStatesFor(uint32_t programId);

// Pairs of the pool bound to programs now.
int32_t BoundFrameStates();

}  // namespace kr
