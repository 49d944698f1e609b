// krhost soak: a long broadcast (krmux --duration-s) read in step with the library, with the
// card pulled and put back and the library's session killed and started again from the store
// on a schedule, while every frame, EPG version, mail, card command and the process's size are
// checked against what the head end sent. Prints a summary and, at the end, a JSON document.
#pragma once

#include <string>
#include <vector>

namespace krhost {

// The arguments after "soak"; the exit status: 0 every check passed, 1 one failed, 2 bad
// arguments or input.
int RunSoak(const std::vector<std::string>& arguments);

extern const char* const kSoakUsage;

}  // namespace krhost
