// The library's counters by cause, as krhost --stats shows them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace krhost {

// Each counter by its field name, in the record's order; all 0 before the first start.
std::vector<std::pair<std::string, uint64_t>> LibraryCounters();

// The counters in one "counters:" line (those above 0), or with json one object on a line of
// its own: {"event":"stats","counters":{NAME:VALUE,...}} with every counter.
void ReportCounters(bool json);

}  // namespace krhost
