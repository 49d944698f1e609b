// One run of the library over a transport-stream source: start-up, a reader thread that reads
// the input as the replay rules say, demultiplexes it and routes every section a filter catches
// to the library, the EPG fetch and release on the session's thread, and an orderly end.
#pragma once

#include <krmodule/krmodule.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "terminal/replay.h"
#include "terminal/section_router.h"
#include "terminal/ts_demux.h"
#include "terminal.h"
#include "ts_source.h"

namespace krhost {

// What a command does with the library; called on the session's thread only.
class Task {
  public:
    virtual ~Task() = default;
    // A live or download EPG became current: announced is false for the one current at
    // start-up (the stored live EPG), true for one the broadcast delivered.
    virtual void OnLiveEpg(const LiveEpg& /*epg*/, bool /*announced*/) {}
    virtual void OnDownloadEpg(const DownloadEpg& /*epg*/, bool /*announced*/) {}
    virtual bool Done() const = 0;
    // About ten times a second (progress).
    virtual void Tick() {}
    // Stops what the task started, before the library finishes.
    virtual void Stop() {}
};

struct SessionOptions {
    krtools::ReplayOptions replay;
    uint32_t nodes = 1024;
    double timeoutSeconds = 0;
    std::vector<uint8_t> debugCodes;
    std::optional<uint16_t> emmPid;  // given to the library before the card is announced
};

enum class EndReason : uint8_t { Done, InputEnded, Timeout, Interrupted };

struct SessionStats {
    krtools::TsDemux::Stats demux;
    uint64_t sectionsSent = 0;
    uint64_t sectionsRefused = 0;  // the library had no buffer for them (live input)
    uint64_t bytesRead = 0;
};

// Set by a signal handler: the session ends as if interrupted.
extern std::atomic<bool> interruptRequested;

class Session {
  public:
    Session(Terminal& terminal, std::unique_ptr<TsSource> source, SessionOptions options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Starts the library and the reader. Throws krtools::ToolError when the library does not
    // start.
    void Start();

    // Runs until every task is done, the input has ended and the library has finished what it
    // was given, the time-out, or an interrupt.
    EndReason Run(const std::vector<Task*>& tasks);

    // Stops the reader and finishes the library; every content call has returned after it.
    void Finish();

    const LiveEpg* live() const { return live_; }
    const DownloadEpg* download() const { return download_; }
    SessionStats stats() const;
    // What krca_T2CA_CardInserted answered at the start (0: a card is ready).
    int32_t cardResult() const { return cardResult_; }
    // The read error that ended the input early, empty when none.
    std::string readError() const;

  private:
    void ReadInput();
    void HandleNotices(const std::vector<Task*>& tasks);
    // The reader's wait for the session thread's reaction to EPG notices; true when there was
    // one to wait for.
    bool AwaitNoticesHandled();
    void FetchLive(const std::vector<Task*>& tasks, bool announced);
    void FetchDownload(const std::vector<Task*>& tasks, bool announced);

    Terminal& terminal_;
    std::unique_ptr<TsSource> source_;
    SessionOptions options_;
    std::atomic<bool> stop_{false};
    krtools::Replay replay_;
    krtools::SectionRouter router_;
    krtools::TsDemux demux_;
    std::thread reader_;
    std::atomic<bool> inputEnded_{false};
    // The session thread is reacting to a notice; guarded by noticeMutex_.
    bool handlingNotice_ = false;
    std::mutex noticeMutex_;
    std::condition_variable noticesHandled_;
    std::atomic<uint64_t> bytesRead_{0};
    mutable std::mutex statsMutex_;
    krtools::TsDemux::Stats demuxStats_;
    std::string readError_;
    bool started_ = false;
    int32_t cardResult_ = KR_CARD_NOT_READY;
    LiveEpg* live_ = nullptr;
    DownloadEpg* download_ = nullptr;
};

}  // namespace krhost
