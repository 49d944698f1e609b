// The program EPG parser: "ProgramEPG.txt" (seven days of schedule text per live program) into
// a fresh event buffer, which then becomes current. Its lines are read verbatim, so blanks stay
// in values and count in keys.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

// 0 = a new event EPG is current (COUNT 0 gives an empty one); 1 = same version as the current
// one, a missing VERSION included; -1 = no event buffer free of the host, no "[Program_EPG]"
// line, or no usable COUNT. Call with the module lock held.
int32_t kr_ParseProgramEpg(const uint8_t* data, uint32_t length);

// Applies one verbatim line to the open record: "ProgramID", "Day1".."Day7" (63 characters
// kept), "Content1".."Content7" (5119 kept; sets the day's content pointer). 1, or -1 for an
// empty line.
int32_t kr_ParseEventKey(EventInfo* record, const char* line);

}  // namespace kr
