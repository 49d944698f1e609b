#include "session.h"

#include <algorithm>

#include "card_command.h"
#include "common/file_io.h"
#include "progress.h"

namespace krhost {

std::atomic<bool> interruptRequested{false};

namespace {

using namespace std::chrono_literals;

// Reads of about 64 KiB: at 80 Mbit/s a read of 16 packets was a system call every 300 us,
// most of what reading a file cost. Pacing is per packet, so the size of a read does not
// shape what the library is given.
constexpr std::size_t kChunkBytes = 188 * 348;

}  // namespace

Session::Session(Terminal& terminal, std::unique_ptr<TsSource> source, SessionOptions options)
    : terminal_(terminal),
      source_(std::move(source)),
      options_(std::move(options)),
      replay_(options_.replay, source_->live(), stop_, [this] { return AwaitNoticesHandled(); }),
      router_(terminal_, options_.emmPid.has_value(), [this] { return replay_.OnNoBuffer(); },
              !source_->live() && !options_.replay.realtime && options_.replay.rateMbps <= 0),
      demux_([this](uint16_t pid, std::span<const uint8_t> section) {
          switch (router_.Route(pid, section)) {
              case SectionRouter::Routed::kLibrary:
                  replay_.AfterSection();
                  break;
              case SectionRouter::Routed::kProgramData:
                  replay_.AfterProgramData();
                  break;
              case SectionRouter::Routed::kNowhere:
                  break;
          }
      }) {
    demux_.UseDescrambler(&terminal_.descrambler());
    if (options_.replay.realtime || options_.replay.rateMbps > 0)
        demux_.OnPacket([this](const uint8_t* packet) { replay_.BeforePacket(packet); });
}

Session::~Session() {
    Finish();
}

void Session::Start() {
    const InitRecord record = terminal_.MakeInitRecord(options_.nodes);
    const int32_t result = kr_T2K_Init(&record);
    if (result != KR_OK)
        throw krtools::ToolError("the library did not start (kr_T2K_Init returned " +
                                 std::to_string(result) + ")");
    started_ = true;
    {
        // The commands react to the EPG current at the start (a stored one) before the first
        // packet is read, as they react to every later notice.
        std::lock_guard hold(noticeMutex_);
        handlingNotice_ = true;
    }
    for (uint8_t code : options_.debugCodes)
        (void)kr_T2K_SetDebugFlag(code, 1);
    if (options_.emmPid) (void)krca_T2CA_SetEmmPids(1, &*options_.emmPid);
    cardResult_ = AnnounceCard(terminal_);
    reader_ = std::thread([this] { ReadInput(); });
}

void Session::ReadInput() {
    std::vector<uint8_t> buffer(kChunkBytes);
    bool saidNoClock = false;
    replay_.AtStart();
    while (!stop_.load()) {
        std::optional<std::size_t> n;
        try {
            n = source_->Read(buffer);
        } catch (const krtools::ToolError& error) {
            std::lock_guard hold(statsMutex_);
            readError_ = error.what();
            break;
        }
        if (!n) break;
        if (*n == 0) continue;
        bytesRead_.fetch_add(*n);
        demux_.Feed(std::span<const uint8_t>(buffer.data(), *n));
        if (router_.Flush() > 0) replay_.AfterProgramData();
        replay_.AfterChunk();
        if (!saidNoClock && replay_.clockMissing()) {
            saidNoClock = true;
            Say("warning: the input carries no PCR; --realtime reads it in step, unpaced");
        }
        std::lock_guard hold(statsMutex_);
        demuxStats_ = demux_.stats();
    }
    demux_.Finish();
    (void)router_.Flush();
    {
        std::lock_guard hold(statsMutex_);
        demuxStats_ = demux_.stats();
    }
    replay_.AtEnd();
    inputEnded_.store(true);
    terminal_.Poke();
}

bool Session::AwaitNoticesHandled() {
    std::unique_lock hold(noticeMutex_);
    const auto settled = [this] {
        return stop_.load() || (!handlingNotice_ && !terminal_.NoticePending());
    };
    if (settled()) return false;
    noticesHandled_.wait(hold, settled);
    return !stop_.load();
}

void Session::HandleNotices(const std::vector<Task*>& tasks) {
    {
        std::lock_guard hold(noticeMutex_);
        if (!terminal_.NoticePending()) return;
        handlingNotice_ = true;
    }
    const bool live = terminal_.TakeLiveNotice();
    const bool download = terminal_.TakeDownloadNotice();
    if (live) FetchLive(tasks, true);
    if (download) FetchDownload(tasks, true);
    {
        std::lock_guard hold(noticeMutex_);
        handlingNotice_ = false;
    }
    noticesHandled_.notify_all();
}

void Session::FetchLive(const std::vector<Task*>& tasks, bool announced) {
    LiveEpg* epg = nullptr;
    if (kr_T2K_GetLiveEpg(&epg) != KR_OK || epg == nullptr) return;
    // Fetch the new one, then give back the one held before: it is no longer current.
    if (live_ != nullptr && live_ != epg) (void)kr_T2K_ReleaseLiveEpg(live_);
    live_ = epg;
    for (Task* t : tasks)
        t->OnLiveEpg(*epg, announced);
}

void Session::FetchDownload(const std::vector<Task*>& tasks, bool announced) {
    DownloadEpg* epg = nullptr;
    if (kr_T2K_GetDownloadEpg(&epg) != KR_OK || epg == nullptr) return;
    if (download_ != nullptr && download_ != epg) (void)kr_T2K_ReleaseDownloadEpg(download_);
    download_ = epg;
    for (Task* t : tasks)
        t->OnDownloadEpg(*epg, announced);
}

EndReason Session::Run(const std::vector<Task*>& tasks) {
    const auto begin = Clock::now();
    const auto deadline = options_.timeoutSeconds > 0
                              ? begin + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(options_.timeoutSeconds))
                              : Clock::time_point::max();
    // An EPG current before the broadcast sends one (the stored live EPG).
    FetchLive(tasks, false);
    FetchDownload(tasks, false);
    {
        std::lock_guard hold(noticeMutex_);
        handlingNotice_ = false;
    }
    noticesHandled_.notify_all();
    for (;;) {
        HandleNotices(tasks);
        for (Task* t : tasks)
            t->Tick();
        if (std::all_of(tasks.begin(), tasks.end(), [](const Task* t) { return t->Done(); }))
            return EndReason::Done;
        if (interruptRequested.load()) return EndReason::Interrupted;
        const auto now = Clock::now();
        if (now >= deadline) return EndReason::Timeout;
        // The reader ends after the library and the commands caught up with the whole input.
        if (inputEnded_.load() && !terminal_.NoticePending()) return EndReason::InputEnded;
        terminal_.Wait(std::min(now + 100ms, deadline));
    }
}

void Session::Finish() {
    {
        std::lock_guard hold(noticeMutex_);
        stop_.store(true);
    }
    noticesHandled_.notify_all();
    if (reader_.joinable()) reader_.join();
    if (started_) {
        StopCardWatch(terminal_);
        (void)kr_T2K_Finish();
        started_ = false;
        live_ = nullptr;
        download_ = nullptr;
    }
}

SessionStats Session::stats() const {
    SessionStats s;
    {
        std::lock_guard hold(statsMutex_);
        s.demux = demuxStats_;
    }
    s.sectionsSent = router_.sent();
    s.sectionsRefused = router_.refused();
    s.bytesRead = bytesRead_.load();
    return s;
}

std::string Session::readError() const {
    std::lock_guard hold(statsMutex_);
    return readError_;
}

}  // namespace krhost
