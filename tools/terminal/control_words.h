// What the terminal's descrambler does with the library's SetDescrambler records.
#pragma once

#include <krmodule/krmodule.h>

#include <string>

#include "common/cissa.h"

namespace krtools {

// Installs the record's control words for the PID it names (A the odd word, B the even one),
// or removes that PID's words when both are zero. Returns the console line that says so.
std::string ApplyControlWords(DescramblerTable& table, const DescramblerRecord& record);

}  // namespace krtools
