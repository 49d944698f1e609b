#include "outcome.h"

#include "library_counters.h"
#include "progress.h"

namespace krhost {

Outcome Undelivered(std::string reason) {
    Outcome o;
    o.exit = kExitUndelivered;
    o.reason = std::move(reason);
    return o;
}

std::string RenderMembers(const std::function<void(JsonWriter&)>& write) {
    JsonWriter j(true);
    j.BeginObject();
    write(j);
    j.EndObject();
    // Without the braces and the line end.
    const std::string& text = j.text();
    return text.size() > 3 ? text.substr(1, text.size() - 3) : std::string();
}

void NoteSession(Outcome& outcome, const Session& session, EndReason end, bool stats) {
    outcome.end = end;
    outcome.input = session.stats();
    if (!stats) return;
    if (JsonEvents())
        outcome.counters = LibraryCounters();
    else
        ReportCounters(false);
}

std::string EndText(EndReason reason) {
    switch (reason) {
        case EndReason::Done:
            return "done";
        case EndReason::InputEnded:
            return "the input ended";
        case EndReason::Timeout:
            return "the time-out passed";
        case EndReason::Interrupted:
            return "interrupted";
    }
    return "";
}

const char* EndName(EndReason reason) {
    switch (reason) {
        case EndReason::Done:
            return "done";
        case EndReason::InputEnded:
            return "inputEnded";
        case EndReason::Timeout:
            return "timeout";
        case EndReason::Interrupted:
            return "interrupted";
    }
    return "";
}

namespace {

void WriteInput(JsonWriter& j, const SessionStats& s) {
    j.BeginObject();
    j.Key("bytes").Number(static_cast<int64_t>(s.bytesRead));
    j.Key("packets").Number(static_cast<int64_t>(s.demux.packets));
    j.Key("sections").Number(static_cast<int64_t>(s.sectionsSent));
    j.Key("continuityErrors").Number(static_cast<int64_t>(s.demux.continuityErrors));
    j.Key("damagedPackets").Number(static_cast<int64_t>(s.demux.damagedPackets));
    j.Key("bytesOutOfSync").Number(static_cast<int64_t>(s.demux.skippedBytes));
    j.Key("scrambledWithoutKeys").Number(static_cast<int64_t>(s.demux.undescrambled));
    j.Key("sectionsWithoutBuffer").Number(static_cast<int64_t>(s.sectionsRefused));
    j.EndObject();
}

}  // namespace

int Conclude(const std::string& command, bool json, const Outcome& o) {
    if (o.exit != kExitDone && !o.reason.empty()) Say(o.reason);
    if (!json) return o.exit;
    JsonWriter j(true);
    j.BeginObject();
    j.Key("command").String(command);
    j.Key("exit").Number(o.exit);
    j.Key("reason");
    if (o.exit != kExitDone && !o.reason.empty())
        j.String(o.reason);
    else
        j.Null();
    j.Key("end");
    if (o.end)
        j.String(EndName(*o.end));
    else
        j.Null();
    j.Key("input");
    if (o.input)
        WriteInput(j, *o.input);
    else
        j.Null();
    if (o.counters) {
        j.Key("stats").BeginObject();
        j.Key("counters").BeginObject();
        for (const auto& [name, value] : *o.counters)
            j.Key(name).Number(static_cast<int64_t>(value));
        j.EndObject();
        j.EndObject();
    }
    if (o.members) o.members(j);
    j.EndObject();
    (void)PrintOut(j.text());
    return o.exit;
}

}  // namespace krhost
