#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "store_parts_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!krfuzz::RunStoreCheckInput(data, size)) std::abort();
    return 0;
}
