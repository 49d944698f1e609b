// Fuzz target: arbitrary datagram sections through the stream worker's handling.
#include <cstddef>
#include <cstdint>

#include "stream_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!krfuzz::RunStreamInput(data, size)) __builtin_trap();
    return 0;
}
