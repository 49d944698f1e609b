// The commands play, download and epg over a session of the library.
#include <cstdio>
#include <string>
#include <vector>

#include "card_command.h"
#include "commands.h"
#include "common/file_io.h"
#include "epg_print.h"
#include "json_writer.h"
#include "outcome.h"
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

bool InputUnreadable(const Session& session, const std::string& input, Outcome& outcome) {
    std::string error = session.readError();
    const SessionStats stats = session.stats();
    // Bytes out of sync and not one section: not a transport stream (a stray 'G' in a text
    // looks like a sync byte, so whole-looking packets alone prove nothing).
    if (error.empty() && stats.demux.skippedBytes > 0 && stats.demux.sections == 0) {
        const std::string name = input == "-" ? std::string("standard input") : input;
        // A byte that happens to be a sync byte starts a packet, but nothing holds together.
        error = name + " is not a transport stream: " + std::to_string(stats.bytesRead / 188) +
                " packets read (" + std::to_string(stats.bytesRead) + " bytes), none in sync (" +
                std::to_string(stats.demux.skippedBytes) +
                " bytes skipped looking for a sync byte, no section found)";
    }
    if (error.empty()) return false;
    outcome.exit = kExitBadInput;
    outcome.reason = error;
    return true;
}

namespace {

// For a scrambled program: how long the card took and how soon the first frame followed, in
// microseconds after the first ECM.
struct Opening {
    int64_t keysUs = 0;
    std::optional<int64_t> firstFrameUs;
};

std::optional<Opening> MeasureOpening(const Terminal& terminal) {
    using Milestone = Terminal::Milestone;
    const auto ecm = terminal.When(Milestone::FirstEcm);
    const auto keys = terminal.When(Milestone::FirstKeys);
    const auto frame = terminal.When(Milestone::FirstFrame);
    if (!ecm || !keys) return std::nullopt;
    const auto us = [&](Clock::time_point t) {
        return static_cast<int64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(t - *ecm).count());
    };
    Opening o;
    o.keysUs = us(*keys);
    if (frame) o.firstFrameUs = us(*frame);
    return o;
}

std::string Milliseconds(int64_t us) {
    const int64_t tenths = us / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " ms";
}

void WriteFile(JsonWriter& j, const char* name, const std::string& file, const char* count,
               uint64_t n, uint64_t bytes) {
    j.Key(name).BeginObject();
    j.Key("file").String(file);
    j.Key(count).Number(static_cast<int64_t>(n));
    j.Key("bytes").Number(static_cast<int64_t>(bytes));
    j.EndObject();
}

}  // namespace

Outcome RunPlay(const HostOptions& o) {
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
    Outcome outcome;
    NoteSession(outcome, *st.session, end, o.stats);
    const std::string id = "program " + std::to_string(*o.program);
    const bool frames = o.mode == KR_DELIVER_FRAMES;
    const std::string audio =
        o.audioOut.empty() ? o.out.string() + ".audio" : o.audioOut.string();
    const std::optional<Opening> opening = MeasureOpening(*st.terminal);
    outcome.members = [=](JsonWriter& j) {
        j.Key("program").Number(*o.program);
        j.Key("name");
        if (r.started) j.String(r.programName); else j.Null();
        j.Key("mode").Number(o.mode);
        j.Key("started").Bool(r.started);
        if (frames) {
            WriteFile(j, "video", o.out.string(), "frames", r.videoFrames, r.videoBytes);
            WriteFile(j, "audio", audio, "frames", r.audioFrames, r.audioBytes);
            j.Key("raw").Null();
        } else {
            j.Key("video").Null();
            j.Key("audio").Null();
            WriteFile(j, "raw", o.out.string(), "parts", r.rawParts, r.rawBytes);
        }
        j.Key("opening");
        if (opening) {
            j.BeginObject();
            j.Key("controlWordsUs").Number(opening->keysUs);
            j.Key("firstFrameUs");
            if (opening->firstFrameUs) j.Number(*opening->firstFrameUs); else j.Null();
            j.EndObject();
        } else {
            j.Null();
        }
    };
    if (InputUnreadable(*st.session, o.input, outcome)) return outcome;
    if (!r.started) {
        outcome.exit = kExitUndelivered;
        if (r.notAnnounced)
            outcome.reason = id + " is not announced: the live EPG lists " +
                             (r.listed.empty() ? std::string("no program") : r.listed);
        else if (st.session->live() == nullptr)
            outcome.reason = id + ": no live EPG arrived (" + EndText(end) + ")";
        else
            outcome.reason = id + " was not started (" + EndText(end) + ")";
        return outcome;
    }
    if (frames) {
        Say(id + ": " + std::to_string(r.videoFrames) + " video frames (" +
            std::to_string(r.videoBytes) + " bytes) to " + o.out.string() + ", " +
            std::to_string(r.audioFrames) + " audio frames (" + std::to_string(r.audioBytes) +
            " bytes) to " + audio + " (" + EndText(end) + ")");
        if (opening) {
            std::string line = "descrambling: control words " + Milliseconds(opening->keysUs) +
                               " after the first ECM";
            if (opening->firstFrameUs)
                line += ", the first frame " + Milliseconds(*opening->firstFrameUs) + " after it";
            Say(line);
        }
    } else {
        Say(id + ": " + std::to_string(r.rawParts) + " datagram parts (" +
            std::to_string(r.rawBytes) + " bytes) to " + o.out.string() + " (" + EndText(end) +
            ")");
    }
    if (!r.error.empty()) {
        outcome.exit = kExitUndelivered;
        outcome.reason = r.error;
    } else if (r.videoFrames + r.audioFrames + r.rawParts == 0) {
        outcome.exit = kExitUndelivered;
        const std::string message = st.terminal->LastMessage();
        outcome.reason = id + ": nothing delivered (" + EndText(end) +
                         (message.empty() ? "" : "; the last message: " + message) + ")";
    }
    return outcome;
}

