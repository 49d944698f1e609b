#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "store_parts_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = krfuzz::StartStoredParts();
    if (!started || !krfuzz::RunStoredMapInput(data, size)) std::abort();
    return 0;
}
