// One consumer request of the stream worker, made the way program start and resource download
// make theirs: a request entry for a destination address and port, attached to a shared IP
// filter on the PID the datagrams arrive on.
#pragma once

#include <krmodule/krmodule.h>

#include <cstdint>

namespace kr {

struct StreamRequest {
    uint8_t type = 0;
    uint16_t pid = 0;
    uint32_t ipAddress = 0;
    uint16_t udpPort = 0;
    uint32_t ownerId = 0;
    uint8_t scrambled = 0;
    KrDataProcessFn dataProcess = nullptr;
    uint32_t deliveryMode = 0;
    uint8_t logCode = 0;  // of the "Request ID" line
};

enum class StreamRequestResult : uint8_t {
    Attached,
    NoEntry,        // request table full: nothing changed
    FilterRefused,  // the entry was freed again
};

// Call with the module lock held.
StreamRequestResult StartStreamRequest(const StreamRequest& request);

// The conditional-access service of a scrambled stream: by address and port.
ServiceRequest StreamService(uint16_t pid, uint32_t ipAddress, uint16_t udpPort);

}  // namespace kr
