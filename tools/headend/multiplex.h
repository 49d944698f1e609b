// The head end's second step: the schedule's sections in transport packets, with the programme
// clock that times them.
#pragma once

#include "headend/head_end.h"
#include "headend/schedule.h"

namespace krtools {

// Packets on the clock's PID time the stream: one before the packets of an instant at least this
// long after the last one...
constexpr uint64_t kClockSpacingUs = 10000;
// ...and one at least this often, and one at the end of the stream.
constexpr uint64_t kClockGapUs = 20000;

// Fills result's stream, packet times and section counts; takes the sections out of schedule.
// Consecutive sections on one PID are packed back to back, except that a scrambled service's
// sections keep packets of their own, scrambled under their crypto period's word.
void MultiplexSchedule(Schedule& schedule, const HeadEndContent& content, const MuxOptions& options,
                       MuxResult& result);

}  // namespace krtools
