// Fuzz target: arbitrary bytes as a reassembled EPG container, with the size that arrived.
#include <cstddef>
#include <cstdint>

#include "epg/epg_container.h"
#include "epg/epg_database.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = kr::kr_EpgInit() == 0;
    if (!started || size > UINT32_MAX) return 0;
    kr::kr_ProcessEpgContainer(data, static_cast<uint32_t>(size));
    // Each input starts from an empty database, so that every finding replays alone.
    kr::kr_EpgReset();
    return 0;
}
