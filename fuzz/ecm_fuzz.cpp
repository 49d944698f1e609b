// Fuzz target: one ECM against a card whose answers to the control-word request come from the
// input, refusals and failed exchanges included (the fuzz build leaves the worker's pauses out).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "ca_messages_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = krfuzz::StartCaMessages();
    if (!started) return 0;
    if (!krfuzz::RunEcmInput(data, size)) std::abort();
    return 0;
}
