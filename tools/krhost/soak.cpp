#include "soak.h"

#include <krmodule/krmodule.h>
#include <krmodule/krmodule_ext.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>

#include <unistd.h>

#include "card/card_profile.h"
#include "common/epg_announcements.h"
#include "common/file_io.h"
#include "common/pcr.h"
#include "common/settings.h"
#include "common/ts_packetiser.h"
#include "epg_print.h"
#include "headend/ca_broadcast.h"
#include "headend/elementary_stream.h"
#include "headend/long_broadcast.h"
#include "json_writer.h"
#include "library_counters.h"
#include "progress.h"
#include "session.h"
#include "soak_checks.h"
#include "terminal/virtual_card_reader.h"

namespace krhost {

namespace {

// AddressSanitizer and ThreadSanitizer keep freed blocks in quarantine and their own shadow grows
// with it, so a sanitizer build's resident memory climbs for minutes without a leak: only gross
// growth means anything there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kDefaultMemoryBoundKib = 65536;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr uint64_t kDefaultMemoryBoundKib = 65536;
#else
constexpr uint64_t kDefaultMemoryBoundKib = 1024;
#endif
#else
constexpr uint64_t kDefaultMemoryBoundKib = 1024;
#endif

}  // namespace

const char* const kSoakUsage =
    "usage: krhost soak --input FILE|- --scenario DIR [KRMUX OPTION VALUE]... [OPTION VALUE]...\n"
    "Reads a long broadcast of krmux in step with the library and checks it as a set-top box\n"
    "would live it: give the scenario and the krmux options the stream was made with.\n"
    "\n"
    "  --input FILE|-        the stream (- standard input: krmux ... --out - | krhost soak ...)\n"
    "  --store FILE          the persistent store (default: a new file in the temp directory)\n"
    "  --card PROFILE        the virtual card (default: the scenario's ca-card); a card with\n"
    "                        command-ms/byte-us takes its time on the broadcast's clock\n"
    "  --pull-every-s N      pull the card every N s of broadcast (default 0: never)\n"
    "  --pull-for-s N        and put it back after N s (default 20)\n"
    "  --kill-every-s N      end the library's session and start it again from the store at\n"
    "                        random instants, N s of broadcast apart on average (default 0)\n"
    "  --seed N              seed of the kill instants (default 1)\n"
    "  --warmup-s N          broadcast seconds before memory, files and threads are measured\n"
    "                        (default 300)\n"
    "  --memory-bound-kib N  resident memory may grow this much after warm-up (default 1024;\n"
    "                        65536 in a sanitizer build, whose allocator holds freed memory)\n"
    "  --json FILE           the JSON document to FILE instead of standard output\n"
    "  --debug CODE          the library's diagnostics (as krhost --debug)\n"
    "Exit status: 0 every check passed, 1 a check failed, 2 bad arguments or input.\n";

namespace {

using namespace std::chrono_literals;

struct SoakOptions {
    std::string input;
    std::filesystem::path store;
    std::filesystem::path card;
    double pullEveryS = 0;
    double pullForS = 20;
    double killEveryS = 0;
    uint64_t seed = 1;
    double warmupS = 300;
    uint64_t memoryBoundKib = kDefaultMemoryBoundKib;
    std::string jsonFile;
    std::vector<uint8_t> debugCodes;
    krtools::MuxOptions mux;
};

double Seconds(const std::string& key, const std::string& value) {
    const auto n = krtools::ParseDecimal(value, 100ull * 86400);
    if (!n) throw krtools::ToolError("bad value for --" + key + ": '" + value + "'");
    return static_cast<double>(*n);
}

SoakOptions ParseSoak(const std::vector<std::string>& arguments) {
    SoakOptions o;
    std::vector<std::string> mux;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& a = arguments[i];
        if (a.rfind("--", 0) != 0 || i + 1 == arguments.size())
            throw krtools::ToolError("unexpected argument '" + a + "'");
        const std::string key = a.substr(2);
        const std::string& value = arguments[++i];
        if (key == "input") {
            o.input = value;
        } else if (key == "store") {
            o.store = value;
        } else if (key == "card") {
            o.card = value;
        } else if (key == "pull-every-s") {
            o.pullEveryS = Seconds(key, value);
        } else if (key == "pull-for-s") {
            o.pullForS = Seconds(key, value);
        } else if (key == "kill-every-s") {
            o.killEveryS = Seconds(key, value);
        } else if (key == "seed") {
            o.seed = krtools::NumberSetting(key, value, UINT64_MAX);
        } else if (key == "warmup-s") {
            o.warmupS = Seconds(key, value);
        } else if (key == "memory-bound-kib") {
            o.memoryBoundKib = krtools::NumberSetting(key, value, 1u << 30);
        } else if (key == "json") {
            o.jsonFile = value;
        } else if (key == "debug") {
            o.debugCodes.push_back(static_cast<uint8_t>(krtools::NumberSetting(key, value, 0xFF)));
        } else {
            mux.push_back(a);
            mux.push_back(value);
        }
    }
    if (o.input.empty()) throw krtools::ToolError("no input: give --input FILE or -");
    mux.push_back("--out");
    mux.push_back("-");
    o.mux = krtools::ParseMuxArguments(mux).options;
    if (!o.mux.Long())
        throw krtools::ToolError(
            "the broadcast's --duration-s (or duration-s in the scenario) is "
            "needed to know what it sends");
    if (o.card.empty()) o.card = o.mux.ca.card;
    if (o.card.empty()) throw krtools::ToolError("no card: give --card PROFILE");
    if (o.pullEveryS > 0 && o.pullForS >= o.pullEveryS)
        throw krtools::ToolError("--pull-for-s must be shorter than --pull-every-s");
    return o;
}

// The process as the kernel sees it.
ProcessSize MeasureProcess() {
    ProcessSize p;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) p.rssKib = std::stoull(line.substr(6));
        if (line.rfind("Threads:", 0) == 0) p.threads = std::stoull(line.substr(8));
    }
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error))
        ++p.fds;
    return p;
}

