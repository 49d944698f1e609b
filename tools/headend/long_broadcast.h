// A broadcast of any length, made a second at a time and never held whole: the same system
// information, carousels, live programs (their clips looped) and conditional access as a
// stream GenerateStream makes, with what BroadcastPlan changes as it goes. The continuity
// counters, RTP sequence numbers, clock and damage carry on from one second to the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "headend/broadcast_plan.h"
#include "headend/head_end.h"
#include "headend/mux_options.h"

namespace krtools {

class LongBroadcast {
  public:
    // Reads the content; throws ToolError as LoadContent does.
    explicit LongBroadcast(const MuxOptions& options);
    ~LongBroadcast();

    // Appends the packets (and their times) of the next second to result and counts them
    // there; false once the end is reached, with nothing appended.
    bool Next(MuxResult& result);

    const BroadcastPlan& plan() const;
    const HeadEndContent& content() const;
    const std::vector<std::string>& warnings() const;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace krtools
