// What a long broadcast changes as it goes, as a function of its time: the head end that sends
// it and a terminal that checks what it received work it out alike from the same options.
// Every epgEveryS seconds a new EPG version (programs renamed, each day's schedule moved to the
// next day, icons passed round, a resource taken out of the file EPG and put back); every
// mailEveryS seconds a burst of new mails; every cardCommandEveryS seconds a card command with
// the next rating; every textEveryS seconds a new text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/epg_container.h"
#include "headend/mux_options.h"

namespace krtools {

// How long the EMM of one event is repeated once a second after it starts, so that a terminal
// that was off or without a card for a while still gets it.
constexpr uint64_t kEventAirUs = 60 * 1000000ull;

struct PlannedMail {
    uint32_t id = 0;
    std::string title;
    std::string content;
};

class BroadcastPlan {
  public:
    // base: the EPG directory's files as read; baseVersion: the version they announce.
    BroadcastPlan(const MuxOptions& options, std::vector<EpgFile> base, std::string baseVersion);

    uint64_t durationUs() const { return durationUs_; }

    // EPG versions: 0 is the directory's own, n starts at n * epgEveryS.
    uint32_t EpgVersionAt(uint64_t timeUs) const;
    uint64_t EpgVersionStartUs(uint32_t version) const;
    std::string VersionStamp(uint32_t version) const;
    std::vector<EpgFile> EpgFilesOf(uint32_t version) const;
    // The name version n gives a program named name in the directory (at most 31 bytes).
    static std::string ProgramName(const std::string& name, uint32_t version);

    // Events of a kind numbered from 1, event n at n * every; 0 when there is none yet.
    uint64_t MailEventAt(uint64_t timeUs) const { return EventAt(timeUs, options_.mailEveryS); }
    uint64_t CommandEventAt(uint64_t timeUs) const {
        return EventAt(timeUs, options_.cardCommandEveryS);
    }
    uint64_t TextEventAt(uint64_t timeUs) const { return EventAt(timeUs, options_.textEveryS); }
    uint64_t MailEventStartUs(uint64_t event) const {
        return event * options_.mailEveryS * 1000000;
    }
    uint64_t CommandEventStartUs(uint64_t event) const {
        return event * options_.cardCommandEveryS * 1000000;
    }
    uint64_t TextEventStartUs(uint64_t event) const {
        return event * options_.textEveryS * 1000000;
    }

    std::vector<PlannedMail> MailsOf(uint64_t event) const;
    // The rating card command n sets (never above what the card starts with, never below the
    // programs' 12, so that nothing stops playing because of it) and its sequence number.
    static uint8_t CommandRating(uint64_t event) {
        return static_cast<uint8_t>(12 + 2 * (event % 4));
    }
    static uint32_t CommandSequence(uint64_t event) { return static_cast<uint32_t>(1 + event); }
    static uint32_t TextId(uint64_t event) { return static_cast<uint32_t>(100 + event); }
    static std::string Text(uint64_t event) { return "Notice " + std::to_string(event); }

  private:
    static uint64_t EventAt(uint64_t timeUs, uint32_t everyS) {
        return everyS == 0 ? 0 : timeUs / (uint64_t{everyS} * 1000000);
    }

    MuxOptions options_;
    std::vector<EpgFile> base_;
    std::string baseVersion_;
    uint64_t durationUs_;
};

}  // namespace krtools
