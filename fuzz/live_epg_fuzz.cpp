// Fuzz target: arbitrary text as "LiveEPG.txt".
#include <cstddef>
#include <cstdint>

#include "epg/epg_database.h"
#include "epg/live_epg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = kr::kr_EpgInit() == 0;
    if (!started || size > UINT32_MAX) return 0;
    kr::kr_ParseLiveEpg(data, static_cast<uint32_t>(size));
    kr::kr_EpgReset();
    return 0;
}
