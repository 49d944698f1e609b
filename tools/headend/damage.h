// The head end's last step: a channel's loss and damage, as the options ask, so terminals can
// be tried on imperfect reception. The same seed always damages the same packets the same way.
#pragma once

#include "headend/head_end.h"

namespace krtools {

// Leaves out and changes packets of result's stream (and their times) and counts them.
void DamageStream(const MuxOptions& options, MuxResult& result);

}  // namespace krtools
