// The console: status lines and library messages on standard error, and a progress bar that
// is drawn only when standard error is a terminal. Lines from several threads never mix, and
// a line printed while a bar is shown clears the bar first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krhost {

// Prints "krhost: TEXT" as one line on standard error.
void Say(const std::string& text);

// Prints a line exactly as given (library diagnostics carry their own line ends).
void SayRaw(const std::string& text);

// With --json, events go to standard output as JSON objects, one to a line, and the command's
// result follows as the last line; without it, events are status lines on standard error.
void SetJsonEvents(bool on);
bool JsonEvents();

// An event: "krhost: LINE" on standard error, or with --json {"event":"NAME",MEMBERS} as a line
// of standard output. members are JSON members without the braces ("\"id\":4"), or empty.
void SayEvent(const std::string& name, const std::string& line, const std::string& members);

// Writes text to standard output at once. False when its reader went away (a closed pipe);
// throws krtools::OutputError when it cannot be written otherwise.
bool PrintOut(const std::string& text);

// "[#####.....]  5/8 blocks  name"; nothing is drawn before the total is known.
void ShowProgress(const std::string& name, uint32_t received, uint32_t total);
void ClearProgress();

// True when standard error is a terminal.
bool ConsoleIsTerminal();

// Block numbers as ranges: {2,3,4,7} gives "2-4, 7".
std::string DescribeRanges(const std::vector<uint32_t>& numbers);

}  // namespace krhost
