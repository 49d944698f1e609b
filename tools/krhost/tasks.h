// The commands' tasks: playing a program into files, downloading resources into a directory,
// and waiting for the EPG to print it.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "session.h"

namespace krhost {

struct PlayResult {
    bool started = false;
    // The broadcast's live EPG came without the program; listed: the programs it has.
    bool notAnnounced = false;
    std::string listed;
    uint64_t videoFrames = 0;
    uint64_t videoBytes = 0;
    uint64_t audioFrames = 0;
    uint64_t audioBytes = 0;
    uint64_t rawParts = 0;
    uint64_t rawBytes = 0;
    std::string programName;
    std::string error;  // writing failed
};

// Starts the program once a live EPG that lists it is current and writes what the library
// delivers. One play task per process: the content function reaches it through a pointer.
class PlayTask : public Task {
  public:
    // Opens the outputs; throws krtools::ToolError when they cannot be created.
    PlayTask(uint32_t programId, uint32_t mode, const std::filesystem::path& out,
             const std::filesystem::path& audioOut, uint64_t maxFrames, Terminal& terminal);
    ~PlayTask() override;

    void OnLiveEpg(const LiveEpg& epg, bool announced) override;
    bool Done() const override;
    void Stop() override;
    // Closes the outputs (after the library finished) and reports.
    PlayResult Close();

    void Deliver(const StreamDelivery& delivery);

  private:
    uint32_t programId_;
    uint32_t mode_;
    uint64_t maxFrames_;
    Terminal& terminal_;
    std::FILE* video_ = nullptr;
    std::FILE* audio_ = nullptr;
    bool started_ = false;
    bool refused_ = false;
    bool notAnnounced_ = false;
    std::string listed_;
    std::string name_;
    std::atomic<uint64_t> videoFrames_{0};
    std::atomic<uint64_t> videoBytes_{0};
    std::atomic<uint64_t> audioFrames_{0};
    std::atomic<uint64_t> audioBytes_{0};
    std::atomic<bool> writeFailed_{false};
};

// One resource being assembled from its blocks.
struct ResourceProgress {
    uint32_t id = 0;
    std::string name;  // as the download EPG names it; empty until it is known
    bool started = false;
    bool notAnnounced = false;  // the broadcast's download EPG came without it
    uint32_t total = 0;
    uint32_t reported = 0;  // blocks told in the last progress event
    std::map<uint32_t, std::vector<uint8_t>> blocks;  // by block number
    bool complete = false;
    bool written = false;
    std::string error;
};

struct DownloadResult {
    std::vector<ResourceProgress> resources;
};

// Downloads resources once a download EPG that lists them is current; each file is written
// into the directory when its last block is in.
class DownloadTask : public Task {
  public:
    DownloadTask(std::vector<uint32_t> resourceIds, std::filesystem::path directory,
                 Terminal& terminal);
    ~DownloadTask() override;

    void OnDownloadEpg(const DownloadEpg& epg, bool announced) override;
    bool Done() const override;
    void Tick() override;
    void Stop() override;
    DownloadResult Close();

    void Deliver(const ResourceBlock& block);

  private:
    void WriteComplete(ResourceProgress& r);

    std::filesystem::path directory_;
    Terminal& terminal_;
    mutable std::mutex mutex_;
    std::vector<ResourceProgress> resources_;
    std::atomic<uint32_t> pendingCompletions_{0};
};

// Done once the broadcast delivered a live and a download EPG (or one of them and nothing
// more came for a while); never done when it follows the input to its end.
class EpgWaitTask : public Task {
  public:
    explicit EpgWaitTask(bool untilEnd = false) : untilEnd_(untilEnd) {}
    void OnLiveEpg(const LiveEpg&, bool announced) override;
    void OnDownloadEpg(const DownloadEpg&, bool announced) override;
    bool Done() const override;

  private:
    bool untilEnd_;
    bool live_ = false;
    bool download_ = false;
    Clock::time_point firstArrival_{};
};

}  // namespace krhost
