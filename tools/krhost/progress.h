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

// "[#####.....]  5/8 blocks  name"; empty name and total 0 clear the bar.
void ShowProgress(const std::string& name, uint32_t received, uint32_t total);
void ClearProgress();

// True when standard error is a terminal.
bool ConsoleIsTerminal();

// Block numbers as ranges: {2,3,4,7} gives "2-4, 7".
std::string DescribeRanges(const std::vector<uint32_t>& numbers);

}  // namespace krhost
