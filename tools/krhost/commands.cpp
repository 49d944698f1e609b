// The commands play, download and epg over a session of the library.
#include <cstdio>
#include <string>
#include <vector>

#include "card_command.h"
#include "commands.h"
#include "common/file_io.h"
#include "epg_print.h"
#include "library_counters.h"
#include "progress.h"
#include "tasks.h"

namespace krhost {

Station OpenStation(const HostOptions& options, std::unique_ptr<TsSource> source,
                    const std::filesystem::path& defaultStore) {
    Station s;
    s.store = std::make_unique<StoreFile>(options.store.empty() ? defaultStore : options.store);
    TerminalConfig config;
    config.debug = !options.debugCodes.empty();
    config.frequency = options.frequency;
    config.store = s.store.get();
    config.jsonEvents = options.json;
    s.card = LoadCard(options);
    config.card = s.card.get();
    s.terminal = std::make_unique<Terminal>(config);
    SessionOptions sessionOptions;
    sessionOptions.replay.rateMbps = options.rateMbps;
    sessionOptions.replay.realtime = options.realtime;
    sessionOptions.nodes = options.nodes;
    sessionOptions.timeoutSeconds = options.timeoutSeconds;
    sessionOptions.debugCodes = options.debugCodes;
    sessionOptions.emmPid = options.emmPid;
    s.session = std::make_unique<Session>(*s.terminal, std::move(source), sessionOptions);
    return s;
}

std::string EndText(EndReason reason) {
    switch (reason) {
        case EndReason::Done:
            return "done";
        case EndReason::InputEnded:
            return "the input ended";
        case EndReason::Timeout:
            return "time-out";
        case EndReason::Interrupted:
            return "interrupted";
    }
    return "";
}

void ReportInput(const Session& session) {
    const SessionStats s = session.stats();
    std::string line = "input: " + std::to_string(s.demux.packets) + " packets, " +
                       std::to_string(s.sectionsSent) + " sections to the library";
    if (s.demux.continuityErrors != 0)
        line += ", " + std::to_string(s.demux.continuityErrors) + " continuity errors";
    if (s.demux.damagedPackets != 0)
        line += ", " + std::to_string(s.demux.damagedPackets) + " damaged packets";
    if (s.demux.skippedBytes != 0)
        line += ", " + std::to_string(s.demux.skippedBytes) + " bytes out of sync";
    if (s.demux.undescrambled != 0)
        line += ", " + std::to_string(s.demux.undescrambled) + " scrambled packets without keys";
    if (s.sectionsRefused != 0)
        line += ", " + std::to_string(s.sectionsRefused) + " sections without a free buffer";
    Say(line);
}

// 2 when the input could not be read to its end or was not a transport stream at all.
int InputStatus(const Session& session, const std::string& input) {
    const std::string error = session.readError();
    if (!error.empty()) {
        Say(error);
        return 2;
    }
    const SessionStats stats = session.stats();
    // Bytes out of sync and not one section: not a transport stream (a stray 'G' in a text
    // looks like a sync byte, so whole-looking packets alone prove nothing).
    if (stats.demux.skippedBytes > 0 && stats.demux.sections == 0) {
        Say((input == "-" ? std::string("standard input") : input) +
            " holds no transport-stream packets");
        return 2;
    }
    return 0;
}

// For a scrambled program: how long the card took and how soon the first frame followed.
void ReportOpening(const Terminal& terminal) {
    using Milestone = Terminal::Milestone;
    const auto ecm = terminal.When(Milestone::FirstEcm);
    const auto keys = terminal.When(Milestone::FirstKeys);
    const auto frame = terminal.When(Milestone::FirstFrame);
    if (!ecm || !keys) return;
    auto ms = [&](Clock::time_point t) {
        const auto tenths = std::chrono::duration_cast<std::chrono::microseconds>(t - *ecm) / 100;
        return std::to_string(tenths.count() / 10) + "." + std::to_string(tenths.count() % 10) +
               " ms";
    };
    std::string line = "descrambling: control words " + ms(*keys) + " after the first ECM";
    if (frame) line += ", the first frame " + ms(*frame) + " after it";
    Say(line);
}

int RunPlay(const HostOptions& o) {
    Station st = OpenStation(o, OpenSource(o.input), "krhost.store");
    // The outputs are opened before the library starts, so a bad path fails at once.
    auto task = std::make_unique<PlayTask>(*o.program, o.mode, o.out, o.audioOut, o.maxFrames,
                                           *st.terminal);
    st.session->Start();
    const EndReason end = st.session->Run({task.get()});
    task->Stop();
    st.session->Finish();
    const PlayResult r = task->Close();
    ReportInput(*st.session);
    if (o.stats) ReportCounters(o.json);
    if (const int status = InputStatus(*st.session, o.input)) return status;
    if (!r.started) {
        Say("program " + std::to_string(*o.program) +
            " was not in the live EPG before the input ended (" + EndText(end) + ")");
        return 1;
    }
    const std::string id = std::to_string(*o.program);
    if (o.mode == KR_DELIVER_FRAMES) {
        const std::string audio =
            o.audioOut.empty() ? o.out.string() + ".audio" : o.audioOut.string();
        Say("program " + id + ": " + std::to_string(r.videoFrames) + " video frames (" +
            std::to_string(r.videoBytes) + " bytes) to " + o.out.string() + ", " +
            std::to_string(r.audioFrames) + " audio frames (" + std::to_string(r.audioBytes) +
            " bytes) to " + audio + " (" + EndText(end) + ")");
        ReportOpening(*st.terminal);
    } else {
        Say("program " + id + ": " + std::to_string(r.rawParts) + " datagram parts (" +
            std::to_string(r.rawBytes) + " bytes) to " + o.out.string() + " (" + EndText(end) +
            ")");
    }
    if (!r.error.empty()) {
        Say(r.error);
        return 1;
    }
    return 0;
}

int RunDownload(const HostOptions& o) {
    auto source = OpenSource(o.input);
    std::error_code code;
    std::filesystem::create_directories(o.out, code);
    if (!std::filesystem::is_directory(o.out, code))
        throw krtools::ToolError("cannot create directory " + o.out.string());
    Station st = OpenStation(o, std::move(source), "krhost.store");
    DownloadTask task(o.resources, o.out, *st.terminal);
    st.session->Start();
    const EndReason end = st.session->Run({&task});
    task.Stop();
    st.session->Finish();
    const DownloadResult result = task.Close();
    ReportInput(*st.session);
    if (o.stats) ReportCounters(o.json);
    int status = InputStatus(*st.session, o.input);
    for (const ResourceProgress& r : result.resources) {
        if (r.written) continue;
        status = status != 0 ? status : 1;
        const std::string id = "resource " + std::to_string(r.id);
        if (!r.error.empty()) continue;  // said when it happened
        if (!r.started) {
            Say(id + " was not in the download EPG (" + EndText(end) + ")");
        } else if (r.total == 0) {
            Say(id + " (" + r.name + "): no block arrived (" + EndText(end) + ")");
        } else {
            std::vector<uint32_t> missing;
            for (uint32_t n = 1; n <= r.total; ++n)
                if (!r.blocks.count(n)) missing.push_back(n);
            Say(id + " (" + r.name + ") incomplete (" + EndText(end) +
                "): " + std::to_string(missing.size()) + " of " + std::to_string(r.total) +
                " blocks missing: " + DescribeRanges(missing));
        }
    }
    return status;
}

EpgSnapshot TakeEpgSnapshot(const Session& session) {
    EpgSnapshot snapshot;
    snapshot.live = session.live();
    snapshot.download = session.download();
    snapshot.links = FetchServiceLinks();
    return snapshot;
}

int RunEpg(const HostOptions& o) {
    Station st = OpenStation(o, OpenSource(o.input), "krhost.store");
    st.session->Start();
    EpgWaitTask task(o.untilEnd);
    (void)st.session->Run({&task});
    const EpgSnapshot snapshot = TakeEpgSnapshot(*st.session);
    const std::string text = o.json ? FormatEpgJson(snapshot) : FormatEpgTables(snapshot);
    const bool any = snapshot.live != nullptr || snapshot.download != nullptr;
    st.session->Finish();
    if (o.stats) ReportCounters(o.json);
    if (const int status = InputStatus(*st.session, o.input)) return status;
    if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::fflush(stdout) != 0)
        throw krtools::ToolError("cannot write to standard output");
    if (!any) {
        Say("no EPG: none stored and none arrived before the input ended");
        return 1;
    }
    return 0;
}

}  // namespace krhost
