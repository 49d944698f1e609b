// What krhost soak checks, fed from every thread that sees something: the reader (the stream's
// clock, the card's pulls, the kill instants), the library's workers (frames, messages, mails,
// control words) and the session thread (EPGs, mail lists, the rating, the process's size).
// Each check counts what passed and what failed, with the first failure in words.
#pragma once

#include <krmodule/krmodule.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "card/virtual_card.h"
#include "headend/long_broadcast.h"
#include "terminal.h"
#include "terminal/ts_demux.h"

namespace krhost {

struct SoakPlan {
    const krtools::LongBroadcast* broadcast = nullptr;  // what the head end sends
    uint64_t pullEveryUs = 0;                           // 0: the card stays in
    uint64_t pullForUs = 0;
    uint64_t killEveryUs = 0;  // 0: one session
    uint64_t seed = 1;
    uint64_t warmupUs = 0;
    uint64_t memoryBoundKib = 1024;
    uint64_t cryptoPeriodUs = 10000000;
    std::set<uint32_t> scenarioMails;  // the mails the scenario sends all along
};

struct ProcessSize {
    uint64_t rssKib = 0;
    uint64_t fds = 0;
    uint64_t threads = 0;
};

struct CheckCount {
    std::string name;
    uint64_t passed = 0;
    uint64_t failed = 0;
    std::string firstFailure;
};

struct SoakReport {
    uint64_t broadcastUs = 0;
    uint64_t wallMs = 0;
    uint64_t bytes = 0;
    uint64_t videoFrames = 0;
    uint64_t audioFrames = 0;
    uint64_t versionsAnnounced = 0;
    uint64_t versionsRead = 0;
    uint64_t mailsListed = 0;
    uint64_t pulls = 0;
    uint64_t kills = 0;
    uint64_t controlWords = 0;
    uint64_t cardBusyUs = 0;
    ProcessSize startSize;
    ProcessSize warmSize;
    ProcessSize finalSize;
    uint64_t peakRssKib = 0;
    uint64_t memoryBoundKib = 0;
};

class SoakChecks final : public TerminalObserver {
  public:
    SoakChecks(const SoakPlan& plan, krtools::VirtualCard& card,
               std::function<ProcessSize()> measure);

    // The clear and the scrambled program the run plays.
    std::vector<uint32_t> programIds() const;

    // Reader thread: before each read, the card's pulls and insertions that are due, and the
    // kill; after it, the packets' clock.
    void BeforeRead(Terminal& terminal);
    void OnPackets(std::span<const uint8_t> packets);

    // Stream worker.
    void OnDelivery(const StreamDelivery& delivery);

    // Session thread.
    void OnSessionStart();
    void OnSessionEnd(const krtools::TsDemux::Stats& demux);
    void OnLiveEpg(const LiveEpg& epg, bool announced, bool firstAfterKill);
    void OnNoStoredEpg();
    void OnTick();
    bool KillDue() const { return killDue_.load(); }

    // The library's slots.
    void OnMessage(uint32_t messageId, const char* text) override;
    void OnMail(uint32_t state) override;
    void OnDescrambler(const DescramblerRecord& record) override;

    // The checks that can only be made at the end, and the figures.
    SoakReport Finish();
    std::vector<CheckCount> Counts() const;
    bool AllPassed() const;

  private:
    enum Check : std::size_t {
        kClipFrames,
        kNoFrameWithoutCard,
        kMessage4,
        kResumes,
        kEpgAsAnnounced,
        kEveryVersionRead,
        kStoreWhole,
        kMailOnce,
        kEveryMail,
        kMailStoreRoom,
        kRating,
        kWordsInTime,
        kMemory,
        kFiles,
        kThreads,
        kCheckCount
    };
    void Pass(Check check);
    void Fail(Check check, const std::string& what);
    bool FromClip(uint16_t kind, const uint8_t* frame, std::size_t size) const;
    void OnClockPacket(std::span<const uint8_t> packet);
    void CheckMails(uint64_t now);
    void CheckRating(uint64_t now);
    void CatchUp();
    void ScheduleKill(uint64_t now);

    const SoakPlan plan_;
    const krtools::BroadcastPlan& bp_;
    krtools::VirtualCard& card_;
    std::function<ProcessSize()> measure_;
    uint32_t clearProgram_ = 0;
    uint32_t scrambledProgram_ = 0;
    // The clips' frames by size.
    std::map<std::size_t, std::vector<std::vector<uint8_t>>> videoFrames_;
    std::map<std::size_t, std::vector<std::vector<uint8_t>>> audioFrames_;
    std::map<uint16_t, uint32_t> scrambledPids_;  // PID -> service id
    uint64_t periodUs_;

    mutable std::mutex mutex_;
    std::array<CheckCount, kCheckCount> checks_;

    // The stream's clock, from its PCR, in microseconds from its start.
    std::atomic<uint64_t> nowUs_{0};
    std::array<uint8_t, 188> carry_{};
    std::size_t carried_ = 0;
    std::optional<uint16_t> clockPid_;
    std::optional<uint64_t> lastPcr_;
    uint64_t pcrTicks_ = 0;
    std::atomic<uint64_t> bytes_{0};

    // The card, on the broadcast's clock: when it is free again.
    std::atomic<uint64_t> cardFreeUs_{0};
    std::map<uint32_t, uint64_t> lastWordPeriod_;  // service id -> latest period with its word
    uint64_t controlWords_ = 0;

    // Pulls.
    std::atomic<bool> cardOut_{false};
    uint64_t nextPullUs_ = 0;
    uint64_t insertUs_ = 0;
    uint64_t lastInsertUs_ = 0;
    bool message4_ = false;
    uint64_t framesWhileOut_ = 0;
    bool awaitingResume_ = false;
    uint64_t pulls_ = 0;

    // Kills.
    std::atomic<bool> killDue_{false};
    uint64_t nextKillUs_ = UINT64_MAX;
    uint64_t random_;
    uint64_t kills_ = 0;
    bool epgNotified_ = false;

    // EPG, mails, rating.
    std::set<uint32_t> versionsRead_;
    std::set<uint32_t> mailsListed_;
    std::set<uint32_t> mailsDeleted_;
    uint64_t lastMailCheckUs_ = 0;
    uint64_t ratingChecked_ = 0;

    uint64_t videoCount_ = 0;
    uint64_t audioCount_ = 0;

    // The process.
    std::optional<ProcessSize> warm_;
    ProcessSize final_;
    uint64_t peakRss_ = 0;
};

}  // namespace krhost