// Where the soak's content functions and card hooks find the run.
std::atomic<SoakChecks*> currentChecks{nullptr};

int32_t SoakContent(const void* record) {
    if (SoakChecks* c = currentChecks.load(); c != nullptr && record != nullptr)
        c->OnDelivery(*static_cast<const StreamDelivery*>(record));
    return 0;
}

// The input of one session: the run's one stream, read on, with the card pulled and put back
// and the session told to end at the instants the schedule gives. Runs on the reader thread,
// between sections the library has caught up with.
class FeedSource final : public TsSource {
  public:
    FeedSource(TsSource& base, SoakChecks& checks, Terminal& terminal)
        : base_(base), checks_(checks), terminal_(terminal) {}

    std::optional<std::size_t> Read(std::span<uint8_t> buffer) override {
        checks_.BeforeRead(terminal_);
        // Whole packets, so that each one's clock is seen.
        const std::size_t want = buffer.size() / krtools::kTsPacketSize * krtools::kTsPacketSize;
        std::size_t got = 0;
        while (got < want) {
            const std::optional<std::size_t> n = base_.Read(buffer.subspan(got, want - got));
            if (!n) break;
            if (*n == 0 && got != 0) break;
            if (*n == 0) return 0;
            got += *n;
        }
        if (got == 0) return std::nullopt;
        checks_.OnPackets(buffer.first(got));
        return got;
    }
    bool live() const override { return base_.live(); }
    std::string name() const override { return base_.name(); }

  private:
    TsSource& base_;
    SoakChecks& checks_;
    Terminal& terminal_;
};

// What the session thread does: starts the two programs, checks each EPG against the plan,
// lists and deletes the mails, checks the rating and measures the process; done when a kill
// is due.
class SoakTask final : public Task {
  public:
    SoakTask(SoakChecks& checks, bool afterKill) : checks_(checks), afterKill_(afterKill) {}

    void OnLiveEpg(const LiveEpg& epg, bool announced) override {
        checks_.OnLiveEpg(epg, announced, afterKill_ && !announced && !sawStored_);
        if (!announced) sawStored_ = true;
        for (uint32_t id : checks_.programIds()) {
            if (started_.count(id) != 0) continue;
            for (int32_t i = 0; i < std::min<int32_t>(epg.programCount, 32); ++i)
                if (epg.program[i].programId == id &&
                    kr_T2K_StartProgram(id, KR_DELIVER_FRAMES, SoakContent) == KR_OK)
                    started_.insert(id);
        }
    }
    void Tick() override {
        if (!ticked_) {
            ticked_ = true;
            if (afterKill_ && !sawStored_) checks_.OnNoStoredEpg();
        }
        checks_.OnTick();
    }
    bool Done() const override { return checks_.KillDue(); }
    void Stop() override {
        for (uint32_t id : started_)
            (void)kr_T2K_StopProgram(id);
        started_.clear();
    }

  private:
    SoakChecks& checks_;
    bool afterKill_;
    bool sawStored_ = false;
    bool ticked_ = false;
    std::set<uint32_t> started_;
};

using Counters = std::vector<std::pair<std::string, uint64_t>>;

