// Fuzz target: arbitrary EMM, broadcast data, service map and ECM sections through their parsers,
// with a ready card whose answers to the CA command may come from the input as well.
#include <cstddef>
#include <cstdint>

#include "ca_messages_run.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool started = krfuzz::StartCaMessages();
    if (!started) return 0;
    krfuzz::RunCaMessagesInput(data, size);
    return 0;
}
