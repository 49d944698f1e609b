#include "headend/multiplex.h"

#include <algorithm>

#include "common/cissa.h"
#include "common/pcr.h"
#include "common/ts_packetiser.h"
#include "headend/ca_broadcast.h"

namespace krtools {
namespace {

// Clock packets in a stream as its instants come.
class StreamClock {
  public:
    StreamClock(uint16_t pid, TsPacketiser& packetiser, MuxResult& result)
        : pid_(pid), packetiser_(packetiser), result_(result) {}

    // The clock up to instant t, before the packets of t.
    void Reach(uint64_t t) {
        if (sent_)
            while (t > lastUs_ + kClockGapUs)
                Put(lastUs_ + kClockGapUs);
        if (!sent_ || t >= lastUs_ + kClockSpacingUs) Put(t);
    }

    // The clock up to the end, which it marks.
    void End(uint64_t durationUs) {
        Reach(durationUs);
        if (lastUs_ != durationUs) Put(durationUs);
    }

  private:
    void Put(uint64_t t) {
        packetiser_.PutClock(pid_, t * (kPcrHz / kMicrosPerSecond), result_.stream);
        result_.packetTimesUs.push_back(t);
        ++result_.clockPackets;
        lastUs_ = t;
        sent_ = true;
    }

    uint16_t pid_;
    TsPacketiser& packetiser_;
    MuxResult& result_;
    uint64_t lastUs_ = 0;
    bool sent_ = false;
};

void Count(SectionKind kind, MuxResult& result) {
    switch (kind) {
        case SectionKind::Sysinfo:
            ++result.sysinfoSections;
            break;
        case SectionKind::EpgBlock:
            ++result.epgBlockSections;
            break;
        case SectionKind::ResourceBlock:
            ++result.resourceBlockSections;
            break;
        case SectionKind::Video:
            ++result.videoSections;
            break;
        case SectionKind::Audio:
            ++result.audioSections;
            break;
        case SectionKind::Ca:
            ++result.caSections;
            break;
        case SectionKind::Psi:
            break;
    }
}

}  // namespace

void MultiplexSchedule(Schedule& schedule, const HeadEndContent& content, const MuxOptions& options,
                       MuxResult& result) {
    const uint64_t periodUs = uint64_t{std::max<uint32_t>(options.ca.cryptoPeriodMs, 1)} * 1000;
    auto sameRun = [&](const ScheduledSection& a, const ScheduledSection& b) {
        return a.pid == b.pid && a.service == b.service &&
               (a.service == kClearService || a.timeUs / periodUs == b.timeUs / periodUs);
    };
    std::vector<ScheduledSection>& sections = schedule.sections;
    TsPacketiser packetiser;
    StreamClock clock(schedule.clockPid, packetiser, result);
    std::vector<std::vector<uint8_t>> run;
    for (std::size_t i = 0; i < sections.size();) {
        const ScheduledSection& first = sections[i];
        clock.Reach(first.timeUs);
        run.clear();
        std::size_t end = i;
        for (; end < sections.size() && sameRun(sections[end], first); ++end) {
            Count(sections[end].kind, result);
            run.push_back(std::move(sections[end].section));
        }
        const std::size_t runStart = result.stream.size();
        packetiser.PutSections(first.pid, run, result.stream);
        result.packetTimesUs.resize(result.stream.size() / kTsPacketSize, first.timeUs);
        if (first.service != kClearService) {
            const uint64_t period = first.timeUs / periodUs;
            const ScrambledService& service =
                content.ca->services[static_cast<std::size_t>(first.service)];
            const AesBlock word = ControlWord(service.id, period);
            for (std::size_t at = runStart; at < result.stream.size(); at += kTsPacketSize) {
                ScramblePacket(result.stream.data() + at, word, (period & 1) != 0);
                ++result.scrambledPackets;
            }
        }
        i = end;
    }
    clock.End(schedule.durationUs);
}

}  // namespace krtools