void WriteJson(const SoakChecks& checks, const SoakReport& r, const Counters& counters,
               const std::string& file) {
    JsonWriter j;
    j.BeginObject();
    j.Key("broadcastHours").Number(static_cast<int64_t>(r.broadcastUs / 3600000000ull));
    j.Key("broadcastSeconds").Number(static_cast<int64_t>(r.broadcastUs / 1000000));
    j.Key("wallSeconds").Number(static_cast<int64_t>(r.wallMs / 1000));
    j.Key("wallMilliseconds").Number(static_cast<int64_t>(r.wallMs));
    j.Key("bytes").Number(static_cast<int64_t>(r.bytes));
    j.Key("videoFrames").Number(static_cast<int64_t>(r.videoFrames));
    j.Key("audioFrames").Number(static_cast<int64_t>(r.audioFrames));
    j.Key("epgVersionsAnnounced").Number(static_cast<int64_t>(r.versionsAnnounced));
    j.Key("epgVersionsRead").Number(static_cast<int64_t>(r.versionsRead));
    j.Key("mails").Number(static_cast<int64_t>(r.mailsListed));
    j.Key("cardPulls").Number(static_cast<int64_t>(r.pulls));
    j.Key("kills").Number(static_cast<int64_t>(r.kills));
    j.Key("controlWords").Number(static_cast<int64_t>(r.controlWords));
    j.Key("cardBusySeconds").Number(static_cast<int64_t>(r.cardBusyUs / 1000000));
    j.Key("memory").BeginObject();
    j.Key("startKib").Number(static_cast<int64_t>(r.startSize.rssKib));
    j.Key("warmKib").Number(static_cast<int64_t>(r.warmSize.rssKib));
    j.Key("peakKib").Number(static_cast<int64_t>(r.peakRssKib));
    j.Key("finalKib").Number(static_cast<int64_t>(r.finalSize.rssKib));
    j.Key("boundKib").Number(static_cast<int64_t>(r.memoryBoundKib));
    j.Key("warmFds").Number(static_cast<int64_t>(r.warmSize.fds));
    j.Key("finalFds").Number(static_cast<int64_t>(r.finalSize.fds));
    j.Key("warmThreads").Number(static_cast<int64_t>(r.warmSize.threads));
    j.Key("finalThreads").Number(static_cast<int64_t>(r.finalSize.threads));
    j.EndObject();
    j.Key("checks").BeginArray();
    for (const CheckCount& c : checks.Counts()) {
        j.BeginObject();
        j.Key("name").String(c.name);
        j.Key("passed").Number(static_cast<int64_t>(c.passed));
        j.Key("failed").Number(static_cast<int64_t>(c.failed));
        j.EndObject();
    }
    j.EndArray();
    // The library's own counts by cause, over every session of the run.
    j.Key("libraryCounters").BeginObject();
    for (const auto& [name, value] : counters)
        j.Key(name).Number(static_cast<int64_t>(value));
    j.EndObject();
    j.Key("passed").Bool(checks.AllPassed());
    j.EndObject();
    const std::string text = j.text() + "\n";
    if (file.empty()) {
        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
            std::fflush(stdout) != 0)
            throw krtools::ToolError("cannot write to standard output");
    } else {
        krtools::WriteWholeFile(file, std::vector<uint8_t>(text.begin(), text.end()));
    }
}

void PrintSummary(const SoakChecks& checks, const SoakReport& r, const Counters& counters) {
    const double hours = static_cast<double>(r.broadcastUs) / 3.6e9;
    const double minutes = static_cast<double>(r.wallMs) / 60000.0;
    char line[256];
    std::snprintf(line, sizeof line,
                  "soak: %.2f h of broadcast in %.1f min (%.1f h a minute), %llu video and %llu "
                  "audio frames, %llu EPG versions, %llu pulls, %llu kills",
                  hours, minutes, minutes > 0 ? hours / minutes : 0.0,
                  static_cast<unsigned long long>(r.videoFrames),
                  static_cast<unsigned long long>(r.audioFrames),
                  static_cast<unsigned long long>(r.versionsAnnounced),
                  static_cast<unsigned long long>(r.pulls),
                  static_cast<unsigned long long>(r.kills));
    Say(line);
    std::snprintf(line, sizeof line,
                  "soak: memory %llu KiB at the start, %llu after warm-up, %llu at the peak, %llu "
                  "at the end (bound +%llu); files %llu/%llu, threads %llu/%llu",
                  static_cast<unsigned long long>(r.startSize.rssKib),
                  static_cast<unsigned long long>(r.warmSize.rssKib),
                  static_cast<unsigned long long>(r.peakRssKib),
                  static_cast<unsigned long long>(r.finalSize.rssKib),
                  static_cast<unsigned long long>(r.memoryBoundKib),
                  static_cast<unsigned long long>(r.warmSize.fds),
                  static_cast<unsigned long long>(r.finalSize.fds),
                  static_cast<unsigned long long>(r.warmSize.threads),
                  static_cast<unsigned long long>(r.finalSize.threads));
    Say(line);
    std::string causes;
    for (const auto& [name, value] : counters)
        if (value != 0)
            causes += (causes.empty() ? " " : ", ") + name + " " + std::to_string(value);
    Say("soak: library counters:" + (causes.empty() ? std::string(" all 0") : causes));
    for (const CheckCount& c : checks.Counts())
        Say("soak: " + std::string(c.failed == 0 ? "ok    " : "FAILED") + " " + c.name + ": " +
            std::to_string(c.passed) + " passed, " + std::to_string(c.failed) + " failed" +
            (c.firstFailure.empty() ? "" : " (first: " + c.firstFailure + ")"));
}

}  // namespace

