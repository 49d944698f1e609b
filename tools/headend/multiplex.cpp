#include "headend/multiplex.h"

#include <algorithm>

#include "common/cissa.h"
#include "common/pcr.h"
#include "common/ts_packetiser.h"
#include "headend/ca_broadcast.h"

namespace krtools {
namespace {

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

Multiplexer::Multiplexer(uint16_t clockPid, const HeadEndContent& content,
                         const MuxOptions& options)
    : clockPid_(clockPid),
      content_(content),
      periodUs_(uint64_t{std::max<uint32_t>(options.ca.cryptoPeriodMs, 1)} * 1000) {}

void Multiplexer::PutClock(uint64_t t, MuxResult& result) {
    packetiser_.PutClock(clockPid_, t * (kPcrHz / kMicrosPerSecond), result.stream);
    result.packetTimesUs.push_back(t);
    ++result.clockPackets;
    clockUs_ = t;
    clockSent_ = true;
}

// The clock up to instant t, before the packets of t.
void Multiplexer::Clock(uint64_t t, MuxResult& result) {
    if (clockSent_)
        while (t > clockUs_ + kClockGapUs)
            PutClock(clockUs_ + kClockGapUs, result);
    if (!clockSent_ || t >= clockUs_ + kClockSpacingUs) PutClock(t, result);
}

void Multiplexer::End(uint64_t durationUs, MuxResult& result) {
    Clock(durationUs, result);
    if (clockUs_ != durationUs) PutClock(durationUs, result);
}

void Multiplexer::Put(std::vector<ScheduledSection>& sections, MuxResult& result) {
    auto sameRun = [&](const ScheduledSection& a, const ScheduledSection& b) {
        return a.pid == b.pid && a.service == b.service &&
               (a.service == kClearService || a.timeUs / periodUs_ == b.timeUs / periodUs_);
    };
    for (std::size_t i = 0; i < sections.size();) {
        const ScheduledSection& first = sections[i];
        Clock(first.timeUs, result);
        run_.clear();
        std::size_t end = i;
        for (; end < sections.size() && sameRun(sections[end], first); ++end) {
            Count(sections[end].kind, result);
            run_.push_back(std::move(sections[end].section));
        }
        const std::size_t runStart = result.stream.size();
        packetiser_.PutSections(first.pid, run_, result.stream);
        result.packetTimesUs.resize(result.stream.size() / kTsPacketSize, first.timeUs);
        if (first.service != kClearService) {
            const uint64_t period = first.timeUs / periodUs_;
            const ScrambledService& service =
                content_.ca->services[static_cast<std::size_t>(first.service)];
            const AesBlock word = ControlWord(service.id, period);
            for (std::size_t at = runStart; at < result.stream.size(); at += kTsPacketSize) {
                ScramblePacket(result.stream.data() + at, word, (period & 1) != 0);
                ++result.scrambledPackets;
            }
        }
        i = end;
    }
}

void MultiplexSchedule(Schedule& schedule, const HeadEndContent& content, const MuxOptions& options,
                       MuxResult& result) {
    Multiplexer multiplexer(schedule.clockPid, content, options);
    multiplexer.Put(schedule.sections, result);
    multiplexer.End(schedule.durationUs, result);
}

}  // namespace krtools
