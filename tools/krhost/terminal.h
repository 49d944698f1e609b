// The host side of the library: the 18 slots of HostCallbacks over the terminal's software
// demultiplexer filters, its store file, its card slot, the console and the EPG update notices.
// Slots are called from the library's workers and from the threads that call into it.
#pragma once

#include <krmodule/krmodule.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "card_reader.h"
#include "common/cissa.h"
#include "terminal/section_filter.h"
#include "store_file.h"

namespace krhost {

using Clock = std::chrono::steady_clock;

struct TerminalConfig {
    bool debug = false;           // print the library's diagnostics
    uint32_t frequency = 626000;  // kHz
    StoreFile* store = nullptr;
    CardReader* card = nullptr;  // the card slot while the terminal lives; null: no slot at all
};

// One terminal per process: the slots reach it through a process-wide pointer while it lives.
class Terminal {
  public:
    explicit Terminal(TerminalConfig config);
    ~Terminal();
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    InitRecord MakeInitRecord(uint32_t sectionBuffers) const;

    krtools::SectionFilterTable& filters() { return filters_; }
    // The control words the library set, which the session's demultiplexer descrambles with.
    const krtools::DescramblerTable& descrambler() const { return descrambler_; }
    const TerminalConfig& config() const { return config_; }

    // Something happened the session waits for: an EPG notice, a content delivery, the end of
    // the input. Wakes Wait.
    void Poke();
    // Waits until poked or until the deadline; returns at once when poked since the last call.
    void Wait(Clock::time_point deadline);

    // EPG notices not yet handled, taken (and cleared) by the session.
    bool TakeLiveNotice() { return liveNotice_.exchange(false); }
    bool TakeDownloadNotice() { return downloadNotice_.exchange(false); }
    bool NoticePending() const { return liveNotice_.load() || downloadNotice_.load(); }

    // The last numbered message shown ("message 4: no card"), empty when none was.
    std::string LastMessage() const;
    void NoteMessage(std::string text);

    // The datagram filters the library sets on this thread between these two calls (while the
    // host starts a program) carry the program's frames alone: what the library does with their
    // sections sets no filter and no key, so a file's reader need not wait after each one.
    void BeginProgramStart();
    void EndProgramStart();
    bool IsProgramDataFilter(uint32_t requestId) const;

    uint64_t storeWriteFailures() const { return storeFailures_.load(); }

    // How long a scrambled program takes to open: when the first ECM reached the library,
    // when its control words came back, when the first frame went out. The first time counts.
    enum class Milestone : uint8_t { FirstEcm, FirstKeys, FirstFrame };
    void Note(Milestone milestone);
    std::optional<Clock::time_point> When(Milestone milestone) const;

    // Slot bodies.
    void OnEpgUpdate(uint32_t what);
    int32_t OnSetFilter(uint32_t requestId, const SectionFilterParams& params);
    void OnStopFilter(uint32_t requestId);
    void OnWriteStore(uint32_t* length, const uint8_t* source);
    void OnReadStore(uint32_t* length, uint8_t* destination);
    void OnSetDescrambler(const DescramblerRecord& record);
    void OnDebugPrint(const char* text);

  private:
    TerminalConfig config_;
    krtools::SectionFilterTable filters_;
    krtools::DescramblerTable descrambler_;
    std::mutex mutex_;
    std::condition_variable poked_;
    bool pokedFlag_ = false;
    std::atomic<bool> liveNotice_{false};
    std::atomic<bool> downloadNotice_{false};
    std::atomic<uint64_t> storeFailures_{0};
    mutable std::mutex messageMutex_;
    std::string lastMessage_;
    std::array<std::atomic<int64_t>, 3> milestones_{};  // clock ticks; 0: not yet
    mutable std::mutex dataFiltersMutex_;
    std::optional<std::thread::id> startingOn_;
    std::set<uint32_t> programDataFilters_;
};

}  // namespace krhost
