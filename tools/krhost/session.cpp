#include "session.h"

#include <algorithm>

#include "card_command.h"
#include "common/file_io.h"
#include "progress.h"

namespace krhost {

std::atomic<bool> interruptRequested{false};

namespace {

using namespace std::chrono_literals;
// At the end of a file, how long the keys still awaited may take through the library and the
// card.
constexpr auto kKeyWaitAtEnd = 1000ms;

constexpr std::size_t kChunkBytes = 188 * 16;
// At the end of the input the library has finished its queues once nothing happened for this
// long; it never waits longer than the drain limit.
constexpr auto kQuietTime = 300ms;
constexpr auto kDrainLimit = 5s;
// A notice holds the input at most this long.
constexpr auto kNoticeHoldLimit = 2s;
// How long the first system-information section of a file may take to change the filters.
constexpr auto kStartReactionLimit = 1000ms;
// How long a section waits for a free library buffer before it is given up.
constexpr auto kNoNodeLimit = 5s;

}  // namespace

Session::Session(Terminal& terminal, std::unique_ptr<TsSource> source, SessionOptions options)
    : terminal_(terminal),
      source_(std::move(source)),
      options_(std::move(options)),
      demux_([this](uint16_t pid, std::span<const uint8_t> section) {
          // A CA PID given on the command line stands; otherwise the multiplex says where.
          if (!options_.emmPid) caTable_.OnSection(pid, section);
          // Empty soon after the start: the section path then pays nothing for the wait.
          const bool awaiting = !awaitingFirstSection_.empty();
          const uint64_t changesBefore = awaiting ? terminal_.filterChanges() : 0;
          bool firstOfStartFilter = false;
          for (uint32_t id : terminal_.filters().Match(pid, section)) {
              if (awaiting && awaitingFirstSection_.erase(id) != 0) firstOfStartFilter = true;
              if (EcmPacing::IsEcm(section)) terminal_.Note(Terminal::Milestone::FirstEcm);
              if (ecmPacing_) {
                  ecmPacing_->Pass(pid, section, [&] { SendSection(id, section); });
              } else {
                  SendSection(id, section);
              }
          }
          if (firstOfStartFilter) AwaitFilterChange(changesBefore);
      }) {
    demux_.UseDescrambler(&terminal_.descrambler());
    // A file is read faster than it was broadcast: the packets of a service the library
    // descrambles wait for their keys instead of being lost.
    if (!source_->live()) {
        ecmPacing_.emplace(terminal_.descrambler());
        demux_.HoldForKeys(kKeyWaitAtEnd,
                           [this](uint16_t pid) { return terminal_.filters().WantsPid(pid); });
    }
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
    if (!source_->live()) {
        const std::vector<uint32_t> ids = terminal_.filters().ids();
        awaitingFirstSection_.insert(ids.begin(), ids.end());
    }
    for (uint8_t code : options_.debugCodes)
        (void)kr_T2K_SetDebugFlag(code, 1);
    if (options_.emmPid) (void)krca_T2CA_SetEmmPids(1, &*options_.emmPid);
    cardResult_ = AnnounceCard(terminal_);
    reader_ = std::thread([this] { ReadInput(); });
}

void Session::SendSection(uint32_t requestId, std::span<const uint8_t> section) {
    const auto giveUp = Clock::now() + kNoNodeLimit;
    for (;;) {
        const int32_t result =
            kr_T2K_SendRetrieved(static_cast<int32_t>(requestId), 0, section.data(),
                                 static_cast<int32_t>(section.size()));
        if (result != KR_NO_NODE) {
            if (result == KR_OK) {
                sent_.fetch_add(1);
                terminal_.NoteActivity();
            }
            return;
        }
        // Every buffer is queued: the workers are behind. Wait for them as a tuner's
        // buffer would, rather than drop the section.
        if (stop_.load() || Clock::now() >= giveUp) {
            refused_.fetch_add(1);
            return;
        }
        std::this_thread::sleep_for(1ms);
    }
}

// What the library asks for first (its system information) says what else to ask for: the
// EPG, the service tables. A file passes by faster than the library's workers may run when the
// machine is busy, so the reader lets the library answer the first of those sections before
// going on, as a tuner's stream would have given it time to.
void Session::AwaitFilterChange(uint64_t since) {
    const auto giveUp = Clock::now() + kStartReactionLimit;
    while (terminal_.filterChanges() == since && !stop_.load() && Clock::now() < giveUp)
        std::this_thread::sleep_for(1ms);
}

namespace {
constexpr auto kPaceStep = std::chrono::milliseconds(4);
}

void Session::ReadInput() {
    std::vector<uint8_t> buffer(kChunkBytes);
    const bool paced = options_.rateMbps > 0 && !source_->live();
    auto start = Clock::now();
    auto lastPause = start;
    uint64_t paced_bytes = 0;
    while (!stop_.load()) {
        // A command reacts to an EPG notice (starts a program, a download) before more input
        // flows, so that what follows the announcement reaches what it started.
        if (terminal_.NoticePending() || handlingNotice_.load()) {
            const auto held = Clock::now();
            while (!stop_.load() && (terminal_.NoticePending() || handlingNotice_.load()) &&
                   Clock::now() - held < kNoticeHoldLimit)
                std::this_thread::sleep_for(1ms);
            start += Clock::now() - held;
        }
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
        if (paced) {
            paced_bytes += *n;
            const auto due =
                start + std::chrono::microseconds(static_cast<int64_t>(
                            static_cast<double>(paced_bytes) * 8.0 / options_.rateMbps));
            // Paced in steps of a few milliseconds, as a demultiplexer's buffers fill, not per
            // read: one wake-up per step instead of one per chunk.
            if (due - lastPause >= kPaceStep) {
                std::this_thread::sleep_until(due);
                lastPause = due;
            }
        }
        demux_.Feed(std::span<const uint8_t>(buffer.data(), *n));
        std::lock_guard hold(statsMutex_);
        demuxStats_ = demux_.stats();
    }
    demux_.Finish();
    {
        std::lock_guard hold(statsMutex_);
        demuxStats_ = demux_.stats();
    }
    inputEnded_.store(true);
    terminal_.Poke();
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
    std::optional<Clock::time_point> drainStart;
    for (;;) {
        if (terminal_.NoticePending()) {
            handlingNotice_.store(true);
            const bool live = terminal_.TakeLiveNotice();
            const bool download = terminal_.TakeDownloadNotice();
            if (live) FetchLive(tasks, true);
            if (download) FetchDownload(tasks, true);
            handlingNotice_.store(false);
        }
        for (Task* t : tasks)
            t->Tick();
        if (std::all_of(tasks.begin(), tasks.end(), [](const Task* t) { return t->Done(); }))
            return EndReason::Done;
        if (interruptRequested.load()) return EndReason::Interrupted;
        const auto now = Clock::now();
        if (now >= deadline) return EndReason::Timeout;
        if (inputEnded_.load() && !terminal_.NoticePending()) {
            if (!drainStart) drainStart = now;
            if (now - terminal_.lastActivity() >= kQuietTime || now - *drainStart >= kDrainLimit)
                return EndReason::InputEnded;
        }
        terminal_.Wait(std::min(now + 100ms, deadline));
    }
}

void Session::Finish() {
    stop_.store(true);
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
    s.sectionsSent = sent_.load();
    s.sectionsRefused = refused_.load();
    s.bytesRead = bytesRead_.load();
    return s;
}

std::string Session::readError() const {
    std::lock_guard hold(statsMutex_);
    return readError_;
}

}  // namespace krhost
