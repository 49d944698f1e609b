#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "frames_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!krfuzz::RunFramesInput(data, size)) std::abort();
    return 0;
}
