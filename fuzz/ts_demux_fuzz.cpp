#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ts_demux_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!krfuzz::RunTsDemux(data, size)) std::abort();
    return 0;
}
