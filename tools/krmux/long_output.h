// krmux's long broadcast: made a second at a time and written or sent as it is made.
#pragma once

#include <atomic>

#include "headend/mux_options.h"

namespace krmux {

// Writes the broadcast the options describe to the command's output, until its end or stop,
// and reports on standard error; the exit status. Throws krtools::ToolError as the short path
// does.
int RunLong(const krtools::MuxCommand& command, const std::atomic<bool>& stop);

}  // namespace krmux
