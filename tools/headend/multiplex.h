// The head end's second step: the schedule's sections in transport packets, with the programme
// clock that times them.
#pragma once

#include "common/ts_packetiser.h"
#include "headend/head_end.h"
#include "headend/schedule.h"

namespace krtools {

// Packets on the clock's PID time the stream: one before the packets of an instant at least this
// long after the last one...
constexpr uint64_t kClockSpacingUs = 10000;
// ...and one at least this often, and one at the end of the stream.
constexpr uint64_t kClockGapUs = 20000;

// The multiplexer of one stream, section run by section run: the continuity counters and the
// clock carry on from one call to the next, so a long stream can be made piece by piece.
class Multiplexer {
  public:
    Multiplexer(uint16_t clockPid, const HeadEndContent& content, const MuxOptions& options);
    // Appends the packets of sections (in the order they are sent, all at or after the last
    // instant put) to result; takes the sections' bytes.
    void Put(std::vector<ScheduledSection>& sections, MuxResult& result);
    // The clock up to the end, which it marks.
    void End(uint64_t durationUs, MuxResult& result);

  private:
    void Clock(uint64_t t, MuxResult& result);
    void PutClock(uint64_t t, MuxResult& result);

    uint16_t clockPid_;
    const HeadEndContent& content_;
    uint64_t periodUs_;
    TsPacketiser packetiser_;
    uint64_t clockUs_ = 0;
    bool clockSent_ = false;
    std::vector<std::vector<uint8_t>> run_;
};

// Fills result's stream, packet times and section counts; takes the sections out of schedule.
// Consecutive sections on one PID are packed back to back, except that a scrambled service's
// sections keep packets of their own, scrambled under their crypto period's word.
void MultiplexSchedule(Schedule& schedule, const HeadEndContent& content, const MuxOptions& options,
                       MuxResult& result);

}  // namespace krtools
