// The head end's last step: a channel's loss and damage, as the options ask, so terminals can
// be tried on imperfect reception. The same seed always damages the same packets the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "headend/head_end.h"

namespace krtools {

// A channel's damage carried on over a stream made piece by piece: the same packets are hit
// as when the stream is damaged whole.
class StreamDamage {
  public:
    explicit StreamDamage(const MuxOptions& options);
    // Leaves out and changes the packets of result's stream from packet first on.
    void Apply(MuxResult& result, std::size_t first = 0);

  private:
    uint64_t state_;
    uint64_t drop_;
    uint64_t corrupt_;
    bool active_;
};

// Leaves out and changes packets of result's stream (and their times) and counts them.
void DamageStream(const MuxOptions& options, MuxResult& result);

}  // namespace krtools
