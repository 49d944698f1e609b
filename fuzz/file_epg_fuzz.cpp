// Fuzz target: arbitrary text as "FileEPG.txt".
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "epg/epg_database.h"
#include "epg_text_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = kr::kr_EpgInit() == 0;
    if (!started) return 0;
    if (!krfuzz::RunFileEpg(data, size)) std::abort();
    return 0;
}
