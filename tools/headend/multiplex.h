// The head end's second step: the schedule's sections in transport packets.
#pragma once

#include "headend/head_end.h"
#include "headend/schedule.h"

namespace krtools {

// Fills result's stream and section counts; takes the sections out of schedule.
// Consecutive sections on one PID are packed back to back, except that a scrambled service's
// sections keep packets of their own, scrambled under their crypto period's word.
void MultiplexSchedule(Schedule& schedule, const HeadEndContent& content, const MuxOptions& options,
                       MuxResult& result);

}  // namespace krtools