Outcome RunDownload(const HostOptions& o) {
    auto source = OpenSource(o.input);
    std::error_code code;
    std::filesystem::create_directories(o.out, code);
    if (!std::filesystem::is_directory(o.out, code))
        throw krtools::OutputError("cannot create directory " + o.out.string());
    Station st = OpenStation(o, std::move(source), "krhost.store");
    DownloadTask task(o.resources, o.out, *st.terminal);
    st.session->Start();
    const EndReason end = st.session->Run({&task});
    task.Stop();
    st.session->Finish();
    const DownloadResult result = task.Close();
    ReportInput(*st.session);
    Outcome outcome;
    NoteSession(outcome, *st.session, end, o.stats);
    const std::filesystem::path directory = o.out;
    outcome.members = [result, directory](JsonWriter& j) {
        j.Key("directory").String(directory.string());
        j.Key("resources").BeginArray();
        for (const ResourceProgress& r : result.resources) {
            j.BeginObject();
            j.Key("id").Number(r.id);
            j.Key("name");
            if (r.name.empty()) j.Null(); else j.String(r.name);
            j.Key("started").Bool(r.started);
            j.Key("written").Bool(r.written);
            j.Key("file");
            if (r.written) j.String((directory / r.name).string()); else j.Null();
            j.Key("blocks").Number(static_cast<int64_t>(r.blocks.size()));
            j.Key("total").Number(r.total);
            j.Key("error");
            if (r.error.empty()) j.Null(); else j.String(r.error);
            j.EndObject();
        }
        j.EndArray();
    };
    if (InputUnreadable(*st.session, o.input, outcome)) return outcome;
    std::size_t failed = 0;
    for (const ResourceProgress& r : result.resources) {
        if (r.written) continue;
        ++failed;
        const std::string id = "resource " + std::to_string(r.id);
        std::string reason;
        if (!r.error.empty()) {
            reason = id + ": " + r.error;
        } else if (r.notAnnounced) {
            reason = id + " is not announced in the download EPG";
        } else if (!r.started) {
            reason = id + ": no download EPG arrived (" + EndText(end) + ")";
        } else if (r.total == 0) {
            reason = id + " (" + r.name + "): no block arrived (" + EndText(end) + ")";
        } else {
            std::vector<uint32_t> missing;
            for (uint32_t n = 1; n <= r.total; ++n)
                if (!r.blocks.count(n)) missing.push_back(n);
            reason = id + " (" + r.name + ") incomplete (" + EndText(end) +
                     "): " + std::to_string(missing.size()) + " of " + std::to_string(r.total) +
                     " blocks missing: " + DescribeRanges(missing);
        }
        // Each is said; the last line sums them up when there are several.
        if (failed > 1 || &r != &result.resources.back()) Say(reason);
        outcome.reason = reason;
    }
    if (failed != 0) {
        outcome.exit = kExitUndelivered;
        if (failed > 1)
            outcome.reason = std::to_string(failed) + " of " +
                             std::to_string(result.resources.size()) +
                             " resources not downloaded";
    }
    return outcome;
}

EpgSnapshot TakeEpgSnapshot(const Session& session) {
    EpgSnapshot snapshot;
    snapshot.live = session.live();
    snapshot.download = session.download();
    snapshot.links = FetchServiceLinks();
    return snapshot;
}

Outcome RunEpg(const HostOptions& o) {
    Station st = OpenStation(o, OpenSource(o.input), "krhost.store");
    st.session->Start();
    EpgWaitTask task(o.untilEnd);
    const EndReason end = st.session->Run({&task});
    const EpgSnapshot snapshot = TakeEpgSnapshot(*st.session);
    Outcome outcome;
    if (o.json) {
        // The library's buffers are read before it finishes.
        const std::string text =
            RenderMembers([&](JsonWriter& j) { WriteEpgJson(j, snapshot); });
        outcome.members = [text](JsonWriter& j) { j.Raw(text); };
    }
    const std::string tables = o.json ? std::string() : FormatEpgTables(snapshot);
    const bool any = snapshot.live != nullptr || snapshot.download != nullptr;
    st.session->Finish();
    NoteSession(outcome, *st.session, end, o.stats);
    if (InputUnreadable(*st.session, o.input, outcome)) return outcome;
    if (!o.json) (void)PrintOut(tables);
    if (!any) {
        outcome.exit = kExitUndelivered;
        outcome.reason = "no EPG: none stored and none arrived (" + EndText(end) + ")";
    }
    return outcome;
}

}  // namespace krhost
