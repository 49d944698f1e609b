// What a command ends with: its exit status, the reason when it could not deliver, and its
// result, which --json prints as the last line of standard output.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "json_writer.h"
#include "session.h"

namespace krhost {

// The exit statuses of every command.
constexpr int kExitDone = 0;         // done, and something delivered
constexpr int kExitUndelivered = 1;  // ran, but could not deliver: the reason is the last line
constexpr int kExitBadInput = 2;     // bad arguments, or input that cannot be read
constexpr int kExitInterrupted = 130;  // Ctrl-C, after a clean stop

struct Outcome {
    int exit = kExitDone;
    std::string reason;             // said last when exit is not 0
    std::optional<EndReason> end;   // how the input's run ended; none without an input
    std::optional<SessionStats> input;
    // --stats: the library's counters by cause, for the result's "stats" member.
    std::optional<std::vector<std::pair<std::string, uint64_t>>> counters;
    // The command's own members of the JSON result.
    std::function<void(JsonWriter&)> members;
};

Outcome Undelivered(std::string reason);

// Members written now (while the library's records are still valid), for JsonWriter::Raw later.
std::string RenderMembers(const std::function<void(JsonWriter&)>& write);

// The run's input as it ended, for a command over a session, and with stats the library's
// counters (a status line, or with --json the result's "stats").
void NoteSession(Outcome& outcome, const Session& session, EndReason end, bool stats = false);

// Says the reason last (standard error) and, with --json, prints the result as one line of
// standard output: {"command":..., "exit":..., "reason":..., "end":..., "input":..., members}.
// Returns the exit status.
int Conclude(const std::string& command, bool json, const Outcome& outcome);

// "the input ended", "the time-out passed", "interrupted", "done".
std::string EndText(EndReason reason);
// The member value of "end" in the JSON result.
const char* EndName(EndReason reason);

}  // namespace krhost