int RunSoak(const std::vector<std::string>& arguments) {
    if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::fputs(kSoakUsage, stdout);
        return 0;
    }
    const SoakOptions o = ParseSoak(arguments);
    const auto begin = std::chrono::steady_clock::now();
    const ProcessSize startSize = MeasureProcess();

    // What the head end sends, worked out as it does.
    krtools::LongBroadcast headEnd(o.mux);
    SoakPlan plan;
    plan.broadcast = &headEnd;
    plan.pullEveryUs = static_cast<uint64_t>(o.pullEveryS * 1e6);
    plan.pullForUs = static_cast<uint64_t>(o.pullForS * 1e6);
    plan.killEveryUs = static_cast<uint64_t>(o.killEveryS * 1e6);
    plan.seed = o.seed;
    plan.warmupUs = static_cast<uint64_t>(o.warmupS * 1e6);
    plan.memoryBoundKib = o.memoryBoundKib;
    plan.cryptoPeriodUs = uint64_t{o.mux.ca.cryptoPeriodMs} * 1000;
    for (const krtools::MailSource& mail : o.mux.ca.mails)
        plan.scenarioMails.insert(mail.id);

    std::filesystem::path storePath = o.store;
    const bool tempStore = storePath.empty();
    if (tempStore)
        storePath = std::filesystem::temp_directory_path() /
                    ("krhost-soak-" + std::to_string(::getpid()) + ".store");
    StoreFile store(storePath);
    auto virtualCard = std::make_unique<krtools::VirtualCard>(krtools::ReadCardProfile(o.card));
    krtools::VirtualCard& card = *virtualCard;
    krtools::VirtualCardReader reader(std::move(virtualCard));

    SoakChecks checks(plan, card, MeasureProcess);
    currentChecks.store(&checks);
    std::unique_ptr<TsSource> source = OpenSource(o.input);

    EndReason reason = EndReason::Done;
    Counters counters;
    for (uint64_t session = 0;; ++session) {
        TerminalConfig config;
        config.debug = !o.debugCodes.empty();
        config.store = &store;
        config.card = &reader;
        config.observer = &checks;
        config.quietEvents = true;
        Terminal terminal(config);
        SessionOptions options;
        options.debugCodes = o.debugCodes;
        Session run(terminal, std::make_unique<FeedSource>(*source, checks, terminal), options);
        checks.OnSessionStart();
        run.Start();
        SoakTask task(checks, session != 0);
        reason = run.Run({&task});
        task.Stop();
        run.Finish();
        checks.OnSessionEnd(run.stats().demux);
        // The library starts its counts again with each session.
        const Counters taken = LibraryCounters();
        if (counters.empty()) counters.assign(taken.size(), {});
        for (std::size_t i = 0; i < taken.size(); ++i) {
            counters[i].first = taken[i].first;
            counters[i].second += taken[i].second;
        }
        if (!run.readError().empty()) {
            Say("input: " + run.readError());
            break;
        }
        if (reason != EndReason::Done) break;
    }
    currentChecks.store(nullptr);
    if (tempStore) std::filesystem::remove(storePath);

    SoakReport report = checks.Finish();
    report.startSize = startSize;
    report.wallMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - begin)
                                              .count());
    PrintSummary(checks, report, counters);
    WriteJson(checks, report, counters, o.jsonFile);
    if (reason == EndReason::Interrupted) return 1;
    return checks.AllPassed() ? 0 : 1;
}

}  // namespace krhost
